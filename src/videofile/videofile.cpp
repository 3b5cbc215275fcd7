// The video file writer: the header and the packed frame records, in binary
// mode since the header holds 0x0A and 0x00 bytes.
#include "videofile/videofile.h"

namespace {

void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

bool write_all(std::FILE* f, const uint8_t* data, size_t n) {
  return f && std::fwrite(data, 1, n, f) == n;
}

}  // namespace

Header make_header(int32_t grey, uint32_t framecount) {
  Header h = {
      '*', '*', 'V', 'I', 'D', 'X', '*', '*',
      kHeaderBytes - 10, 0,  // bytes of header after this length field
      0x01, 0x0A, 0x00,
      0,  // grey count, set below
      0x0A,
      0, 0, 0, 0,  // frame count, set below
      0, 0, 0, 0,  // offset of the first record, set below
  };
  // Readers only ask whether the byte is 0. Its low 8 bits alone would turn
  // 256 "-g" options into 0, a monochrome header over grey records.
  h[13] = static_cast<uint8_t>(grey > 255 ? 255 : grey);
  put_le32(&h[15], framecount);
  put_le32(&h[19], kHeaderBytes);
  return h;
}

bool videofile_open(VideoFile& out, const char* path) {
  out.file = std::fopen(path, "wb");
  return out.file != nullptr;
}

bool videofile_write_header(VideoFile& out, int32_t grey, uint32_t framecount) {
  Header h = make_header(grey, framecount);
  return write_all(out.file, h.data(), h.size());
}

bool videofile_write_record(VideoFile& out, const Plane& final, const Plane& final2, int32_t grey) {
  if (!write_all(out.file, final.data(), final.size())) return false;
  return !grey || write_all(out.file, final2.data(), final2.size());
}

bool videofile_close(VideoFile& out) {
  if (!out.file) return true;
  // The error flag catches a write that failed earlier even if its result was
  // ignored and the buffer has since drained.
  bool ok = !std::ferror(out.file);
  ok = std::fflush(out.file) == 0 && ok;
  ok = std::fclose(out.file) == 0 && ok;
  out.file = nullptr;
  return ok;
}
