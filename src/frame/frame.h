// The per-frame pipeline: a decoded frame becomes the packed bit planes of
// one frame record (sample -> reduce -> dither -> pack).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "raster.h"
#include "settings/settings.h"

using Kernel = std::array<int32_t, kKernelSize>;

// Box-samples a packed 24-bit bottom-up DIB (BITMAPINFOHEADER first) of any
// size to grey; false, leaving graybuf unspecified, if the DIB is unreadable.
bool sample(std::span<const uint8_t> frame, GreyBuffer& graybuf);

// Posterises graybuf in place to `reduction` levels; does nothing below 2.
void reduce(GreyBuffer& graybuf, int32_t reduction);

// The grey-mode quantiser: 0, 85, 170 or 255, ties going up.
uint8_t closestg(uint8_t color);

// a + b clamped to 0..255.
uint8_t AddError(int a, int b);

// Error-diffuses graybuf (modified in place) into ditherbuf with the 16.16
// kernel, quantising to two or four shades.
void dither(GreyBuffer& graybuf, Shades shades, const Kernel& matrix, GreyBuffer& ditherbuf);

// Packs ditherbuf into final (q < 128 is dark) and, for four shades, final2
// (bit 6 of q clear is dark).
void pack(const GreyBuffer& ditherbuf, Shades shades, Plane& final, Plane& final2);
