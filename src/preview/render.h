// Pictures of a converted video for someone without a calculator: an
// animated GIF, a numbered PNG contact sheet, and text for a colour terminal.
#pragma once

#include <cstdint>
#include <string>

#include "raster.h"
#include "videofile/videofile.h"

constexpr int kMaxScale = 16;
constexpr int kSheetColumns = 10;     // at every 10th frame, a second per cell, ten per row
constexpr int kSheetMaxCells = 1000;
constexpr int64_t kSheetMaxPixels = int64_t{40} << 20;

// Writes every record as a looping GIF at 10 frames per second, each pixel a
// scale x scale block; false with `error` set (and no file left) on failure.
bool write_gif(VidxFile& video, const char* path, int scale, std::string& error);

struct SheetLayout {
  int64_t cells = 0;  // frames 0, every, 2 * every, ...
  int columns = 0, rows = 0;
  int pad = 0;        // around and between the cells
  int digit = 0;      // size of one pixel of the label font
  int cellw = 0, cellh = 0;  // a frame plus its label
  int64_t width = 0, height = 0;
};

// The grid for `records` frames; it may come out too big to write (see
// sheet_fits), so nothing is allocated from it before that check.
SheetLayout sheet_layout(int64_t records, int every, int scale);
bool sheet_fits(const SheetLayout& layout);

// Every 10th frame (one a second) while that gives at most 100 cells, else
// the smallest whole number of seconds that does.
int default_every(int64_t records);

// Writes the contact sheet as an RGB PNG, each frame labelled with its
// number; false with `error` set (and no file left) on failure.
bool write_sheet(VidxFile& video, const char* path, int scale, int every, std::string& error);

// One frame as kHeight / 2 lines of upper half blocks, the top pixel in the
// foreground colour and the bottom one in the background, 256-colour escapes
// emitted only where a colour changes, attributes reset at each line's end.
std::string render_text(const GreyBuffer& frame);
