// The steady mode's search (see steady.h).
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
//
// Changes alone get stuck where a picture moves: each one is a large step
// of light, and a pattern that stands still while the picture slides under
// it (the "dirty window") loses the picture's detail. Moving a level to a
// neighbour keeps the light and moves the pattern with the picture; starting
// from the previous shades moved as the whole picture moved does the same
// for pans.
#include "frame/steady.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "frame/arithmetic.h"
#include "frame/motion.h"
#include "frame/quantiser.h"
#include "frame/shade_bounds.h"
#include "frame/tone.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kMonoLevels = 2;

// The fields: the picture with a border as wide as B twice reaches, so that
// a patch or a neighbour's read near an edge needs no bounds test.
constexpr int kTwiceReach = 2;
constexpr int kFieldWidth = kWidth + 2 * kTwiceReach;
constexpr int kFieldHeight = kHeight + 2 * kTwiceReach;
constexpr int kFieldCells = kFieldWidth * kFieldHeight;
constexpr int kW = kFieldWidth;
using Field = std::array<int32_t, kFieldCells>;
constexpr int kTwiceSide = 2 * kTwiceReach + 1;
constexpr std::array<int32_t, kTwiceSide> kTwice = {1, 4, 6, 4, 1};  // 1-2-1 convolved with itself
constexpr int32_t kSelfWeight = 36;        // kTwice's centre squared = sum of B's squared weights
constexpr int32_t kCostScale = 256;        // g and costs carry B's weights twice: 16 x 16
constexpr int32_t kMaxHoldPrice = 100000;  // keeps every cost within 32 bits
// A slack so low that no move of the cell pays, whatever g says: outside the
// picture, and in a direction a pixel's range does not go.
constexpr int32_t kOutside = -(1 << 28);

constexpr int field_index(int x, int y) { return (y + kTwiceReach) * kFieldWidth + x + kTwiceReach; }

// g = B(B(shades - source)) over the picture, zero on the border. The pass
// across is at most 16 * 255 either way, so it is kept in 16 bits, eight
// lanes to a vector; the pass down is not.
void error_field(const GreyBuffer& shades, const GreyBuffer& source, Field& g) {
  std::array<int16_t, kFieldCells> across;
  std::fill_n(across.begin(), kTwiceReach * kW, 0);
  std::fill_n(across.end() - kTwiceReach * kW, kTwiceReach * kW, 0);
  std::array<int16_t, kWidth + 2 * kTwiceReach> d{};
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x)
      d[x + kTwiceReach] = static_cast<int16_t>(shades[y * kWidth + x] - source[y * kWidth + x]);
    int16_t* row = &across[field_index(0, y)];
    for (int x = 0; x < kWidth; ++x)
      row[x] = static_cast<int16_t>(kTwice[0] * d[x] + kTwice[1] * d[x + 1] + kTwice[2] * d[x + 2] +
                                    kTwice[3] * d[x + 3] + kTwice[4] * d[x + 4]);
  }
  std::fill_n(g.begin(), kTwiceReach * kW, 0);
  std::fill_n(g.end() - kTwiceReach * kW, kTwiceReach * kW, 0);
  for (int y = 0; y < kHeight; ++y) {
    const int f0 = field_index(0, y);
    for (int b = 1; b <= kTwiceReach; ++b) g[f0 - b] = g[f0 + kWidth - 1 + b] = 0;
    for (int f = f0; f < f0 + kWidth; ++f)
      g[f] = kTwice[0] * across[f - 2 * kW] + kTwice[1] * across[f - kW] + kTwice[2] * across[f] +
             kTwice[3] * across[f + kW] + kTwice[4] * across[f + 2 * kW];
  }
}

