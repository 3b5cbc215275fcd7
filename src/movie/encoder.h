// The two mencoder runs that turn any movie into the temporary 96 x 64,
// 10 frames-per-second AVI, and the sizing rule between them.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

constexpr const char* kTempMovie = "movdithtemp.avi";

struct OutputSize {
  uint32_t outw = 0;
  uint32_t outh = 0;
};

// Fits a W x H picture into 96 x 64 keeping its shape (unsigned 32-bit
// arithmetic); false when either side would be 0.
bool output_size(uint32_t width, uint32_t height, OutputSize& size);

// Reads the percentage from one progress report of the encoder ("Pos:...");
// false if the piece is not one.
bool parse_progress(std::string_view piece, int& complete);

enum class EncoderStatus {
  Ok,
  SpawnFailed,  // mencoder could not be started (not on PATH, no pipe)
  Failed,       // it exited with a non-zero status
  Killed,       // it was ended by a signal
  // We were sent SIGINT, SIGTERM or SIGHUP while it ran: the signal was
  // passed on to it and it has ended. interrupting_signal() tells which.
  Interrupted,
};

// The signal that interrupted the last encoder run, 0 if none did.
int interrupting_signal();

// Deletes a stale temporary movie, then writes the movie's first frame to it
// with the encoder's standard output sent to the null device.
EncoderStatus probe_run(const char* moviepath);

// Transcodes the movie to outw x outh padded to 96 x 64 at 10 frames per
// second, calling `progress` with each percentage the encoder reports.
EncoderStatus transcode_run(const char* moviepath, OutputSize size,
                            const std::function<void(int)>& progress);
