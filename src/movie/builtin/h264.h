// What the movie stage reads of H.264 itself, without a decoder: whether a
// packet's picture is one no other picture refers to (so a picture nobody
// shows need not be decoded), and the colour and pixel shape the stream's
// sequence parameter set declares.
#pragma once

#include <cstdint>
#include <span>

// Whether an H.264 packet holds one picture that no other refers to and
// nothing else that matters: `length_size` bytes before each unit (MP4,
// Matroska), or 0 for start codes (transport streams). Anything unexpected
// answers no.
bool unreferenced_h264(std::span<const uint8_t> packet, int length_size);

// The bytes of each unit's length in MP4's avcC configuration (1 to 4), or
// 0 when the configuration is not avcC (start codes then).
int avcc_length_size(std::span<const uint8_t> avcc);

// What a sequence parameter set's video usability information says; the
// values are H.264's codes, with 2 ("unspecified") where it is silent.
struct H264Signal {
  int matrix = 2;           // matrix_coefficients: 0 RGB, 1 BT.709, 5 and 6 BT.601, 9 BT.2020
  bool full_range = false;  // video_full_range_flag
  uint32_t sar_num = 0;     // the pixel shape, 0 : 0 when not given
  uint32_t sar_den = 0;
};

// Reads the first sequence parameter set of an avcC configuration; false
// when there is none or it cannot be read to the end of what is needed.
bool read_h264_signal(std::span<const uint8_t> avcc, H264Signal& signal);