// The pixels to look at: one bit per pixel, a row in two words, column x at
// bit x + kTwiceReach, row y at y + kLookReach: the spare rows above and
// below the picture take the marks that reach past its edge, and are never
// looked at, so that marking needs no bounds test.
constexpr int kLookReach = 1;  // how far from a change its marks reach (see mark_around)
constexpr int kWordBits = 64;
constexpr int kWordsPerRow = (kWidth + 2 * kTwiceReach + kWordBits - 1) / kWordBits;
using RowBits = std::array<uint64_t, kWordsPerRow>;
using PictureBits = std::array<RowBits, kHeight + 2 * kLookReach>;
constexpr int kByteBits = 8;
// Eight bytes of 0 or 1 (the first in the lowest byte) to eight bits, the
// first in bit 0: each byte's bit lands on its own place in the top byte.
constexpr uint64_t kGatherBits = 0x0102040810204080ull;
constexpr int kGatherShift = 56;

// Ors `bits` (at most 8 of them) into the row from bit `pos` on.
void or_bits(RowBits& row, uint64_t bits, int pos) {
  if (pos < kWordBits) {
    row[0] |= bits << pos;
    if (pos > kWordBits - kByteBits) row[1] |= bits >> (kWordBits - pos);
  } else {
    row[1] |= bits << (pos - kWordBits);
  }
}

// After a change, the pixels around it are looked at again: the 3 x 3, where
// g moved by 16 times the change or more. The ring beyond moved by 6 times it
// at most; what that leaves to gain, the next frame's first look finds.
// Kept as a mark of the columns around each x, and of the columns after each
// scan position, so that marking is a few ors and no shifts.
constexpr RowBits column_bits(int from, int to) {
  RowBits row{};
  for (int x = std::max(from, 0); x <= std::min(to, kWidth - 1); ++x)
    row[(x + kTwiceReach) / kWordBits] |= uint64_t{1} << ((x + kTwiceReach) % kWordBits);
  return row;
}
constexpr std::array<RowBits, kWidth> make_around() {
  std::array<RowBits, kWidth> around{};
  for (int x = 0; x < kWidth; ++x) around[x] = column_bits(x - kLookReach, x + kLookReach);
  return around;
}
constexpr std::array<RowBits, kWidth> make_after() {
  std::array<RowBits, kWidth> after{};
  for (int x = 0; x < kWidth; ++x) after[x] = column_bits(x + 1, kWidth - 1);
  return after;
}
constexpr std::array<RowBits, kWidth> kAround = make_around();
constexpr std::array<RowBits, kWidth> kAfter = make_after();

// Marks the pixels around (x, y): those after the scan's position (sx, sy)
// in `now`, still to come in this pass, the others in `later`.
void mark_around(PictureBits& now, PictureBits& later, int x, int y, int sx, int sy) {
  static_assert(kWordsPerRow == 2);
  const uint64_t m0 = kAround[x][0], m1 = kAround[x][1];
  for (int ny = y - kLookReach; ny <= y + kLookReach; ++ny) {
    uint64_t ahead0 = 0, ahead1 = 0;
    if (ny > sy) ahead0 = ahead1 = ~uint64_t{0};
    else if (ny == sy) ahead0 = kAfter[sx][0], ahead1 = kAfter[sx][1];
    RowBits& n = now[ny + kLookReach];
    RowBits& l = later[ny + kLookReach];
    n[0] |= m0 & ahead0;
    n[1] |= m1 & ahead1;
    l[0] |= m0 & ~ahead0;
    l[1] |= m1 & ~ahead1;
  }
}

// Each pixel's hold price, in the search's cost units: what changing it
// from the shade it held costs. Full where its source stands still, falling
// to nothing as the source changes by `fade` levels (never, for fade 0): a
// shade kept while the picture under it changes has no claim to stay. Kept
// as a price per level of fade still to go, with, in g's units for one step,
// bounds on what a change can win from it: a pixel on its held shade pays at
// least `on` per level, one off it wins at most `off` per level.
struct HoldPrices {
  int fade;        // a source that changed this far holds nothing
  int cap;         // the levels of fade that count: fade, or 1 where nothing fades
  int32_t price;   // per level of fade left
  int32_t on, off;
  int32_t left(int moved) const { return std::clamp(fade - moved, 0, cap); }
  bool fades() const { return fade - kMaxGrey < cap; }  // whether some change leaves less than cap
  int32_t of(int moved) const { return price * left(moved); }
};

