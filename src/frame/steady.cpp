// The steady mode's frames (see steady.h): how a frame starts, from what
// the previous one left (a cut, the picture's move, the pixels that start
// afresh), and the set-up of each frame's search from it: the held shades
// moved with the picture, each pixel's range, its hold price, the target.
//
// Changes alone get stuck where a picture moves: each one is a large step
// of light, and a pattern that stands still while the picture slides under
// it (the "dirty window") loses the picture's detail. Moving a level to a
// neighbour keeps the light and moves the pattern with the picture; starting
// from the previous shades moved as the whole picture moved does the same
// for pans.
#include "frame/steady.h"

#include <algorithm>
#include <cstdint>

#include "frame/motion.h"
#include "frame/shade_bounds.h"
#include "frame/steady_prices.h"
#include "frame/steady_search.h"
#include "frame/tone.h"

namespace {

using steady::HoldPrices;
using steady::hold_prices;
using steady::Search;

constexpr int kMonoLevels = 2;

template <int Levels>
const SteadyLevels& levels_of(const StableTuning& t) {
  return Levels == kMonoLevels ? t.two : t.four;
}

template <int Levels>
void search(const GreyBuffer& source, const StableTuning& tuning, const SteadyStart& start, const DitherHistory& history,
            GreyBuffer& out) {
  // The same picture again shows the same shades: a still stays still
  // whatever the search left undone.
  if (!start.afresh && source == history.source) {
    out = history.shades;
    return;
  }
  if (!start.afresh) {
    const SteadyLevels& t = levels_of<Levels>(tuning);
    GreyBuffer moved_shades, moved_source, moved, fixed;
    const bool shift = start.dx != 0 || start.dy != 0;
    if (shift) {
      if (!start.held) move_picture(history.shades, start.dx, start.dy, moved_shades);
      move_picture(history.source, start.dx, start.dy, moved_source);
    }
    const GreyBuffer& held = start.held ? *start.held : shift ? moved_shades : history.shades;
    const GreyBuffer& before = shift ? moved_source : history.source;
    // |source - before|, in bytes: sixteen pixels to a vector.
    for (int i = 0; i < kPixels; ++i)
      moved[i] = static_cast<uint8_t>(std::max(source[i], before[i]) - std::min(source[i], before[i]));
    // Carried-over shades are brought within the new source's range; where
    // the picture changed too much to carry anything over, the mode's own
    // dithering stands, this frame.
    LevelBounds own;
    if (!start.lowest) level_bounds<Levels>(source, own);
    const GreyBuffer& lowest = start.lowest ? *start.lowest : own.lowest;
    const GreyBuffer& highest = start.lowest ? *start.highest : own.highest;
    const int threshold = start.restarts ? t.restart : kMaxGrey + 1;
    // moved >= threshold, compared in bytes so that the loop runs sixteen
    // pixels to a vector: every pixel below a threshold of 1, none above 255.
    const uint8_t every = threshold <= 0;
    const auto beyond = static_cast<uint8_t>(std::clamp(threshold - 1, 0, kMaxGrey));
    for (int i = 0; i < kPixels; ++i) fixed[i] = every | uint8_t{moved[i] > beyond};
    // The mode's own dithering keeps solids too, but only to within its
    // rounding: clamped like the rest. In bytes and without a branch.
    const bool keep_out = start.from_out;
    for (int i = 0; i < kPixels; ++i) {
      const uint8_t from = keep_out || fixed[i] != 0 ? out[i] : held[i];
      out[i] = std::min(std::max(from, lowest[i]), highest[i]);
    }
    const HoldPrices h = hold_prices<Levels>(t);
    // What the search draws towards: the picture with its edges sharpened,
    // as error diffusion's own drawing sharpens them. Without, two levels
    // draw a thin outline (an eye's rim) as part of the blur around it.
    GreyBuffer target = source;
    if (t.sharpen > 0) sharpen(target, t.sharpen);
    Search<Levels> s(target, held, moved, fixed, lowest, highest, h, out);
    if (start.from_out && !t.singles) s.pairs_only(t.pair_apart > 0 ? &source : nullptr, t.pair_apart);
    s.run(t.passes, t.later_looks);
    if (!start.from_out || t.singles) s.keep_tone();
  }
}

}  // namespace

SteadyStart steady_start(const GreyBuffer& source, Shades shades, const StableTuning& tuning,
                         const DitherHistory& history) {
  SteadyStart start;
  // A cut is weighed without the move: a fast pan, which carries little
  // of its pattern over well, starts afresh like one.
  start.afresh = !history.primed || scene_cut(source, history.source, tuning.cut_change, tuning.cut_percent);
  if (start.afresh) return start;
  const PictureMove move = find_move(source, history.source);
  start.dx = move.dx;
  start.dy = move.dy;
  const int restart = (shades == Shades::two ? tuning.two : tuning.four).restart;
  if (restart > 0) {
    GreyBuffer moved_source;
    const bool shift = start.dx != 0 || start.dy != 0;
    if (shift) move_picture(history.source, start.dx, start.dy, moved_source);
    const GreyBuffer& before = shift ? moved_source : history.source;
    start.restarts = scene_cut(source, before, restart, tuning.restart_percent);
  }
  return start;
}

void steady_search(const GreyBuffer& source, Shades shades, const StableTuning& tuning, const SteadyStart& start,
                   const DitherHistory& history, GreyBuffer& out) {
  if (shades == Shades::two) search<2>(source, tuning, start, history, out);
  else search<4>(source, tuning, start, history, out);
}
