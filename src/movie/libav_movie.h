// What the movie stage's libav code shares, kept inside src/movie/: which
// video stream of a movie is the movie, how its picture is shown, and the
// memory limits every libav open goes through.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <atomic>
#include <cstdint>

#include "movie/frame_source.h"
#include "movie/limits.h"
#include "movie/sizing.h"

// The movie's best video stream; cover art (a single attached picture) is
// not a movie, even when it is the only video stream of the file. Null if
// there is none.
AVStream* pick_video_stream(AVFormatContext* fmt);

// How the stream's display matrix (if any) turns its picture.
Turn stream_turn(const AVStream* st);

// The stream's picture size as shown: its pixel shape and turn applied.
FrameSize stream_displayed_size(AVFormatContext* fmt, AVStream* st, const Turn& turn);

// zscale's name for an HDR transfer characteristic (PQ, HLG); null for any
// other, which is shown as SDR.
const char* hdr_transfer(AVColorTransferCharacteristic trc);

// --- The memory limits (limits.h), as libav applies them -----------------

// Sets libav's largest single allocation, once for the process (the first
// open_limited does it).
void limit_allocations();

// Opens `path` for reading within the limits: no single allocation over
// kMaxAllocation (set for the whole process on first use), probing within
// kProbeBytes and kProbeMicroseconds, and plain files only, so that a
// playlist in disguise cannot send libav to other files or to the network.
// A libav error code on failure.
int open_limited(AVFormatContext** fmt, const char* path);

// avformat_find_stream_info, decoding only the first video stream not known
// to be larger than kProbePixels, and refusing its pictures over
// `max_pixels` or kProbePixels (with their padding). A libav error code on failure.
int probe_limited(AVFormatContext* fmt, int64_t max_pixels);

// Decoded pictures alive at once for one decoder: counted as the decoder
// asks for them, and released when the last reference goes. Owned by the
// caller, it must outlive the decoder and every picture from it.
struct PictureBudget {
  int64_t limit = 0;      // set by limit_decoder
  bool predicted = true;  // pictures come with tables (picture_tables)
  std::atomic<int64_t> live{0};
  std::atomic<bool> exceeded{false};  // a picture was refused for want of room
};

// The largest picture `codec` is allowed to decode when the movie's limit is
// `max_pixels`: lower for a decoder whose pictures the budget cannot count.
int64_t decoder_max_pixels(const AVCodec* codec, int64_t max_pixels);

// What a decoder is allowed: the largest picture (further lowered by
// decoder_max_pixels), the bytes of pictures at once, and its threads (0: as
// many as the cores and the picture size allow, see decoding_threads).
struct DecoderLimits {
  int64_t max_pixels = kMaxPicturePixels;
  int64_t picture_budget = kPictureBudget;
  int threads = 0;
};

// Readies `dec` (allocated from `par`, not yet opened) within `limits`,
// counting its pictures in `budget`.
void limit_decoder(AVCodecContext* dec, const AVCodecParameters* par, const DecoderLimits& limits,
                   PictureBudget& budget);

// For a stream whose container does not tell its picture size, and whose
// pictures probing could not decode within kProbePixels: decodes its first
// picture within `limits` and fills in the stream's size, pixel format and
// (if not known) pixel shape. The demuxer is left past that picture. False
// if none decodes.
bool learn_picture_size(AVFormatContext* fmt, AVStream* st, const DecoderLimits& limits);