template <int Levels>
HoldPrices hold_prices(const SteadyLevels& t) {
  constexpr int kTwoSteps = 2 * kStepOf<Levels>;
  constexpr int kNoFade = 2 * (kMaxGrey + 1);  // beyond any change
  const int32_t price = std::clamp(t.hold_price, 0, kMaxHoldPrice) * kCostScale;
  const int fade = t.fade > 0 ? t.fade : kNoFade;
  const int cap = t.fade > 0 ? t.fade : 1;
  const int32_t per = price / cap;
  return {fade, cap, per, per / kTwoSteps, (per + kTwoSteps - 1) / kTwoSteps};
}

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

// The tone the search keeps: the picture in blocks of 8 x 8, each with its
// error, the sum of shade - source over its pixels. A sparse pattern of dots
// is how error diffusion draws a light or a dark grey, and the blurred error
// alone does not pay for it: one dot on a 3 x 3 blur is too large a step, so
// the search would wipe the dots out of a grey near white or black, and
// leave the dots of a moving object behind it. So a block that ends a
// frame more than kForceQuarters quarters of a step off is brought back
// within half a step by the changes that cost least. (Barring every change
// that takes a block further off cost the pans and the zoom a tenth of
// their 4-level structure: patterns have to cross blocks.)
constexpr int kBlockSide = 8;
constexpr int kBlocksAcross = kWidth / kBlockSide;
constexpr int kBlocks = kBlocksAcross * (kHeight / kBlockSide);
constexpr int kForceQuarters = 4;
constexpr int block_of(int x, int y) { return y / kBlockSide * kBlocksAcross + x / kBlockSide; }
using BlockErrors = std::array<int32_t, kBlocks>;

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
  static constexpr int32_t kAloneBar = kSelfWeight / 2 * kStep;

  static constexpr int32_t kToneHold = kStep / 2;
  static constexpr int32_t kToneForce = kStep * kForceQuarters / 4;

  // `source` is what the shades draw towards, in the blurred error and in
  // the blocks' tone alike (a sharpened edge on a block's side is no tone
  // to take back).
  Search(const GreyBuffer& source, const GreyBuffer& held, const GreyBuffer& moved, const GreyBuffer& fixed,
         const LevelBounds& bounds, const HoldPrices& h, GreyBuffer& out)
      : held_(held), moved_(moved), lowest_(bounds.lowest), highest_(bounds.highest), h_(h), out_(out) {
    error_field(out, source, fall_);  // g, until each row's bounds are added
    tone_.fill(0);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) tone_[block_of(x, y)] += out[y * kWidth + x] - source[y * kWidth + x];
    // g is 0 on the border, so there fall and rise are kOutside too.
    for (Field* f : {&fall_, &rise_, &down_}) {
      std::fill_n(f->begin(), kTwiceReach * kW, kOutside);
      std::fill_n(f->end() - kTwiceReach * kW, kTwiceReach * kW, kOutside);
    }
    for (int y = 0; y < kHeight; ++y) {
      const int f0 = field_index(0, y), i0 = y * kWidth;
      for (Field* f : {&fall_, &rise_, &down_})
        for (int b = 1; b <= kTwiceReach; ++b) (*f)[f0 - b] = (*f)[f0 + kWidth - 1 + b] = kOutside;
      // Where no source change is large enough to fade a price, every pixel
      // keeps the whole of it, and the row needs no multiplication (which
      // SSE2 has no single instruction for, on four lanes of 32 bits).
      if (h.fades()) bounds_row(f0, i0, fixed, [&](int i) { return h.left(moved[i]); });
      else bounds_row(f0, i0, fixed, [&](int) { return h.cap; });
    }
  }

  // What set_shade works out for one pixel, for a whole row from the field
  // cell f0 and the pixel i0, without branches, so that the compiler
  // vectorises it; left_of(i) is pixel i's levels of fade left.
  template <typename LeftOf>
  void bounds_row(int f0, int i0, const GreyBuffer& fixed, LeftOf left_of) {
    for (int x = 0; x < kWidth; ++x) {
      const int i = i0 + x;
      const int32_t left = left_of(i);
      const int32_t off = -int32_t{out_[i] != held_[i]};  // all ones when off its held shade
      const int32_t s = ((h_.off * left) & off) | ((-h_.on * left) & ~off);
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
            const unsigned maybe = may_pay(field_index(x, y)) & moves_;
            if (maybe == 0 || !improve(x, y, maybe, look, again)) continue;
            changed = true;
            bits |= look[y + kLookReach][w] & (~uint64_t{0} << b);  // marked ahead in this word
          }
      if (!changed) return;
      look = again;
    }
  }

  // Lets a level move only between neighbours: no pixel changes alone, so
  // that the tone the shades started from stays where it was.
  void pairs_only(const GreyBuffer* source, int apart) {
    moves_ = (1u << kAlone) - 1;
    pair_source_ = source;
    pair_apart_ = apart;
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
  static constexpr Lanes kSideBar = {20 * kStep, 12 * kStep, 20 * kStep, kNever};
  static constexpr Lanes kRowBar = {12 * kStep, kNever, 12 * kStep, kNever};

  static Lanes lanes_at(const Field& a, int f) {
    Lanes v;
    std::memcpy(&v, &a[f], sizeof v);
    return v;
  }
  static void add_lanes(Field& a, int f, Lanes v) {
    v += lanes_at(a, f);
    std::memcpy(&a[f], &v, sizeof v);
  }

  unsigned may_pay(int f) const {
    const int32_t fall = fall_[f], rise = rise_[f];
    const auto weigh = [&](int from, Lanes bar) {
      return (fall + lanes_at(rise_, from) > bar) | (rise + lanes_at(fall_, from) > bar);
    };
    const unsigned alone = unsigned(int{fall > kAloneBar} | int{rise > kAloneBar}) << kAlone;
#if defined(__SSE2__)
    // One instruction for each row of lanes, where extracting them takes four.
    const auto bits = [](Lanes c) { return unsigned(_mm_movemask_ps(_mm_castsi128_ps(__m128i(c)))); };
    return bits(weigh(f - kW - 1, kSideBar)) | bits(weigh(f - 1, kRowBar)) << kLanes |
           bits(weigh(f + kW - 1, kSideBar)) << (2 * kLanes) | alone;
#else
    constexpr Lanes kAboveBits = {1 << 0, 1 << 1, 1 << 2, 1 << 3};
    constexpr Lanes kRowBits = {1 << 4, 1 << 5, 1 << 6, 1 << 7};
    constexpr Lanes kBelowBits = {1 << 8, 1 << 9, 1 << 10, 1 << 11};
    const Lanes c = (weigh(f - kW - 1, kSideBar) & kAboveBits) | (weigh(f - 1, kRowBar) & kRowBits) |
                    (weigh(f + kW - 1, kSideBar) & kBelowBits);
    return unsigned(c[0] | c[1] | c[2] | c[3]) | alone;
#endif
  }

  // Every pixel that may gain: a pair of neighbours in a row marks both, a
  // pair across rows the pixel above (whose look weighs the move both ways).
  // One row at a time, every test in one loop that the compiler vectorises.
  PictureBits first_look() const {
    PictureBits look{};
    for (int y = 0; y < kHeight; ++y) {
      const int f0 = field_index(0, y);
      // Whether a level moving between the pixels at a and b, either way, may pay.
      const auto pays = [&](int a, int b, int32_t bar) {
        return int{fall_[a] + rise_[b] > bar} | int{rise_[a] + fall_[b] > bar};
      };
      std::array<uint8_t, kWidth> worth;
      for (int x = 0; x < kWidth; ++x) {
        const int f = f0 + x;
        // The cell left of the picture is kOutside, so its pair never pays.
        worth[x] = static_cast<uint8_t>(int{fall_[f] > kAloneBar} | int{rise_[f] > kAloneBar} |
                                        pays(f, f + 1, 12 * kStep) | pays(f - 1, f, 12 * kStep) |
                                        pays(f, f + kW, 12 * kStep) | pays(f, f + kW + 1, 20 * kStep) |
                                        pays(f, f + kW - 1, 20 * kStep));
      }
      for (int x = 0; x < kWidth; x += kByteBits) {
        uint64_t eight;
        std::memcpy(&eight, &worth[x], sizeof eight);
        or_bits(look[y + kLookReach], (eight * kGatherBits) >> kGatherShift, x + kTwiceReach);
      }
    }
    return look;
  }

  // The best of the moves `maybe` names for the pixel at (x, y), made if it
  // pays, with the pixels around it marked; whether it was made.
  bool improve(int x, int y, unsigned maybe, PictureBits& look, PictureBits& again) {
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
      if (pair_source_ && std::abs((*pair_source_)[i] - (*pair_source_)[j]) > pair_apart_) continue;
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
  BlockErrors tone_;
  unsigned moves_ = ~0u;  // the moves may_pay may name
  const GreyBuffer* pair_source_ = nullptr;  // with it, a level moves only between pixels whose
  int pair_apart_ = 0;                       // sources are at most this far apart
};

template <int Levels>
const SteadyLevels& levels_of(const StableTuning& t) {
  return Levels == kMonoLevels ? t.two : t.four;
}

template <int Levels>
void search(const GreyBuffer& source, const StableTuning& tuning, const SteadyStart& start, DitherHistory& history,
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
      move_picture(history.shades, start.dx, start.dy, moved_shades);
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
    LevelBounds bounds;
    level_bounds<Levels>(source, bounds);
    const int threshold = start.restarts ? t.restart : kMaxGrey + 1;
    // moved >= threshold, compared in bytes so that the loop runs sixteen
    // pixels to a vector: every pixel below a threshold of 1, none above 255.
    const uint8_t every = threshold <= 0;
    const auto beyond = static_cast<uint8_t>(std::clamp(threshold - 1, 0, kMaxGrey));
    for (int i = 0; i < kPixels; ++i) {
      fixed[i] = every | uint8_t{moved[i] > beyond};
      // The mode's own dithering keeps solids too, but only to within its
      // rounding: clamped like the rest.
      out[i] = std::clamp(fixed[i] || start.from_out ? out[i] : held[i], bounds.lowest[i], bounds.highest[i]);
    }
    const HoldPrices h = hold_prices<Levels>(t);
    // What the search draws towards: the picture with its edges sharpened,
    // as error diffusion's own drawing sharpens them. Without, two levels
    // draw a thin outline (an eye's rim) as part of the blur around it.
    GreyBuffer target = source;
    if (t.sharpen > 0) sharpen(target, t.sharpen);
    Search<Levels> s(target, held, moved, fixed, bounds, h, out);
    if (start.from_out && !t.singles) s.pairs_only(t.pair_apart > 0 ? &source : nullptr, t.pair_apart);
    s.run(t.passes, t.later_looks);
    if (!start.from_out || t.singles) s.keep_tone();
  }
  history.source = source;
  history.shades = out;
  history.anchor = source;
  history.primed = true;
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
                   DitherHistory& history, GreyBuffer& out) {
  if (shades == Shades::two) search<2>(source, tuning, start, history, out);
  else search<4>(source, tuning, start, history, out);
}
