// The frame bitmap the pipeline reads: a packed device-independent bitmap,
// a 40-byte BITMAPINFOHEADER, then 24-bit blue-green-red pixels in rows
// stored bottom-up, each padded to a multiple of four bytes. Movie input
// writes it, `sample` reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "util/bytes.h"

constexpr size_t kDibHeaderBytes = 40;
constexpr size_t kDibSizeField = 0;     // biSize: header length, where the colour table starts
constexpr size_t kDibWidthField = 4;    // biWidth
constexpr size_t kDibHeightField = 8;   // biHeight, positive for bottom-up rows
constexpr size_t kDibPlanesField = 12;  // biPlanes, 16-bit
constexpr size_t kDibBitsField = 14;    // biBitCount, 16-bit
constexpr size_t kDibImageField = 20;   // biSizeImage
constexpr size_t kDibClrUsedField = 32; // biClrUsed: 4-byte colour-table entries after the header
constexpr int kDibBytesPerPixel = 3;

// Bytes from one stored row to the next for a `width`-pixel picture.
constexpr size_t dib_stride(size_t width) { return (kDibBytesPerPixel * width + 3) & ~size_t{3}; }

// Whole bitmap size, header included, for width x height pixels.
constexpr size_t dib_bytes(size_t width, size_t height) { return kDibHeaderBytes + dib_stride(width) * height; }

// Writes the header of an uncompressed 24-bit bottom-up bitmap into the
// first kDibHeaderBytes of `dib`; the other fields are zero.
inline void put_dib_header(std::span<uint8_t> dib, uint32_t width, uint32_t height) {
  for (size_t i = 0; i < kDibHeaderBytes; ++i) dib[i] = 0;
  put_le32(dib, kDibSizeField, kDibHeaderBytes);
  put_le32(dib, kDibWidthField, width);
  put_le32(dib, kDibHeightField, height);
  put_le16(dib, kDibPlanesField, 1);
  put_le16(dib, kDibBitsField, 8 * kDibBytesPerPixel);
  put_le32(dib, kDibImageField, static_cast<uint32_t>(dib_stride(width) * height));
}
