// The two mencoder runs that turn any movie into the temporary 96 x 64,
// 10 frames-per-second AVI the run then reads.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "movie/limits.h"
#include "movie/sizing.h"

constexpr const char* kTempMovie = "movdithtemp.avi";

// What the transcoding run makes of the movie. The defaults are the design's
// run: the whole movie, scaled and padded.
struct TranscodeRequest {
  OutputSize size;                  // scaled to this size, then
  bool crop = false;                // cropped to the display where it overflows, centred; else padded
  int64_t end_ms = kNoDuration;     // stop at this time of the movie, or at its end
  bool lavf = false;                // the movie read through libavformat (for MPEG-TS)
  Turn turn{};                      // shown upright first, as its display matrix asks
  int64_t data_limit = kEncoderDataLimit;  // the encoder's data segment (encoder_data_limit)
};

// The options each run gives mencoder, before "--" and the movie path.
std::vector<std::string> probe_arguments(bool lavf = false);
std::vector<std::string> transcode_arguments(const TranscodeRequest& request);

// Reads the percentage from one progress report of the encoder ("Pos:...");
// false if the piece is not one.
bool parse_progress(std::string_view piece, int& complete);

enum class EncoderStatus {
  Ok,
  NotFound,     // there is no mencoder on PATH
  SpawnFailed,  // it could not be started (not executable, no process or pipe left)
  Failed,       // it exited with a non-zero status
  Killed,       // it was ended by a signal; `signal` tells which
  // We were sent a stop signal while it ran: the signal was passed on to it
  // and it has ended; `signal` tells which.
  Interrupted,
};

// Deletes a stale temporary movie, then writes the movie's first frame to it
// with the encoder's standard output sent to the null device and its data
// segment held to `data_limit` bytes. `signal` is 0 unless the run ended
// Killed or Interrupted.
EncoderStatus probe_run(const char* moviepath, bool lavf, int64_t data_limit, int& signal);

// Transcodes the movie (or the clip asked for) to 96 x 64 at 10 frames per
// second, calling `progress` with each percentage the encoder reports.
EncoderStatus transcode_run(const char* moviepath, const TranscodeRequest& request,
                            const std::function<void(int)>& progress, int& signal);
