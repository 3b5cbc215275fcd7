// The movie reader: the few AVI file operations the run needs, over
// libavformat/libavcodec/libswscale. Frames come out as packed 24-bit
// bottom-up DIBs, the layout `sample` reads. No libav type leaks out of here.
//
// The operations keep the names, order and results of the Windows AVIFile
// calls the converter was first written against (open, file info, stream,
// stream info, frame getter, frame at a position). Its error lines name those
// steps, and its cadence counts positions the way AVIFile does, so keeping
// the shape keeps every message and every fetched frame as they were.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "movie/sizing.h"

struct AviFile;      // an open movie file; owns its streams
struct AviStream;    // a video stream of an AviFile
struct AviGetFrame;  // a decoder for one stream

struct AVIFILEINFO {
  uint32_t dwWidth = 0;   // picture size of the first video stream
  uint32_t dwHeight = 0;
};

struct AVISTREAMINFO {
  uint32_t dwScale = 0;   // frame rate = dwRate / dwScale
  uint32_t dwRate = 0;
  uint32_t dwStart = 0;   // first frame position
  uint32_t dwLength = 0;  // length in frames
};

// Library set-up and tear-down, once each per run.
void AVIFileInit();
void AVIFileExit();

// Opens the movie at `path` for reading; 0 and *file set on success.
int AVIFileOpenA(AviFile** file, const char* path);

// Reads the picture size; 0 on success.
int AVIFileInfoA(AviFile* file, AVIFILEINFO* info);

// Finds the first video stream; 0 and *stream set on success.
int AVIFileGetStream(AviFile* file, AviStream** stream);

// Reads the stream's timing; 0 on success.
int AVIStreamInfoA(AviStream* stream, AVISTREAMINFO* info);

// Opens a decoder for the stream, refusing pictures of more than
// `max_pixels` (at most the program's limit); nullptr on failure.
AviGetFrame* AVIStreamGetFrameOpen(AviStream* stream, int64_t max_pixels = kMaxPicturePixels);

// The frame at `pos` as a packed DIB, valid until the next call on this
// getter; empty past the end or when the frame cannot be decoded.
std::span<const uint8_t> AVIStreamGetFrame(AviGetFrame* getter, int32_t pos);

// Releases the getter (before its file), then the file with its streams.
// Both accept nullptr.
void AVIStreamGetFrameClose(AviGetFrame* getter);
void AVIFileRelease(AviFile* file);

// Holders that release a file or a getter when they go away.
struct AviFileRelease {
  void operator()(AviFile* file) const { AVIFileRelease(file); }
};
struct AviGetFrameClose {
  void operator()(AviGetFrame* getter) const { AVIStreamGetFrameClose(getter); }
};
using AviFileHandle = std::unique_ptr<AviFile, AviFileRelease>;
using AviGetFrameHandle = std::unique_ptr<AviGetFrame, AviGetFrameClose>;
