// The video file: a 23-byte header, then one 768-byte (two shades) or
// 1536-byte (four shades) record per tenth of a second of movie, all numbers
// little-endian. The format, its writer and its reader live here alone.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

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

// Creates a video file and appends header and records, so that the file
// never claims more records than it holds: a file it can seek in gets a
// frame count of 0 until finish() writes the real one, after every record is
// out, and abandon() cuts a failed file back to its whole records under a
// count of those. Every failure to write, flush or close is reported, so
// data lost to a full disk is never taken for success.
class VideoWriter : NonCopyable {
 public:
  ~VideoWriter() { abandon(); }

  // Creates or truncates `path` for binary writing; false if it cannot be created.
  bool open(const char* path);
  // Whether the header's count can be written last (a file, not a pipe).
  bool seekable() const { return seekable_; }
  // Appends the header: a count of 0 for now where the count can be written
  // last, `framecount` at once where it cannot. False on a short write.
  bool write_header(int32_t grey, uint32_t framecount);
  // Appends one record: final, then final2 for four shades; false on a short write.
  bool write_record(const Plane& final, const Plane& final2, Shades shades);
  // Records appended so far.
  uint32_t records() const { return records_; }
  // Flushes the records, writes `framecount` into the header and closes;
  // false if any of it failed (the file is then abandoned).
  bool finish(uint32_t framecount);
  // After a failure: flushes what it can, drops a cut record, sets the count
  // to the whole records the file holds and closes. A file that does not
  // even hold a whole header is removed. Nothing happens when not open.
  void abandon();
  bool is_open() const { return file_ != nullptr; }
  // The error number of the first failure since open(), 0 if none.
  int error() const { return error_; }

 private:
  bool set_count(uint32_t framecount);
  bool write_all(std::span<const uint8_t> bytes);
  bool failed();  // keeps the cause of a failure; always false

  std::FILE* file_ = nullptr;
  std::string path_;
  bool seekable_ = false;
  Shades shades_ = Shades::two;
  uint32_t records_ = 0;
  int error_ = 0;
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
