// The output video file: a 23-byte header, then one 768-byte (monochrome) or
// 1536-byte (grey) record per frame, all numbers little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "raster.h"

constexpr int kHeaderBytes = 23;
using Header = std::array<uint8_t, kHeaderBytes>;

// The header announcing `framecount` frames (tenths of a second of movie).
Header make_header(int32_t grey, uint32_t framecount);

// Record size in bytes for the given grey count.
constexpr int record_bytes(int32_t grey) { return grey ? 2 * kPlaneBytes : kPlaneBytes; }

struct VideoFile {
  std::FILE* file = nullptr;
};

// Creates or truncates `path` for binary writing; false if it cannot be created.
bool videofile_open(VideoFile& out, const char* path);

// Appends the header; false on a short write.
bool videofile_write_header(VideoFile& out, int32_t grey, uint32_t framecount);

// Appends one record: final, then final2 when grey is non-zero; false on a short write.
bool videofile_write_record(VideoFile& out, const Plane& final, const Plane& final2, int32_t grey);

// Flushes and closes (safe on a file never opened); false if either fails,
// so data lost to a full disk is never taken for success.
bool videofile_close(VideoFile& out);
