// H.264 read without a decoder: the parameter sets ffmpeg's x264 writes for
// each colour signal and pixel shape, and which packets a decoder may be
// spared.
#include "movie/builtin/h264.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// avcC boxes of 64 x 48 movies made by ffmpeg with libx264, and what ffprobe
// says of each.
struct SignalCase {
  const char* name;
  const char* avcc;
  H264Signal want;
};

class H264Signals : public ::testing::TestWithParam<SignalCase> {};

TEST_P(H264Signals, ReadFromTheSequenceParameterSet) {
  const SignalCase& c = GetParam();
  const std::vector<uint8_t> avcc = from_hex(c.avcc);
  H264Signal got;
  ASSERT_TRUE(read_h264_signal(avcc, got));
  EXPECT_EQ(got.matrix, c.want.matrix);
  EXPECT_EQ(got.full_range, c.want.full_range);
  EXPECT_EQ(got.sar_num, c.want.sar_num);
  EXPECT_EQ(got.sar_den, c.want.sar_den);
  EXPECT_EQ(avcc_length_size(avcc), 4);
}

INSTANTIATE_TEST_SUITE_P(
    H264, H264Signals,
    ::testing::Values(
        // -colorspace bt709 -color_range pc -vf setsar=4/3: a table shape
        SignalCase{"bt709_full_range",
                   "0164000affe1001a6764000aacd9447b0e6e04040280000003008000000a078912cb01000668ebe3cb22c0fdf8f800",
                   {1, true, 4, 3}},
        // -colorspace bt470bg -vf setsar=40/33
        SignalCase{"bt601_limited",
                   "0164000affe1001a6764000aacd9447b056a04040a80000003008000000a078912cb01000768ebe3cb3002c0fdf8f800",
                   {5, false, 40, 33}},
        // -profile:v baseline -vf setsar=7/5: a shape of its own (255), no colour
        SignalCase{"baseline_own_shape",
                   "0142c00affe1001b6742c00ad9047bff000700051000000300100000030140f122648001000568cb83cb20",
                   {2, false, 7, 5}},
        // nothing asked: unspecified colour, square pixels
        SignalCase{"plain", "0164000affe100186764000aacd9447b011000000300100000030140f122596001000668ebe3cb22c0fdf8f800",
                   {2, false, 1, 1}},
        // libx264rgb: High 4:4:4, green-blue-red planes (matrix 0), full range
        SignalCase{"rgb", "01f4000affe1001c67f4000a91d64189b016e0404008000003000800000300a07891324001000568ebc06bcbfff8f800",
                   {0, true, 1, 1}}),
    [](const ::testing::TestParamInfo<SignalCase>& info) { return info.param.name; });

TEST(H264Signals, BrokenConfigurationsAreRefused) {
  const std::string good =
      "0164000affe100186764000aacd9447b011000000300100000030140f122596001000668ebe3cb22c0fdf8f800";
  struct Case {
    const char* name;
    std::string hex;
  } cases[] = {
      {"empty", ""},
      {"version 0", "00" + good.substr(2)},
      {"no parameter set", good.substr(0, 10) + "e0"},
      {"length past the end", good.substr(0, 12) + "ff" + good.substr(14)},
      {"cut in the middle", good.substr(0, 30)},
      {"a picture parameter set first", good.substr(0, 16) + "68" + good.substr(18)},
  };
  for (const Case& c : cases) {
    H264Signal s;
    s.matrix = 99;
    EXPECT_FALSE(read_h264_signal(from_hex(c.hex), s)) << c.name;
    EXPECT_EQ(s.matrix, 2) << c.name << ": left at the defaults";
  }
  EXPECT_EQ(avcc_length_size(from_hex("")), 0);
  EXPECT_EQ(avcc_length_size(from_hex("0164000afd")), 2);
  EXPECT_EQ(avcc_length_size(from_hex("0064000aff")), 0);
}

struct PacketCase {
  const char* name;
  std::string hex;
  int length_size;
  bool unreferenced;
};

TEST(H264Packets, OnlyLoneUnreferencedPicturesMayBeLeftOut) {
  const PacketCase cases[] = {
      {"non-reference slice", "00000002" "0188", 4, true},
      {"with an SEI and a delimiter", "00000002" "0605" "00000002" "09f0" "00000002" "0188", 4, true},
      {"reference slice", "00000002" "2188", 4, false},
      {"IDR slice", "00000002" "6588", 4, false},
      {"parameter set inside", "00000002" "6742" "00000002" "0188", 4, false},
      {"SEI alone: no picture", "00000002" "0605", 4, false},
      {"forbidden bit", "00000002" "8188", 4, false},
      {"length past the end", "00000009" "0188", 4, false},
      {"zero length", "00000000" "0188", 4, false},
      {"cut length field", "0000", 4, false},
      {"two-byte lengths", "0002" "0188", 2, true},
      {"start codes", "00000001" "0188" "000001" "0c00", 0, true},
      {"start codes, reference", "000001" "0188" "000001" "4188", 0, false},
      {"no start code", "0188", 0, false},
  };
  for (const PacketCase& c : cases) {
    const std::vector<uint8_t> packet = from_hex(c.hex);
    EXPECT_EQ(unreferenced_h264(packet, c.length_size), c.unreferenced) << c.name;
  }
}

}  // namespace
