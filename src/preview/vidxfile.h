// Reading a converted video file back for the preview: the header is checked
// field by field and the frames are read one at a time, on demand, so a file
// of any length costs one record of memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "raster.h"
#include "videofile/videofile.h"

enum class VidxStatus {
  ok,
  cant_open,       // fopen failed; syserror says why
  not_regular,     // a directory, pipe or device
  empty,           // zero bytes
  short_header,    // 1 to 22 bytes
  foreign,         // no **VIDX** magic
  bad_lengths,     // header-length fields are not 13 and 23
  bad_fixed,       // the fixed header bytes differ
  partial_record,  // the bytes after the header are not whole records
  read_error,      // a read failed, or the file shrank while open
};

struct VidxFile {
  std::FILE* file = nullptr;
  Header header = {};       // as read, for messages about a bad one
  int32_t grey = 0;         // header byte 13: 0 one plane, anything else two
  uint32_t framecount = 0;  // the header's count: tenths of a second of movie
  int64_t records = 0;      // whole records present after the header
  int64_t leftover = 0;     // after partial_record: bytes past the last whole record
  int syserror = 0;         // after cant_open: errno
};

// Opens `path` and checks its header and size. Only on ok is the file left
// open (close it with vidx_close); otherwise `video` holds no file.
VidxStatus vidx_open(VidxFile& video, const char* path);

// Decodes record `index` (0 <= index < records) into grey levels: 0 or 255 for
// one plane; 0, 85, 170 or 255 for two, the values the planes were packed from.
VidxStatus vidx_read_frame(VidxFile& video, int64_t index, GreyBuffer& frame);

// Record bytes (one plane, or two when grey is non-zero) to grey levels.
void vidx_unpack(std::span<const uint8_t> record, int32_t grey, GreyBuffer& frame);

// Safe on a file never opened.
void vidx_close(VidxFile& video);

// The number of shades the file's frames use: 2 or 4.
constexpr int vidx_shades(int32_t grey) { return grey ? 4 : 2; }
