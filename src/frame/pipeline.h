// One frame through the whole pipeline, as every front end runs it (the
// command line's frame loop, the browser page, the measuring tools):
// sample -> reduce -> dither -> pack.
#pragma once

#include <cstdint>
#include <span>

#include "frame/dither_modes.h"
#include "frame/frame.h"
#include "raster.h"
#include "settings/settings.h"

// What the settings ask of each frame, read once per video.
struct PipelineOptions {
  Shades shades = Shades::two;
  int32_t reduction = 0;
  Kernel matrix = {};
  DitherOptions dither;
};
PipelineOptions pipeline_options(const ConversionSettings& settings);

// A video's working buffers, owned by the caller, fixed in size and reused for
// every frame; `history` carries the steady mode from one frame to the next.
struct FrameState {
  GreyBuffer graybuf{};    // the frame sampled to grey and tone-reduced: what is dithered
  GreyBuffer ditherbuf{};  // its shades
  Plane final{}, final2{};  // the record's bit planes (final2 for four shades only)
  DitherHistory history;
};

// Turns one decoded frame (a packed 24-bit bottom-up DIB) into the bit planes
// of its record in state.final and state.final2; false, with the planes
// unspecified, if the DIB cannot be read. No allocation.
bool process_frame(std::span<const uint8_t> dib, const PipelineOptions& options, FrameState& state);
