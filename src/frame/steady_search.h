// The steady mode's search (see steady.h): one frame's greedy descent of
// the picture's cost from a starting picture, by changes of one pixel and
// moves of a level between neighbours.
//
// The picture's cost is the sum of squared differences between shades and
// source after the 1-2-1 blur B, plus, for each pixel whose shade differs
// from the one it held, that pixel's hold price. Changing pixel i by delta
// changes the blurred error e = B(shades - source) by delta * B around i, so
// the cost changes by 2 delta (B e)_i + 36 delta^2 (36 being the sum of B's
// squared weights, with B's weights 1 2 1 / 2 4 2 / 1 2 1). Moving a level
// from pixel j to its neighbour i (in two levels: swapping them) changes it
// by 2 delta ((B e)_i - (B e)_j) + delta^2 (72 - 2 A), A being B's overlap
// with itself moved by j - i. The search keeps g = B(B(shades - source)),
// from which every change's gain is read at one or two cells, and patches
// the 5 x 5 that B twice reaches.
#pragma once

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "frame/arithmetic.h"
#include "frame/steady_field.h"
#include "frame/steady_look.h"
#include "frame/steady_prices.h"
#include "raster.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace steady {

// The eight neighbours a level may move to or from, by the screen's lanes:
// the row above, this row and the row below, four cells each from x - 1
// ({0, 0, 0} where no neighbour is), with B's overlap with itself at that
// offset: 24 beside, 16 across a corner.
struct Neighbour {
  int dx, dy;
  int32_t overlap;
};
constexpr Neighbour kNeighbours[] = {
    {-1, -1, 16}, {0, -1, 24}, {1, -1, 16}, {0, 0, 0},  //
    {-1, 0, 24},  {0, 0, 0},   {1, 0, 24},  {0, 0, 0},  //
    {-1, 1, 16},  {0, 1, 24},  {1, 1, 16},  {0, 0, 0}};
constexpr int kLanes = 4;
using Lanes = int32_t __attribute__((vector_size(kLanes * sizeof(int32_t))));

// One frame's greedy descent from `out`, given the shades the pixels held
// (`held`), how far each one's source changed since the previous frame
// (`moved`), the hold prices and the pixels that may not change (`fixed`).
//
// Most pixels cannot gain from any change, and telling which can must be
// cheap. `up` and `down` are, for each cell, the most a move of its pixel
// one level up or down can win from its hold price, in g's units for one
// step: kOutside where the pixel's range does not go that way, where it is
// fixed, and outside the picture. A move down pays only where g + down beats
// kSelfWeight / 2 steps, up only where up - g does; a level moving from
// pixel j down to its neighbour i only where g_j - g_i + down_j + up_i beats
// (kSelfWeight - overlap) steps. These bounds are exact but for rounding, so
// nearly every pixel that passes them changes. The search keeps the two sums
// every bound is made of, fall = g + down and rise = up - g (a move between j
// and i: fall_j + rise_i), with down to find g again.
template <int Levels>
class Search {
 public:
  static constexpr int kStep = kStepOf<Levels>;
  static constexpr int32_t kAloneBar = kAloneBarOf<Levels>;

  static constexpr int32_t kToneHold = kStep / 2;
  static constexpr int32_t kToneForce = kStep * kForceQuarters / 4;

