// The steady search's first look: which pixels it marks for a pair that
// pays, for a pixel that may gain alone, and where levels move only between
// neighbours of like source; the 16-bit rows against the 32-bit ones.
#include "frame/steady_look.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using steady::Field;
using steady::field_index;
using steady::kOutside;
using steady::LookRules;
using steady::PictureBits;

constexpr int kBar = steady::kRowBarOf<2>;

// Fields where nothing pays (every sum of two is -2 bars), but where
// pair_pays makes a level moving from (x, y) to its neighbour (x + dx,
// y + dy) pass the pair's bar by `over`.
struct Fields {
  Field fall, rise;
  Fields() {
    fall.fill(kOutside);
    rise.fill(kOutside);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) fall[field_index(x, y)] = rise[field_index(x, y)] = -kBar;
  }
  void pair_pays(int x, int y, int dx, int dy, int32_t bar, int32_t over) {
    fall[field_index(x, y)] = bar + over;
    rise[field_index(x + dx, y + dy)] = 0;
  }
};

bool marked(const PictureBits& look, int x, int y) {
  const int bit = x + steady::kTwiceReach;
  return (look[y + steady::kLookReach][bit / steady::kWordBits] >> (bit % steady::kWordBits) & 1) != 0;
}

std::vector<std::pair<int, int>> marks(const PictureBits& look) {
  std::vector<std::pair<int, int>> found;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      if (marked(look, x, y)) found.emplace_back(x, y);
  return found;
}

// Both ways of marking a frame's rows; the 16-bit one only where SSE2 is.
std::vector<PictureBits> looks(const Fields& f, const LookRules& rules) {
  std::vector<PictureBits> out;
  PictureBits wide{};
  for (int y = 0; y < kHeight; ++y) steady::look_row<2>(y, f.fall, f.rise, rules, wide);
  out.push_back(wide);
#if defined(__SSE2__)
  steady::Narrow fall16, rise16;
  steady::narrow(f.fall, fall16);
  steady::narrow(f.rise, rise16);
  PictureBits narrow{};
  for (int y = 0; y < kHeight; ++y) {
    if (rules.near) steady::look_row_narrow<2, true>(y, fall16, rise16, rules, narrow);
    else steady::look_row_narrow<2, false>(y, fall16, rise16, rules, narrow);
  }
  out.push_back(narrow);
#endif
  return out;
}

TEST(SteadyLook, PairsOfLikeSourceOnlyAtTheThreshold) {
  // A pair of pixels 16 + `more` source levels apart, every neighbour
  // direction a look weighs from the pixel (the pixel above for a pair
  // across rows); with the rule 16 apart.
  struct Case {
    int dx, dy, x, y;
    int32_t bar;
  };
  const Case cases[] = {{1, 0, 40, 10, kBar},
                        {-1, 0, 41, 10, kBar},
                        {0, 1, 40, 10, kBar},
                        {1, 1, 40, 10, steady::kCornerBarOf<2>},
                        {-1, 1, 40, 10, steady::kCornerBarOf<2>},
                        {1, 0, 0, 0, kBar},
                        {-1, 0, kWidth - 1, kHeight - 1, kBar},
                        {0, 1, kWidth - 1, kHeight - 2, kBar}};
  for (const Case& c : cases)
    for (const int more : {-1, 0, 1}) {
      SCOPED_TRACE(testing::Message() << "dx " << c.dx << " dy " << c.dy << " at " << c.x << "," << c.y << " apart 16"
                                      << (more < 0 ? "-1" : more > 0 ? "+1" : ""));
      Fields f;
      f.pair_pays(c.x, c.y, c.dx, c.dy, c.bar, 1);
      GreyBuffer source;
      source.fill(100);
      source[(c.y + c.dy) * kWidth + c.x + c.dx] = static_cast<uint8_t>(100 + 16 + more);
      steady::SpareSource spare;
      steady::spare_source(source, spare);
      const LookRules rules{false, &spare, 16};
      for (const PictureBits& look : looks(f, rules)) {
        const auto m = marks(look);
        if (more > 0) {
          EXPECT_TRUE(m.empty());
        } else {
          // The pixel the look weighs the pair from, and for a pair in a row
          // its partner too.
          EXPECT_TRUE(marked(look, c.dy == 0 ? std::min(c.x, c.x + c.dx) : c.x, c.y));
          EXPECT_LE(m.size(), 2u);
        }
      }
    }
}

TEST(SteadyLook, AloneBarOnlyWherePixelsMayChangeAlone) {
  // A pixel whose fall is one over, at or one under the bar for a change
  // alone: marked just over it, and never where only pairs move.
  for (const int32_t over : {-1, 0, 1})
    for (const bool alone : {true, false}) {
      SCOPED_TRACE(testing::Message() << "over " << over << " alone " << alone);
      Fields f;
      f.fall[field_index(7, 30)] = steady::kAloneBarOf<2> + over;
      for (const PictureBits& look : looks(f, LookRules{alone, nullptr, 0}))
        EXPECT_EQ(marks(look).size(), alone && over > 0 ? 1u : 0u);
    }
}

TEST(SteadyLook, NarrowRowsMarkAsWideOnes) {
  // Pseudo-random fields within 16 bits and a source of every grey: the
  // 16-bit rows mark what the 32-bit rows do, with and without the rules.
  Fields f;
  GreyBuffer source;
  uint32_t seed = 12345;
  const auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const int c = field_index(x, y);
      f.fall[c] = static_cast<int32_t>(next() >> 16) % (3 * kBar) - kBar;
      f.rise[c] = static_cast<int32_t>(next() >> 16) % (3 * kBar) - 2 * kBar;
      source[y * kWidth + x] = static_cast<uint8_t>(next() >> 24);
    }
  steady::SpareSource spare;
  steady::spare_source(source, spare);
  const LookRules every_rule[] = {{true, nullptr, 0}, {false, nullptr, 0}, {false, &spare, 16}, {false, &spare, 255}};
  for (const LookRules& rules : every_rule) {
    const auto both = looks(f, rules);
    EXPECT_FALSE(marks(both.front()).empty());
    for (const PictureBits& look : both) EXPECT_EQ(marks(look), marks(both.front()));
  }
}

}  // namespace
