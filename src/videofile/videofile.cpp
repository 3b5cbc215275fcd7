// The video file: its header, the writer (binary mode, since the header holds
// 0x0A and 0x00 bytes) and the reader that checks a file before showing it.
#include "videofile/videofile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "util/bytes.h"

namespace {

// Bytes every writer puts at these offsets.
constexpr struct {
  int offset;
  uint8_t value;
} kFixed[] = {{10, 0x01}, {11, 0x0A}, {12, 0x00}, {14, 0x0A}};

constexpr uint8_t kMaxGreyByte = 255;

}  // namespace

Header make_header(int32_t grey, uint32_t framecount) {
  Header h{};
  std::copy(std::begin(kMagic), std::end(kMagic), h.begin());
  put_le16(h, kLengthField, kHeaderTail);
  for (const auto& f : kFixed) h[f.offset] = f.value;
  // Readers only ask whether the byte is 0. Its low 8 bits alone would turn
  // 256 "-g" options into 0, a monochrome header over grey records.
  h[kGreyByte] = static_cast<uint8_t>(std::clamp<int32_t>(grey, 0, kMaxGreyByte));
  put_le32(h, kCountField, framecount);
  put_le32(h, kOffsetField, kHeaderBytes);
  return h;
}

HeaderStatus parse_header(const Header& h, HeaderFields& fields) {
  fields.grey = h[kGreyByte];
  fields.framecount = get_le32(h, kCountField);
  fields.tail = get_le16(h, kLengthField);
  fields.offset = get_le32(h, kOffsetField);
  if (!std::equal(std::begin(kMagic), std::end(kMagic), h.begin())) return HeaderStatus::foreign;
  if (fields.tail != kHeaderTail || fields.offset != kHeaderBytes) return HeaderStatus::bad_lengths;
  for (const auto& f : kFixed)
    if (h[f.offset] != f.value) return HeaderStatus::bad_fixed;
  return HeaderStatus::ok;
}

// ---- writing ----

bool VideoWriter::failed() {
  // The first failure is the cause; a write with no error number of its own
  // (a closed file) counts as an I/O error.
  if (error_ == 0) error_ = errno != 0 ? errno : EIO;
  return false;
}

bool VideoWriter::write_all(std::span<const uint8_t> bytes) {
  errno = 0;
  return (file_ && std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size()) || failed();
}

bool VideoWriter::open(const char* path) {
  abandon();
  error_ = 0;
  errno = 0;
  file_ = std::fopen(path, "wb");
  if (!file_) return failed();
  path_ = path;
  records_ = 0;
  struct stat st;
  seekable_ = fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode);
  return true;
}

bool VideoWriter::write_header(int32_t grey, uint32_t framecount) {
  shades_ = shades_for(grey);
  return write_all(make_header(grey, seekable_ ? 0 : framecount));
}

bool VideoWriter::write_record(const Plane& final, const Plane& final2, Shades shades) {
  if (!write_all(final)) return false;
  if (shades == Shades::four && !write_all(final2)) return false;
  ++records_;
  return true;
}

bool VideoWriter::set_count(uint32_t framecount) {
  std::array<uint8_t, 4> count;
  put_le32(count, 0, framecount);
  errno = 0;
  return pwrite(fileno(file_), count.data(), count.size(), kCountField) == ssize_t(count.size()) || failed();
}

bool VideoWriter::finish(uint32_t framecount) {
  if (!file_) return false;
  // The error flag catches a write that failed earlier even if its result was
  // ignored and the buffer has since drained. The records are flushed before
  // the count is written, so the count never runs ahead of them.
  errno = 0;
  bool ok = (!std::ferror(file_) && std::fflush(file_) == 0) || failed();
  if (ok && seekable_) ok = set_count(framecount);
  if (!ok) {
    abandon();
    return false;
  }
  errno = 0;
  ok = std::fclose(file_) == 0 || failed();
  file_ = nullptr;
  return ok;
}

void VideoWriter::abandon() {
  if (!file_) return;
  std::fflush(file_);
  const int fd = fileno(file_);
  struct stat st;
  if (seekable_ && fstat(fd, &st) == 0) {
    if (st.st_size < kHeaderBytes) {
      std::fclose(file_);
      file_ = nullptr;
      unlink(path_.c_str());
      return;
    }
    // The buffer may have lost records the writes reported done, and the
    // last may be cut: the file's own size tells what is whole.
    const uint32_t whole = static_cast<uint32_t>(
        std::min<int64_t>(records_, (st.st_size - kHeaderBytes) / record_bytes(shades_)));
    if (ftruncate(fd, kHeaderBytes + off_t{whole} * record_bytes(shades_)) == 0) set_count(whole);
  }
  std::fclose(file_);
  file_ = nullptr;
}

// ---- reading ----

namespace {

VidxStatus from_header_status(HeaderStatus status) {
  switch (status) {
    case HeaderStatus::foreign:
      return VidxStatus::foreign;
    case HeaderStatus::bad_lengths:
      return VidxStatus::bad_lengths;
    case HeaderStatus::bad_fixed:
      return VidxStatus::bad_fixed;
    case HeaderStatus::ok:
      break;
  }
  return VidxStatus::ok;
}

}  // namespace

VidxFile::~VidxFile() { vidx_close(*this); }

VidxStatus vidx_open(VidxFile& video, const char* path) {
  vidx_close(video);
  video.header = {};
  video.fields = {};
  video.shades = Shades::two;
  video.records = video.leftover = 0;
  video.syserror = 0;
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
    status = from_header_status(parse_header(video.header, video.fields));
  }
  if (status == VidxStatus::ok) {
    video.shades = shades_for(video.fields.grey);
    const int64_t body = size - kHeaderBytes;
    const int64_t rec = record_bytes(video.shades);
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

void vidx_unpack(std::span<const uint8_t> record, Shades shades, GreyBuffer& frame) {
  // A display shows the first plane for about two thirds of the time and the
  // second for one third, so darkness = (2 * bit1 + bit2) / 3: both set is
  // black, the first alone dark grey, the second alone light grey.
  constexpr uint8_t kTwo[2] = {kWhite, kBlack};
  constexpr uint8_t kFour[4] = {kWhite, kLightGrey, kDarkGrey, kBlack};  // index 2 * bit1 + bit2
  const uint8_t* p1 = record.data();
  const uint8_t* p2 = shades == Shades::four ? p1 + kPlaneBytes : nullptr;
  for (int i = 0; i < kPixels; ++i) {
    const int byte = i / 8;
    const int shift = 7 - i % 8;  // leftmost pixel in bit 7
    const int b1 = p1[byte] >> shift & 1;
    frame[i] = p2 ? kFour[2 * b1 + (p2[byte] >> shift & 1)] : kTwo[b1];
  }
}

VidxStatus vidx_read_frame(VidxFile& video, int64_t index, GreyBuffer& frame) {
  const int rec = record_bytes(video.shades);
  if (!video.file || index < 0 || index >= video.records) return VidxStatus::read_error;
  std::array<uint8_t, 2 * kPlaneBytes> record;
  if (fseeko(video.file, kHeaderBytes + index * rec, SEEK_SET) != 0 ||
      std::fread(record.data(), 1, rec, video.file) != size_t(rec))
    return VidxStatus::read_error;
  vidx_unpack(std::span(record.data(), rec), video.shades, frame);
  return VidxStatus::ok;
}

void vidx_close(VidxFile& video) {
  if (video.file) std::fclose(video.file);
  video.file = nullptr;
}