  // `source` is what the shades draw towards, in the blurred error and in
  // the blocks' tone alike (a sharpened edge on a block's side is no tone
  // to take back).
  Search(const GreyBuffer& source, const GreyBuffer& held, const GreyBuffer& moved, const GreyBuffer& fixed,
         const GreyBuffer& lowest, const GreyBuffer& highest, const HoldPrices& h, GreyBuffer& out)
      : held_(held), moved_(moved), lowest_(lowest), highest_(highest), h_(h), out_(out) {
    error_field(out, source, fall_, g_bound_);  // g, until each row's bounds are added
    slack_bound_ = static_cast<int32_t>(std::min<int64_t>(int64_t{std::max(h.on, h.off)} * h.cap, INT16_MAX + 1));
    block_errors(out, source, tone_);
    // g is 0 on the border, so there fall and rise are kOutside too.
    for (Field* f : {&fall_, &rise_, &down_}) {
      std::fill_n(f->begin(), kTwiceReach * kW, kOutside);
      std::fill_n(f->end() - kTwiceReach * kW, kTwiceReach * kW, kOutside);
    }
    narrow_ = int64_t{std::max(h.on, h.off)} * h.cap <= INT16_MAX;
#if defined(__SSE2__)
    if (narrow_)
      for (Narrow* n : {&fall16_, &rise16_}) {
        std::fill_n(n->begin(), kTwiceReach * kW, INT16_MIN);
        std::fill_n(n->end() - kTwiceReach * kW, kTwiceReach * kW, INT16_MIN);
      }
#endif
    for (int y = 0; y < kHeight; ++y) {
      const int f0 = field_index(0, y), i0 = y * kWidth;
      for (Field* f : {&fall_, &rise_, &down_})
        for (int b = 1; b <= kTwiceReach; ++b) (*f)[f0 - b] = (*f)[f0 + kWidth - 1 + b] = kOutside;
      // Where no source change is large enough to fade a price, every pixel
      // keeps the whole of it, and the row needs no multiplication (which
      // SSE2 has no single instruction for, on four lanes of 32 bits).
#if defined(__SSE2__)
      if (narrow_) {
        for (Narrow* n : {&fall16_, &rise16_})
          for (int b = 1; b <= kTwiceReach; ++b) (*n)[f0 - b] = (*n)[f0 + kWidth - 1 + b] = INT16_MIN;
        bounds_row_narrow(f0, i0, fixed);
        continue;
      }
#endif
      if (h.fades()) bounds_row(f0, i0, fixed, [&](int i) { return h.left(moved[i]); });
      else bounds_row(f0, i0, fixed, [&](int) { return h.cap; });
    }
  }

#if defined(__SSE2__)
  // bounds_row where every slack fits 16 bits, sixteen pixels at a time: the
  // tests on the bytes, the slack in 16 bits, and only the fields in 32,
  // where the compiler's own vectorising widens every byte first.
  void bounds_row_narrow(int f0, int i0, const GreyBuffer& fixed) {
    const __m128i zero = _mm_setzero_si128();
    // The fade left, clamp(fade - moved, 0, cap), is the cap itself where
    // nothing fades (fade beyond any change, cap 1). Above 16 bits, a fade or
    // a cap leaves no price to multiply, and any value gives 0.
    const __m128i fade = _mm_set1_epi16(static_cast<int16_t>(std::min(h_.fade, int{INT16_MAX})));
    const __m128i cap = _mm_set1_epi16(static_cast<int16_t>(std::min(h_.cap, int{INT16_MAX})));
    const __m128i on = _mm_set1_epi16(static_cast<int16_t>(-h_.on)), off = _mm_set1_epi16(static_cast<int16_t>(h_.off));
    constexpr int kHalfBits = 16;
    static_assert((kOutside & 0xffff) == 0);
    const __m128i outside_high = _mm_set1_epi16(static_cast<int16_t>(kOutside >> kHalfBits));
    constexpr int kBytes = sizeof(__m128i);
    static_assert(kWidth % kBytes == 0);
    for (int x = 0; x < kWidth; x += kBytes) {
      const int i = i0 + x;
      const auto bytes = [&](const GreyBuffer& b) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(&b[i])); };
      const __m128i out = bytes(out_), moved = bytes(moved_);
      const __m128i free = _mm_cmpeq_epi8(bytes(fixed), zero);
      const __m128i open_up = _mm_andnot_si128(_mm_cmpeq_epi8(_mm_subs_epu8(bytes(highest_), out), zero), free);
      const __m128i open_down = _mm_andnot_si128(_mm_cmpeq_epi8(_mm_subs_epu8(out, bytes(lowest_)), zero), free);
      const __m128i on_held = _mm_cmpeq_epi8(out, bytes(held_));
      for (int half = 0; half < 2; ++half) {
        // A byte's mask, or the byte itself with `with` zero, widened to 16 bits.
        const auto wide = [&](__m128i a, __m128i with) {
          return half == 0 ? _mm_unpacklo_epi8(a, with) : _mm_unpackhi_epi8(a, with);
        };
        const __m128i left = _mm_min_epi16(_mm_max_epi16(_mm_subs_epi16(fade, wide(moved, zero)), zero), cap);
        const __m128i held = wide(on_held, on_held);
        const __m128i slack = _mm_or_si128(_mm_and_si128(held, _mm_mullo_epi16(on, left)),
                                           _mm_andnot_si128(held, _mm_mullo_epi16(off, left)));
        // up and down as the low and the high halves of their 32 bits: the
        // slack sign-extended where open, else kOutside (whose low half is 0).
        const __m128i sign = _mm_srai_epi16(slack, kHalfBits - 1);
        const auto halves = [&](__m128i open, __m128i& low, __m128i& high) {
          low = _mm_and_si128(open, slack);
          high = _mm_or_si128(_mm_and_si128(open, sign), _mm_andnot_si128(open, outside_high));
        };
        __m128i up_low, up_high, down_low, down_high;
        halves(wide(open_up, open_up), up_low, up_high);
        halves(wide(open_down, open_down), down_low, down_high);
        __m128i falls[2], rises[2];
        for (int quarter = 0; quarter < 2; ++quarter) {
          const auto join = [&](__m128i low, __m128i high) {
            return quarter == 0 ? _mm_unpacklo_epi16(low, high) : _mm_unpackhi_epi16(low, high);
          };
          const __m128i up = join(up_low, up_high), down = join(down_low, down_high);
          const int f = f0 + x + (2 * half + quarter) * kLanes;
          const auto cell = [&](Field& a) { return reinterpret_cast<__m128i*>(&a[f]); };
          const __m128i g = _mm_loadu_si128(cell(fall_));
          _mm_storeu_si128(cell(down_), down);
          falls[quarter] = _mm_add_epi32(g, down);
          rises[quarter] = _mm_sub_epi32(up, g);
          _mm_storeu_si128(cell(fall_), falls[quarter]);
          _mm_storeu_si128(cell(rise_), rises[quarter]);
        }
        // first_look's copies, saturated as narrow() saturates them.
        const int f = f0 + x + 2 * half * kLanes;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&fall16_[f]), _mm_packs_epi32(falls[0], falls[1]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(&rise16_[f]), _mm_packs_epi32(rises[0], rises[1]));
      }
    }
  }
