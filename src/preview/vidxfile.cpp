// The preview's reader: validates a video file's header and size up front,
// then seeks to and unpacks one record per request.
#include "preview/vidxfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint8_t kMagic[] = {'*', '*', 'V', 'I', 'D', 'X', '*', '*'};
constexpr int kLengthField = 8;    // 16-bit: header bytes after this field
constexpr int kGreyByte = 13;
constexpr int kCountField = 15;    // 32-bit frame count
constexpr int kOffsetField = 19;   // 32-bit offset of the first record
constexpr int kHeaderTail = kHeaderBytes - kLengthField - 2;  // 13

// Bytes every writer puts at these offsets.
constexpr struct {
  int offset;
  uint8_t value;
} kFixed[] = {{10, 0x01}, {11, 0x0A}, {12, 0x00}, {14, 0x0A}};

uint32_t le16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The fields after the magic.
VidxStatus check_header(const Header& h) {
  if (le16(&h[kLengthField]) != kHeaderTail || le32(&h[kOffsetField]) != kHeaderBytes)
    return VidxStatus::bad_lengths;
  for (const auto& f : kFixed)
    if (h[f.offset] != f.value) return VidxStatus::bad_fixed;
  return VidxStatus::ok;
}

}  // namespace

VidxStatus vidx_open(VidxFile& video, const char* path) {
  video = VidxFile{};
  // The size decides how many records there are, so it must be a real file;
  // asked before opening, since opening a FIFO would wait for a writer.
  struct stat st;
  if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) return VidxStatus::not_regular;
  std::FILE* f = std::fopen(path, "rb");
  if (!f) {
    video.syserror = errno;
    return VidxStatus::cant_open;
  }
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    return VidxStatus::not_regular;
  }
  const int64_t size = st.st_size;
  const size_t want = std::min<int64_t>(size, kHeaderBytes);
  const size_t magic = std::min(want, sizeof kMagic);
  VidxStatus status = VidxStatus::ok;
  if (size == 0) {
    status = VidxStatus::empty;
  } else if (std::fread(video.header.data(), 1, want, f) != want) {
    status = VidxStatus::read_error;
  } else if (!std::equal(kMagic, kMagic + magic, video.header.begin())) {
    status = VidxStatus::foreign;  // told apart from a cut-off header by its first bytes
  } else if (want < size_t{kHeaderBytes}) {
    status = VidxStatus::short_header;
  } else {
    status = check_header(video.header);
  }
  if (status == VidxStatus::ok) {
    video.grey = video.header[kGreyByte];
    video.framecount = le32(&video.header[kCountField]);
    const int64_t body = size - kHeaderBytes;
    const int64_t rec = record_bytes(video.grey);
    video.records = body / rec;
    video.leftover = body % rec;
    if (video.leftover != 0) status = VidxStatus::partial_record;
  }
  if (status != VidxStatus::ok) {
    std::fclose(f);
    return status;
  }
  video.file = f;
  return VidxStatus::ok;
}

void vidx_unpack(std::span<const uint8_t> record, int32_t grey, GreyBuffer& frame) {
  // A display shows the first plane for about two thirds of the time and the
  // second for one third, so darkness = (2 * bit1 + bit2) / 3: both set is
  // black, the first alone 85, the second alone 170, neither white.
  constexpr uint8_t kMono[2] = {255, 0};
  constexpr uint8_t kGrey[4] = {255, 170, 85, 0};  // index 2 * bit1 + bit2
  const uint8_t* p1 = record.data();
  const uint8_t* p2 = grey ? p1 + kPlaneBytes : nullptr;
  for (int i = 0; i < kPixels; ++i) {
    const int byte = i / 8;
    const int shift = 7 - i % 8;  // leftmost pixel in bit 7
    const int b1 = p1[byte] >> shift & 1;
    frame[i] = p2 ? kGrey[2 * b1 + (p2[byte] >> shift & 1)] : kMono[b1];
  }
}

VidxStatus vidx_read_frame(VidxFile& video, int64_t index, GreyBuffer& frame) {
  const int rec = record_bytes(video.grey);
  if (!video.file || index < 0 || index >= video.records) return VidxStatus::read_error;
  std::array<uint8_t, 2 * kPlaneBytes> record;
  if (fseeko(video.file, kHeaderBytes + index * rec, SEEK_SET) != 0 ||
      std::fread(record.data(), 1, rec, video.file) != size_t(rec))
    return VidxStatus::read_error;
  vidx_unpack(std::span(record.data(), rec), video.grey, frame);
  return VidxStatus::ok;
}

void vidx_close(VidxFile& video) {
  if (video.file) std::fclose(video.file);
  video.file = nullptr;
}
