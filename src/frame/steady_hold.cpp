// The steady mode's held shades (see steady.h): what the mode's own
// dithering needs to keep each pixel's previous shade within a margin, and
// what the next frame needs to know of this one.
#include <algorithm>
#include <array>

#include "frame/motion.h"
#include "frame/shade_bounds.h"
#include "frame/steady.h"

namespace {

// |a - b| in bytes, without a branch: a loop of it runs sixteen pixels to a vector.
constexpr uint8_t apart(uint8_t a, uint8_t b) { return static_cast<uint8_t>(std::max(a, b) - std::min(a, b)); }

// The margin left to each pixel whose source is `moved` levels from its
// anchor: all of it at the anchor, falling in a straight line to nothing at
// the fade (0: never falls). Worked out in 256ths of a level, (fade - moved)
// x ceil(256 margin / fade) / 256 rounded down, within 16 bits: eight pixels
// to a vector, where a table is read one pixel at a time. It is margin x
// (fade - moved) / fade rounded down for every mode's own margins and fades
// (each move was checked), and at most one level above it for any other.
constexpr int kFractionBits = 8;
void fade_margins(const GreyBuffer& source, const SteadyLevels& t, SteadyHold& hold) {
  const int margin = std::clamp(t.margin, 0, kMaxGrey);
  const int fade = std::clamp(t.margin_fade, 0, kMaxGrey);
  if (fade == 0) {
    hold.margin.fill(static_cast<uint8_t>(margin));
    return;
  }
  // (fade - moved) x per stays below 256 margin + fade: within 16 bits.
  const auto per = static_cast<uint16_t>(((margin << kFractionBits) + fade - 1) / fade);
  const auto span = static_cast<uint8_t>(fade);
  for (int i = 0; i < kPixels; ++i) {
    const auto left = static_cast<uint16_t>(span - std::min(apart(source[i], hold.anchor[i]), span));
    hold.margin[i] = static_cast<uint8_t>(static_cast<uint16_t>(left * per) >> kFractionBits);
  }
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
  fade_margins(source, t, hold);
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
  // In bytes and without a branch, sixteen pixels to a vector.
  if (!hold) {
    history.anchor = source;
  } else {
    for (int i = 0; i < kPixels; ++i) {
      const auto kept = static_cast<uint8_t>(-(int{hold->margin[i] != 0} & int{out[i] == hold->held[i]}));
      history.anchor[i] = static_cast<uint8_t>((hold->anchor[i] & kept) | (source[i] & ~kept));
    }
  }
  history.source = source;
  history.shades = out;
  history.primed = true;
}
