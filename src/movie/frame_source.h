// Where the frame loop gets its pictures. The loop asks a source for its
// timing once and then for the frame at each position it steps to; it never
// knows whether the frames come from the encoder's temporary movie or are
// decoded straight from the user's movie.
#pragma once

#include <cstdint>
#include <span>

// The picture size of a movie, as it is shown (after rotation and pixel
// shape, where the source knows of them).
struct FrameSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Positions and their pace: position p shows the movie at
// (p - start) * scale / rate seconds.
struct SourceTiming {
  uint32_t rate = 0;    // frames per second = rate / scale
  uint32_t scale = 0;
  uint32_t start = 0;   // first position
  uint32_t length = 0;  // positions from start on
  // False when length is only an estimate: the loop then goes on until the
  // source says it has ended, and the file counts the records it got.
  bool exact_length = true;
};

// What opening a source found; each failure names the step that failed.
enum class SourceStatus {
  ok,
  open_failed,         // the file is missing or not a movie
  info_failed,         // its picture size cannot be read
  stream_failed,       // it has no video stream
  stream_info_failed,  // the stream's timing cannot be read
  getter_failed,       // no decoder for the stream
  too_large,           // the picture is larger than the decoder is allowed to allocate
  no_frames,           // the video stream holds no picture that decodes
  start_past_end,      // the clip is asked to start at or after the end of the movie's last frame
  cannot_fit,          // the picture is too thin to keep a row (or column) at 96 x 64
};

enum class FrameStatus {
  ok,      // the frame is handed over
  ended,   // the movie has no frame at or after this position: a normal end
  failed,  // the frame should exist but cannot be had
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // Opens the movie and readies its first video stream for decoding.
  virtual SourceStatus open() = 0;
  // The picture size, the timing; valid after a successful open.
  virtual FrameSize size() const = 0;
  virtual SourceTiming timing() const = 0;
  // The frame at `pos` (from start on, never decreasing) as a packed 24-bit
  // bottom-up DIB that `sample` reads, valid until the next call.
  virtual FrameStatus frame(uint32_t pos, std::span<const uint8_t>& dib) = 0;
};
