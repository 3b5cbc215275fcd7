// Little-endian numbers in byte buffers: the video file's header, the bitmap
// headers of the frames the reader hands over, and the movie fixtures tests
// patch. Callers check lengths; these only assemble and spread the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline uint16_t get_le16(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

inline uint32_t get_le32(std::span<const uint8_t> bytes, size_t at) {
  return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
         uint32_t{bytes[at + 3]} << 24;
}

inline void put_le16(std::span<uint8_t> bytes, size_t at, uint16_t v) {
  bytes[at] = static_cast<uint8_t>(v);
  bytes[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void put_le32(std::span<uint8_t> bytes, size_t at, uint32_t v) {
  put_le16(bytes, at, static_cast<uint16_t>(v));
  put_le16(bytes, at + 2, static_cast<uint16_t>(v >> 16));
}
