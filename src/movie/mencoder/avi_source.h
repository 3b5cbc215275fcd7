// The encoder's temporary movie as a frame source: the reader's calls in the
// order the run has always made them, each failure named by its step.
#pragma once

#include <string>

#include "movie/frame_source.h"
#include "movie/mencoder/reader.h"

class AviSource : public FrameSource {
 public:
  explicit AviSource(std::string path);
  ~AviSource() override;

  // Open, file info, first video stream, stream info, frame getter.
  SourceStatus open() override;
  FrameSize size() const override { return size_; }
  SourceTiming timing() const override { return timing_; }
  // Fetches the frame at `pos`; anything but a frame is `failed`, since the
  // encoder's movie holds every position its length counts.
  FrameStatus frame(uint32_t pos, std::span<const uint8_t>& dib) override;

 private:
  std::string path_;
  bool started_ = false;  // AVIFileInit was called
  AviFileHandle file_;
  AviGetFrameHandle getter_;  // declared after the file: released first
  FrameSize size_;
  SourceTiming timing_;
};

// Opens the movie at `path` only to read its picture size (the probe file);
// open_failed or info_failed otherwise.
SourceStatus read_movie_size(const char* path, FrameSize& size);
