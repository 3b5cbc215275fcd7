// The steady mode's held shades (see steady.h): what the mode's own
// dithering needs to keep each pixel's previous shade within a margin, and
// what the next frame needs to know of this one.
#include <algorithm>
#include <array>
#include <cstdlib>

#include "frame/motion.h"
#include "frame/shade_bounds.h"
#include "frame/steady.h"

namespace {

// The margin left to a pixel whose source moved `moved` levels from its
// anchor: all of it, falling to nothing at the fade (0: never falls). Error
// diffusion repays what a held shade costs nearby, ordered dithering never
// does, so a pattern fixed to the screen has a fade of its own.
using MarginTable = std::array<uint8_t, kMaxGrey + 1>;
MarginTable margin_table(const SteadyLevels& t, bool screen_fixed) {
  const int margin = std::clamp(t.margin, 0, kMaxGrey), fade = screen_fixed ? t.screen_fade : t.margin_fade;
  MarginTable table;
  for (int moved = 0; moved <= kMaxGrey; ++moved)
    table[moved] = static_cast<uint8_t>(fade > 0 ? margin * std::max(fade - moved, 0) / fade : margin);
  return table;
}

template <int Levels>
void hold_levels(const GreyBuffer& source, const SteadyLevels& t, const SteadyStart& start,
                 const DitherHistory& history, bool screen_fixed, SteadyHold& hold) {
  const bool shift = !screen_fixed && (start.dx != 0 || start.dy != 0);
  hold.held = history.shades;
  hold.anchor = history.anchor;
  if (shift) {
    // Each pixel follows the move where the moved picture matches its source
    // better than the unmoved one: a flat ground a small object crosses
    // keeps its pattern where it is.
    GreyBuffer moved_shades, moved_source, moved_anchor;
    move_picture(history.shades, start.dx, start.dy, moved_shades);
    move_picture(history.source, start.dx, start.dy, moved_source);
    move_picture(history.anchor, start.dx, start.dy, moved_anchor);
    // In bytes and without a branch, sixteen pixels to a vector.
    const auto apart = [](uint8_t a, uint8_t b) { return static_cast<uint8_t>(std::max(a, b) - std::min(a, b)); };
    for (int i = 0; i < kPixels; ++i) {
      const bool follows = apart(source[i], moved_source[i]) < apart(source[i], history.source[i]);
      hold.held[i] = follows ? moved_shades[i] : hold.held[i];
      hold.anchor[i] = follows ? moved_anchor[i] : hold.anchor[i];
    }
  }
  LevelBounds bounds;
  level_bounds<Levels>(source, bounds);
  hold.lowest = bounds.lowest;
  hold.highest = bounds.highest;
  const MarginTable margins = margin_table(t, screen_fixed);
  for (int i = 0; i < kPixels; ++i) hold.margin[i] = margins[std::abs(source[i] - hold.anchor[i])];
}

}  // namespace

void steady_hold(const GreyBuffer& source, Shades shades, const StableTuning& tuning, const SteadyStart& start,
                 const DitherHistory& history, bool screen_fixed, SteadyHold& hold) {
  if (shades == Shades::two) hold_levels<2>(source, tuning.two, start, history, screen_fixed, hold);
  else hold_levels<4>(source, tuning.four, start, history, screen_fixed, hold);
}

void steady_remember(const GreyBuffer& source, const SteadyHold* hold, DitherHistory& history,
                     const GreyBuffer& out) {
  // A pixel whose shade changed, or that was free to, is anchored afresh.
  for (int i = 0; i < kPixels; ++i)
    history.anchor[i] = !hold || hold->margin[i] == 0 || out[i] != hold->held[i] ? source[i] : hold->anchor[i];
  history.source = source;
  history.shades = out;
  history.primed = true;
}
