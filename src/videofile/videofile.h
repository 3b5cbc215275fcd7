// The video file: a 23-byte header, then one 768-byte (two shades) or
// 1536-byte (four shades) record per tenth of a second of movie, all numbers
// little-endian. The format, its writer and its reader live here alone.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

#include "raster.h"
#include "util/non_copyable.h"

constexpr int kFramesPerSecond = 10;  // one record per tenth of a second

constexpr int kHeaderBytes = 23;
using Header = std::array<uint8_t, kHeaderBytes>;

constexpr uint8_t kMagic[] = {'*', '*', 'V', 'I', 'D', 'X', '*', '*'};
constexpr int kLengthField = 8;   // 16-bit: header bytes after this field
constexpr int kGreyByte = 13;     // the -g count, 0 for two shades
constexpr int kCountField = 15;   // 32-bit frame count
constexpr int kOffsetField = 19;  // 32-bit offset of the first record
constexpr int kHeaderTail = kHeaderBytes - kLengthField - 2;  // 13

// Record size in bytes: one bit plane, or two for four shades.
constexpr int record_bytes(Shades shades) { return shades == Shades::four ? 2 * kPlaneBytes : kPlaneBytes; }

// The header announcing `framecount` frames (tenths of a second of movie)
// made with `grey` -g options.
Header make_header(int32_t grey, uint32_t framecount);

enum class HeaderStatus {
  ok,
  foreign,      // no **VIDX** magic
  bad_lengths,  // the header-length fields are not 13 and 23
  bad_fixed,    // the fixed header bytes differ
};

struct HeaderFields {
  uint8_t grey = 0;         // 0 two shades, anything else four
  uint32_t framecount = 0;  // tenths of a second of movie
  uint16_t tail = 0;        // the length field, as read
  uint32_t offset = 0;      // the offset of the first record, as read
};

// Checks a whole header and reads its fields (which are filled even when a
// length or fixed byte is wrong, for messages about it).
HeaderStatus parse_header(const Header& header, HeaderFields& fields);

// Creates a video file and appends header and records. Every failure to
// write, flush or close is reported, so data lost to a full disk is never
// taken for success. Closed by close() or, unchecked, when it goes away.
class VideoWriter : NonCopyable {
 public:
  ~VideoWriter() { close(); }

  // Creates or truncates `path` for binary writing; false if it cannot be created.
  bool open(const char* path);
  // Appends the header; false on a short write or when not open.
  bool write_header(int32_t grey, uint32_t framecount);
  // Appends one record: final, then final2 for four shades; false on a short write.
  bool write_record(const Plane& final, const Plane& final2, Shades shades);
  // Flushes and closes (true when there is nothing to close).
  bool close();
  bool is_open() const { return file_ != nullptr; }

 private:
  std::FILE* file_ = nullptr;
};

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

// A video file opened for reading: the header is checked field by field up
// front and the records are read one at a time, on demand, so a file of any
// length costs one record of memory. Closed when it goes away.
struct VidxFile : NonCopyable {
  ~VidxFile();

  std::FILE* file = nullptr;
  Header header = {};       // as read, for messages about a bad one
  HeaderFields fields;      // as parsed
  Shades shades = Shades::two;
  int64_t records = 0;      // whole records present after the header
  int64_t leftover = 0;     // after partial_record: bytes past the last whole record
  int syserror = 0;         // after cant_open: errno
};

// Opens `path` and checks its header and size. Only on ok is the file left
// open; otherwise `video` holds no file.
VidxStatus vidx_open(VidxFile& video, const char* path);

// Decodes record `index` (0 <= index < records) into the shades the planes
// were packed from: black or white, and the two greys for four shades.
VidxStatus vidx_read_frame(VidxFile& video, int64_t index, GreyBuffer& frame);

// Record bytes (one plane, or two for four shades) to shades.
void vidx_unpack(std::span<const uint8_t> record, Shades shades, GreyBuffer& frame);

// Safe on a file never opened, and twice.
void vidx_close(VidxFile& video);