#endif

  // What set_shade works out for one pixel, for a whole row from the field
  // cell f0 and the pixel i0, without branches, so that the compiler
  // vectorises it; left_of(i) is pixel i's levels of fade left.
  template <typename LeftOf>
  void bounds_row(int f0, int i0, const GreyBuffer& fixed, LeftOf left_of) {
    // Each pixel's slack, in 16 bits where the prices fit (eight lanes to a
    // vector, with SSE2's multiply of 16-bit lanes), else in 32.
    std::array<int32_t, kWidth> slack;
    const auto slack_row = [&]<typename Lane>(Lane) {
      const auto on = static_cast<Lane>(h_.on), off = static_cast<Lane>(h_.off);
      for (int x = 0; x < kWidth; ++x) {
        const int i = i0 + x;
        const auto left = static_cast<Lane>(left_of(i));
        const auto away = static_cast<Lane>(-Lane{out_[i] != held_[i]});  // all ones when off its held shade
        slack[x] = static_cast<Lane>((static_cast<Lane>(off * left) & away) | (static_cast<Lane>(-on * left) & ~away));
      }
    };
    if (narrow_) slack_row(int16_t{});
    else slack_row(int32_t{});
    for (int x = 0; x < kWidth; ++x) {
      const int i = i0 + x;
      const int32_t s = slack[x];
      const int32_t free = fixed[i] == 0;
      const int32_t open_up = -(int32_t{out_[i] < highest_[i]} & free);
      const int32_t open_down = -(int32_t{out_[i] > lowest_[i]} & free);
      const int32_t up = (s & open_up) | (kOutside & ~open_up);
      const int32_t down = (s & open_down) | (kOutside & ~open_down);
      const int32_t g = fall_[f0 + x];
      down_[f0 + x] = down;
      fall_[f0 + x] = g + down;
      rise_[f0 + x] = up - g;
    }
  }

  // Looks at every pixel that may gain, and in the same pass at what a change
  // marks ahead of the scan; then, for at most `passes` passes in all, at what
  // changes marked behind it, `later_looks` pixels at most in each of those
  // passes (what they leave, the next frame's first look finds).
  void run(int passes, int later_looks) {
    // Whether a pixel may change alone is fixed for the whole search, and
    // testing it at every look costs a load and a branch.
    if ((moves_ >> kAlone & 1) != 0) scan<true, false>(passes, later_looks);
    else if (near_only_) scan<false, true>(passes, later_looks);
    else scan<false, false>(passes, later_looks);
  }

  // Lets a level move only between neighbours: no pixel changes alone, so
  // that the tone the shades started from stays where it was; with `source`,
  // only between neighbours whose sources are at most `apart` levels apart.
  void pairs_only(const GreyBuffer* source, int apart) {
    moves_ = (1u << kAlone) - 1;
    near_only_ = source != nullptr;
    near_apart_ = apart;
    if (near_only_) spare_source(*source, near_source_);
  }

  // Brings every block more than kToneForce off its source's tone back
  // within kToneHold, each time by the change of one pixel that costs least.
  void keep_tone() {
    for (int b = 0; b < kBlocks; ++b) {
      if (std::abs(tone_[b]) <= kToneForce) continue;
      const int x0 = b % kBlocksAcross * kBlockSide, y0 = b / kBlocksAcross * kBlockSide;
      while (std::abs(tone_[b]) > kToneHold) {
        const int delta = tone_[b] > 0 ? -kStep : kStep;
        int32_t best = INT32_MIN;
        int best_i = -1, best_f = 0;
        for (int y = y0; y < y0 + kBlockSide; ++y)
          for (int x = x0; x < x0 + kBlockSide; ++x) {
            const int f = field_index(x, y), i = y * kWidth + x;
            if (!open(f, delta)) continue;
            const int32_t gain = -2 * delta * g_at(f) - hold_change(i, out_[i], out_[i] + delta);
            if (gain > best) best = gain, best_i = i, best_f = f;
          }
        if (best_i < 0) break;
        set_shade(best_i, best_f, out_[best_i] + delta);
      }
    }
  }

 private:
  // Which moves of the pixel at f may pay: bit k for the move with
  // neighbour k, bit kAlone for a change of the pixel alone. The rows above,
  // through and below the pixel are weighed four cells at a time, from x - 1;
  // the pixel itself and the fourth cell have a bar nothing beats.
  static constexpr int kAlone = 12;
  static constexpr int32_t kNever = 1 << 30;
  static constexpr int32_t kBeside = kRowBarOf<Levels>, kAcross = kCornerBarOf<Levels>;
  static constexpr Lanes kSideBar = {kAcross, kBeside, kAcross, kNever};
  static constexpr Lanes kRowBar = {kBeside, kNever, kBeside, kNever};

  // Near: a level moves only between neighbours of like source (pairs_only).
  template <bool Alone, bool Near>
  void scan(int passes, int later_looks) {
    PictureBits look = first_look();
    for (int pass = 0; pass < passes; ++pass) {
      PictureBits again{};
      bool changed = false;
      int64_t left = pass == 0 ? kPixels * int64_t{kPixels} : later_looks;
      for (int y = 0; y < kHeight; ++y)
        for (int w = 0; w < kWordsPerRow; ++w)
          for (uint64_t bits = look[y + kLookReach][w]; bits != 0; bits &= bits - 1) {
            if (--left < 0) return;
            const int b = __builtin_ctzll(bits);
            const int x = w * kWordBits + b - kTwiceReach;
            unsigned maybe = may_pay<Alone>(field_index(x, y));
            if (maybe == 0) [[likely]]
              continue;
            if constexpr (Near) {
              maybe = like_neighbours(y * kWidth + x, maybe);
              if (maybe == 0) continue;
            }
            if (!improve(x, y, maybe, look, again)) continue;
            changed = true;
            bits |= look[y + kLookReach][w] & (~uint64_t{0} << b);  // marked ahead in this word
          }
      if (!changed) return;
      look = again;
    }
  }

  LookRules look_rules() const {
    return {(moves_ >> kAlone & 1) != 0, near_only_ ? &near_source_ : nullptr, near_apart_};
  }

  // `maybe` without the moves between pixel i and neighbours of unlike source.
  unsigned like_neighbours(int i, unsigned maybe) const {
    const LookRules rules = look_rules();
    for (unsigned m = maybe; m != 0; m &= m - 1) {
      const int k = __builtin_ctz(m);
      const Neighbour& n = kNeighbours[k];
      if (!like_source(rules, i, i + n.dy * kWidth + n.dx)) maybe &= ~(1u << k);
    }
    return maybe;
  }

  static Lanes lanes_at(const Field& a, int f) {
    Lanes v;
    std::memcpy(&v, &a[f], sizeof v);
    return v;
  }
  static void add_lanes(Field& a, int f, Lanes v) {
    v += lanes_at(a, f);
    std::memcpy(&a[f], &v, sizeof v);
  }

  // Alone: whether moves_ holds kAlone; where only pairs may move, the
  // pixel alone is not weighed at all. Every pair is in moves_.
  template <bool Alone>
  unsigned may_pay(int f) const {
    const int32_t fall = fall_[f], rise = rise_[f];
    const unsigned alone = Alone ? unsigned(int{fall > kAloneBar} | int{rise > kAloneBar}) << kAlone : 0;
#if defined(__SSE2__)
    // A move pays one way or the other just when the two sums less the bar
    // and one are not both negative: one and of the two, whose sign says
    // that neither pays, where two compares and an or say that one does.
    // The sums stay within 32 bits: a kOutside cell less kNever is over
    // -2^31. The three rows' signs, packed down to bytes, are taken in one
    // instruction; a fourth row of all ones fills the mask.
    const Lanes fall_side = fall - (kSideBar + 1), rise_side = rise - (kSideBar + 1);
    const Lanes fall_row = fall - (kRowBar + 1), rise_row = rise - (kRowBar + 1);
    const auto neither = [&](int from, Lanes fall_less, Lanes rise_less) {
      return __m128i((fall_less + lanes_at(rise_, from)) & (rise_less + lanes_at(fall_, from)));
    };
    const __m128i rows = _mm_packs_epi16(
        _mm_packs_epi32(neither(f - kW - 1, fall_side, rise_side), neither(f - 1, fall_row, rise_row)),
        _mm_packs_epi32(neither(f + kW - 1, fall_side, rise_side), _mm_set1_epi32(-1)));
    constexpr unsigned kRowsMask = (1u << (4 * kLanes)) - 1;
    return (unsigned(_mm_movemask_epi8(rows)) ^ kRowsMask) | alone;
#else
    const auto weigh = [&](int from, Lanes bar) {
      return (fall + lanes_at(rise_, from) > bar) | (rise + lanes_at(fall_, from) > bar);
    };
    constexpr Lanes kAboveBits = {1 << 0, 1 << 1, 1 << 2, 1 << 3};
    constexpr Lanes kRowBits = {1 << 4, 1 << 5, 1 << 6, 1 << 7};
    constexpr Lanes kBelowBits = {1 << 8, 1 << 9, 1 << 10, 1 << 11};
    const Lanes c = (weigh(f - kW - 1, kSideBar) & kAboveBits) | (weigh(f - 1, kRowBar) & kRowBits) |
                    (weigh(f + kW - 1, kSideBar) & kBelowBits);
    return unsigned(c[0] | c[1] | c[2] | c[3]) | alone;
#endif
  }

  // Every pixel that may gain (steady_look.h), one row at a time: where the
  // row and the one below fit 16 bits, eight pixels to a vector.
  PictureBits first_look() const {
    PictureBits look{};
#if defined(__SSE2__)
    // Where every row's bounds were worked out in 16 bits, they were kept
    // in 16 bits as they were made.
    Narrow wide_fall, wide_rise;
    if (!narrow_) narrow(fall_, wide_fall), narrow(rise_, wide_rise);
    const Narrow& fall = narrow_ ? fall16_ : wide_fall;
    const Narrow& rise = narrow_ ? rise16_ : wide_rise;
#endif
    const LookRules rules = look_rules();
    for (int y = 0; y < kHeight; ++y) {
#if defined(__SSE2__)
      if (fits_narrow(y) && fits_narrow(y + 1)) {
        if (rules.near) look_row_narrow<Levels, true>(y, fall, rise, rules, look);
        else look_row_narrow<Levels, false>(y, fall, rise, rules, look);
        continue;
      }
#endif
      look_row<Levels>(y, fall_, rise_, rules, look);
    }
    return look;
  }

