// The sizing rule: the size a movie's picture is scaled to before it is
// padded to the display, keeping its shape.
#pragma once

#include <cstdint>

#include "settings/settings.h"

struct OutputSize {
  uint32_t outw = 0;
  uint32_t outh = 0;
};

// Fits a W x H picture into 96 x 64 keeping its shape (unsigned 32-bit
// arithmetic); false when either side would be 0.
bool output_size(uint32_t width, uint32_t height, OutputSize& size);

// The size a W x H picture is scaled to for `fit`: the rule above for pad;
// for crop, the smallest size of its shape that covers 96 x 64 (rounded up,
// so no edge is left bare); 96 x 64 for stretch. False when either side of
// the picture, or of the padded size, is 0.
bool fit_size(uint32_t width, uint32_t height, Fit fit, OutputSize& size);
