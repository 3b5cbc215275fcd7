// How much memory a movie may make movdith use. A movie file states sizes
// and counts of its own (picture sizes, index and header lengths, numbers of
// streams and of reference pictures); libav's readers would allocate what
// those numbers ask for, so a file of a few kilobytes could ask for
// gigabytes. Every libav open in movdith (the built-in engine, the reader of
// the temporary movie, the look at the movie before mencoder runs) goes
// through the limits here, which keep a run's peak resident memory under
// kMemoryCeiling whatever the file says. docs/hardening.md has the figures
// the numbers come from.
#pragma once

#include <cstdint>

#include "movie/sizing.h"

constexpr int64_t kMiB = int64_t{1} << 20;

// A run's peak resident memory, whatever the file.
constexpr int64_t kMemoryCeiling = 256 * kMiB;

// The mencoder process's data segment (RLIMIT_DATA, set in the child before
// it runs mencoder): its own demuxer allocates what a file's header claims,
// out of reach of the limits here. The address-space limit would count its
// shared libraries and thread stacks as well (190 MiB before its first
// picture), the data limit only what it allocates. The limit follows the
// picture the container claims (read before mencoder runs), as mencoder's
// decoder needs memory in proportion to it; a movie of unknown size, or of
// up to 4096 x 3072, gets kEncoderDataLimit.
constexpr int64_t kEncoderDataLimit = 256 * kMiB;

// mencoder's measured peaks on legitimate movies: 82 MiB at 1920 x 1080 H.264,
// 173 MiB at 3840 x 2160 HEVC, 470 MiB at 7680 x 4320 H.264 with 4 reference
// pictures (which needs a limit between 448 and 480 MiB): about 56 MiB and
// 13 bytes a pixel. These are those, with a fifth more for a margin.
constexpr int64_t kEncoderBaseBytes = 64 * kMiB;
constexpr int64_t kEncoderBytesPerPixel = 16;

// The mencoder child's data limit for a movie whose container claims
// width x height (either not above 0 when it says nothing). The pixels are
// held to the largest picture allowed, so a hostile header claiming more gets
// no more than that picture's limit.
constexpr int64_t encoder_data_limit(int64_t width, int64_t height) {
  if (width <= 0 || height <= 0) return kEncoderDataLimit;
  const int64_t pixels = width > kMaxPicturePixels || height > kMaxPicturePixels || width * height > kMaxPicturePixels
                             ? kMaxPicturePixels
                             : width * height;
  const int64_t limit = kEncoderBaseBytes + kEncoderBytesPerPixel * pixels;
  return limit > kEncoderDataLimit ? limit : kEncoderDataLimit;
}

// The largest single allocation libav may make (av_max_alloc): a picture
// of the largest size allowed at four bytes a pixel, the deepest common
// packed format, with its padding.
constexpr int64_t kMaxAllocation = 168 * kMiB;

// Decoded pictures a decoder may hold at once, with the tables it keeps for
// them (picture_tables, decoder_tables): its reference pictures, those in
// flight on its threads, and the one the built-in engine keeps. What is left of the ceiling is the program itself
// (its libraries: 54 MiB resident before the first picture), the packets
// read ahead and the scaler. A stream that needs more stops with a message.
constexpr int64_t kPictureBudget = 192 * kMiB;

// Pictures in flight on the decoding threads: each thread decodes a picture
// of its own, so larger pictures get fewer threads, the largest only one.
constexpr int64_t kThreadedPictures = 48 * kMiB;
constexpr int kMaxDecodingThreads = 16;

// Bytes of packets the built-in engine reads ahead of its decoder (at least
// one packet, however large).
constexpr int64_t kReadAheadBytes = 8 * kMiB;

// Probing, before the first picture: bytes and time of the movie read to
// learn its streams (libav's own defaults, stated).
constexpr int64_t kProbeBytes = 5'000'000;
constexpr int64_t kProbeMicroseconds = 5'000'000;

// Probing decodes up to 20 pictures of a stream to learn what its container
// does not say, with a decoder the budget cannot reach: it decodes one video
// stream only, and pictures of up to this size (16 references and the
// picture decoded, at 10 bits, fit the budget). Larger pictures are learnt
// by the engine's own decoder.
constexpr int64_t kProbePixels = int64_t{2048} * 1536;

// A decoder that allocates its pictures itself (libdav1d, for AV1) is out
// of the budget's sight; its pictures are held to this size, whose full set
// of references fits (measured: 250 MiB at the peak of a 10-bit 3840 x 2160
// AV1 movie on one thread).
constexpr int64_t kUncountedMaxPixels = int64_t{3840} * 2160;

// What a decoder that predicts pictures from others keeps beside them: for
// each picture its motion vectors and reference indices, and once, for the
// size of its pictures, rows of loop-filter state and per-block maps. Up to
// three quarters of a byte and a byte a pixel in the decoders measured
// (HEVC the most); decoders of pictures that stand alone keep neither.
constexpr int64_t picture_tables(int64_t pixels) { return pixels * 3 / 4; }
constexpr int64_t decoder_tables(int64_t pixels) { return pixels; }

// Decoding threads for pictures charged `charge` each on a machine with
// `cores` cores: one per core and one more, as libav would choose, but no
// more than kThreadedPictures holds; at least one.
constexpr int decoding_threads(int64_t charge, int cores) {
  int64_t threads = cores > 1 ? int64_t{cores} + 1 : 1;
  if (threads > kMaxDecodingThreads) threads = kMaxDecodingThreads;
  if (charge > 0 && threads * charge > kThreadedPictures) threads = kThreadedPictures / charge;
  return threads < 1 ? 1 : static_cast<int>(threads);
}
