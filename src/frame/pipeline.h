// One frame through the whole pipeline, as every front end runs it (the
// command line's frame loop, the browser page, the measuring tools):
// sample -> levels -> brightness and contrast -> sharpen -> reduce -> light
// -> dither -> pack. The tone stages run only when asked for.
#pragma once

#include <cstdint>
#include <span>

#include "frame/dither_modes.h"
#include "frame/frame.h"
#include "frame/tone.h"
#include "raster.h"
#include "settings/settings.h"

// What the settings ask of each frame, read once per video.
struct PipelineOptions {
  Shades shades = Shades::two;
  int32_t reduction = 0;
  Kernel matrix = {};
  DitherOptions dither;
  bool auto_levels = false;
  bool adjust = false;    // brightness or contrast asked for
  ToneCurve adjustment{};
  int32_t sharpen = 0;    // hundredths
  bool light = false;     // a transfer curve other than 1: dither in light
  ToneCurve to_light{};
};
PipelineOptions pipeline_options(const ConversionSettings& settings);

// A video's working buffers, owned by the caller, fixed in size and reused for
// every frame; `history` carries the steady mode and `levels` the automatic
// levels from one frame to the next.
struct FrameState {
  GreyBuffer graybuf{};    // the frame sampled to grey and tone-reduced: what is dithered
  GreyBuffer ditherbuf{};  // its shades
  Plane final{}, final2{};  // the record's bit planes (final2 for four shades only)
  DitherHistory history;
  LevelsState levels;
};

// Turns one decoded frame (a packed 24-bit bottom-up DIB) into the bit planes
// of its record in state.final and state.final2; false, with the planes
// unspecified, if the DIB cannot be read. No allocation.
bool process_frame(std::span<const uint8_t> dib, const PipelineOptions& options, FrameState& state);
