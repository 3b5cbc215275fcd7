// The move of the whole picture from one frame to the next, as a pan makes
// it: found from the sums of the pictures' columns and rows, for the steady
// mode to carry its shades along.
#pragma once

#include "raster.h"

// Pixels the picture moved to the right (dx) and down (dy).
struct PictureMove {
  int dx = 0, dy = 0;
};

// How far `before` moved to become `now`: the shift of up to 12 pixels each
// way that best matches their column sums, then their row sums over the
// columns both show; none unless the moved picture matches at least twice
// as well as the unmoved one.
PictureMove find_move(const GreyBuffer& now, const GreyBuffer& before);

// `picture` moved by (dx, dy) into `out`, what comes into view repeating the
// picture's edge.
void move_picture(const GreyBuffer& picture, int dx, int dy, GreyBuffer& out);
