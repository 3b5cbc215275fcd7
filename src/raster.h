// The display raster every stage shares: 96 x 64 pixels, one grey byte per
// pixel while a frame is processed, one bit per pixel once it is packed.
#pragma once

#include <array>
#include <cstdint>

constexpr int kWidth = 96;
constexpr int kHeight = 64;
constexpr int kPixels = kWidth * kHeight;          // 6144
constexpr int kRowBytes = kWidth / 8;              // 12 bytes per packed row
constexpr int kPlaneBytes = kRowBytes * kHeight;   // 768 bytes per bit plane

// 16.16 fixed point: dither weights and the frame cadence.
constexpr int kFixedShift = 16;
constexpr int32_t kFixedOne = int32_t{1} << kFixedShift;  // 65536

// Row-major, top row first, index y * kWidth + x.
using GreyBuffer = std::array<uint8_t, kPixels>;
// 64 rows of 12 bytes, leftmost pixel in bit 7, set bit = dark.
using Plane = std::array<uint8_t, kPlaneBytes>;

// The shades a display pixel takes: black and white, and in four-shade mode
// the two greys between them, evenly spaced.
enum class Shades { two = 2, four = 4 };
constexpr uint8_t kBlack = 0;
constexpr uint8_t kDarkGrey = 85;
constexpr uint8_t kLightGrey = 170;
constexpr uint8_t kWhite = 255;
// The largest grey, as an int for the arithmetic on greys.
constexpr int kMaxGrey = kWhite;
constexpr std::array<uint8_t, 4> kShadeLevels = {kBlack, kDarkGrey, kLightGrey, kWhite};

// Any number of -g options asks for four shades.
constexpr Shades shades_for(int32_t grey) { return grey ? Shades::four : Shades::two; }