#if defined(__SSE2__)
  // Whether every cell of the picture's row y that is not kOutside is
  // within 16 bits: g within its bound, and the hold slack within its own.
  bool fits_narrow(int y) const { return g_bound_[y + kTwiceReach] + slack_bound_ <= INT16_MAX; }
#endif

  // The best of the moves `maybe` names for the pixel at (x, y), made if it
  // pays, with the pixels around it marked; whether it was made.
  // Inlined into each scan, where its state stays in registers: a call
  // costs the search more than the copy does.
  [[gnu::always_inline]] bool improve(int x, int y, unsigned maybe, PictureBits& look, PictureBits& again) {
    const int f = field_index(x, y), i = y * kWidth + x;
    const int32_t e = g_at(f);
    const int from = out_[i], lo = lowest_[i], hi = highest_[i];
    int32_t best = 0;
    int best_to = from, best_j = -1, best_fj = 0;
    if (maybe >> kAlone) {
      // The cost 2 delta e + 36 delta^2 is least at delta = -e / 36: the
      // nearest whole number of steps there, at least one; the step the
      // other way may pay through the hold price it wins back.
      const int toward = e > 0 ? -1 : 1;
      const int ideal = std::max(std::abs(rounded_quotient(e, kSelfWeight * kStep)), 1);
      for (const int to : {std::clamp(from + toward * ideal * kStep, lo, hi), from - toward * kStep}) {
        if (to == from || to < lo || to > hi) continue;
        const int delta = to - from;
        const int32_t gain = -2 * delta * e - kSelfWeight * delta * delta - hold_change(i, from, to);
        if (gain > best) best = gain, best_to = to;
      }
    }
    for (unsigned m = maybe & ((1u << kAlone) - 1); m != 0; m &= m - 1) {
      const Neighbour& n = kNeighbours[__builtin_ctz(m)];
      const int j = i + n.dy * kWidth + n.dx, fj = f + n.dy * kW + n.dx;
      const int32_t d = e - g_at(fj);
      const int jfrom = out_[j];
      for (const int delta : {-kStep, kStep}) {  // what pixel i gets; j gives it
        const int to = from + delta, jto = jfrom - delta;
        // The screen has let through only neighbours inside the picture, but
        // not every direction it let through is open.
        if (to < lo || to > hi || jto < lowest_[j] || jto > highest_[j]) continue;
        const int32_t gain = -2 * delta * d - delta * delta * (2 * kSelfWeight - 2 * n.overlap) -
                             hold_change(i, from, to) - hold_change(j, jfrom, jto);
        if (gain > best) best = gain, best_to = to, best_j = j, best_fj = fj;
      }
    }
    if (best <= 0) return false;
    if (best_j >= 0) {
      set_shade(best_j, best_fj, out_[best_j] + from - best_to);
      mark_around(look, again, best_j % kWidth, best_j / kWidth, x, y);
    }
    set_shade(i, f, best_to);
    mark_around(look, again, x, y, x, y);
    return true;
  }

  // Whether the pixel at field cell f may move by delta (one step): its
  // range goes that way and it is not fixed.
  bool open(int f, int delta) const {
    const int32_t bound = delta < 0 ? down_[f] : rise_[f] + g_at(f);
    return bound > kOutside / 2;
  }

  // What a pixel's hold price adds when it goes from `from` to `to`.
  int32_t hold_change(int i, int from, int to) const {
    return h_.of(moved_[i]) * ((to != held_[i]) - (from != held_[i]));
  }

  void set_shade(int i, int f, int to) {
    const int32_t delta = to - out_[i];
    // g moves by delta times kTwice across and down around f, so fall moves
    // with it and rise against it. The row's first four cells are one lane
    // each, made once and scaled for each row.
    const Lanes first_four = {delta * kTwice[0], delta * kTwice[1], delta * kTwice[2], delta * kTwice[3]};
    for (int dy = -kTwiceReach; dy <= kTwiceReach; ++dy) {
      const int from = f + dy * kW - kTwiceReach;
      const int32_t weight = kTwice[dy + kTwiceReach];
      const Lanes four = weight * first_four;
      const int32_t fifth = weight * delta * kTwice[kLanes];
      add_lanes(fall_, from, four);
      add_lanes(rise_, from, -four);
      fall_[from + kLanes] += fifth;
      rise_[from + kLanes] -= fifth;
    }
    tone_[block_of(i % kWidth, i / kWidth)] += delta;
    out_[i] = static_cast<uint8_t>(to);
    // A pixel that changes was not fixed.
    const int32_t left = h_.left(moved_[i]);
    const int32_t s = to != held_[i] ? h_.off * left : -h_.on * left;
    const int32_t up = to < highest_[i] ? s : kOutside;
    const int32_t down = to > lowest_[i] ? s : kOutside;
    const int32_t g = g_at(f);
    down_[f] = down;
    fall_[f] = g + down;
    rise_[f] = up - g;
  }

  int32_t g_at(int f) const { return fall_[f] - down_[f]; }

  const GreyBuffer& held_;
  const GreyBuffer& moved_;
  const GreyBuffer& lowest_;
  const GreyBuffer& highest_;
  const HoldPrices& h_;
  GreyBuffer& out_;
  Field fall_, rise_, down_;
#if defined(__SSE2__)
  Narrow fall16_, rise16_;  // fall and rise as narrow() makes them, where narrow_, until the search starts
#endif
  BlockErrors tone_;
  RowBounds g_bound_;     // |g| on each row of the field, at most
  int32_t slack_bound_;   // |h_.on or h_.off times the fade left|, at most
  bool narrow_ = false;  // every slack, h_.on or h_.off times the fade left, fits in 16 bits
  unsigned moves_ = ~0u;  // the moves may_pay may name
  bool near_only_ = false;     // a level moves only between pixels whose sources are
  int near_apart_ = 0;         // at most this far apart,
  SpareSource near_source_;    // those sources
};

}  // namespace steady
