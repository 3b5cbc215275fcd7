// The steady mode (--stable). By default each frame is drawn by the mode's
// own dithering holding every pixel's previous shade within a margin (the
// held shades, steady_hold), then refined by a search that moves a level
// between two neighbours only where the picture as the eye sees it gains
// more than the change costs (steady_search; alone, the search starts from
// the previous frame's shades, moved with the picture, and may change a
// pixel alone too). dither_frame runs them; the options are in
// dither_modes.h.
#pragma once

#include "frame/dither_modes.h"
#include "raster.h"

// How a frame of the steady mode starts, worked out before it is dithered.
struct SteadyStart {
  bool afresh = false;    // the first frame, or a cut: the mode's own dithering, as it is
  bool restarts = false;  // some pixels start from the mode's own dithering
  int dx = 0, dy = 0;     // how far the picture moved since the previous frame, in pixels
  bool from_out = false;  // the search starts from the shades in `out`, not from the held ones
  const GreyBuffer* held = nullptr;  // the shades the pixels held, if not the previous frame's moved
  // Each pixel's range (shade_bounds.h), if already worked out for this source.
  const GreyBuffer* lowest = nullptr;
  const GreyBuffer* highest = nullptr;
};

// What the mode's own dithering needs to hold shades: each pixel's held
// shade (the previous frame's, moved with the picture or, for a pattern
// fixed to the screen, where it was), the margin by which its value must
// pass the threshold to leave it, and the shades its source allows at all.
struct SteadyHold {
  GreyBuffer held, margin, lowest, highest;
  GreyBuffer anchor;  // what each pixel's margin fades from, moved as its held shade
};
void steady_hold(const GreyBuffer& source, Shades shades, const StableTuning& tuning, const SteadyStart& start,
                 const DitherHistory& history, bool screen_fixed, SteadyHold& hold);

// Remembers the frame's source and shades for the next frame: with `hold`,
// the frame's anchors too, or every pixel anchored at its source without.
void steady_remember(const GreyBuffer& source, const SteadyHold* hold, DitherHistory& history,
                     const GreyBuffer& out);

// Decides how the frame of `source` starts, from what `history` remembers.
SteadyStart steady_start(const GreyBuffer& source, Shades shades, const StableTuning& tuning,
                         const DitherHistory& history);

// The frame's steady shades in `out`, which holds the mode's own dithering of
// `source` when start.afresh or start.restarts (and is overwritten
// otherwise); the caller remembers them (steady_remember). No allocation.
void steady_search(const GreyBuffer& source, Shades shades, const StableTuning& tuning, const SteadyStart& start,
                   const DitherHistory& history, GreyBuffer& out);
