// The fuzzed entry points: plain functions over a byte string, called by the
// libFuzzer targets and by the regression test that replays saved inputs.
// Each one may only return; anything the sanitizers see, or a broken
// invariant (which aborts), is a finding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "videofile/videofile.h"

// The bytes, split at NUL bytes, are the arguments after "movdith"; true if
// parse_settings accepted them.
bool fuzz_settings(const uint8_t* data, size_t size);

// What the movie reader made of a file.
struct ReaderOutcome {
  bool opened = false;  // open, info, stream, stream info and getter all succeeded
  int frames = 0;       // positions that gave a frame `sample` could read
  int refused = 0;      // positions that gave a frame `sample` refused
  bool operator==(const ReaderOutcome&) const = default;
};

// The bytes as a movie file through every reader call the run makes, over a
// bounded set of positions, each frame through `sample`.
ReaderOutcome fuzz_reader(const uint8_t* data, size_t size);

// What the built-in engine made of a movie.
struct BuiltinOutcome {
  bool opened = false;  // open() succeeded
  int frames = 0;       // frames handed over (each one `sample` reads)
  bool ended = false;   // the frames stopped at the movie's end, not at a failure
  bool operator==(const BuiltinOutcome&) const = default;
};

// The bytes as a movie through the built-in engine: opened as a run opens
// it (a clip and a fit chosen from the first bytes), then a bounded number
// of frames, each through `sample`.
BuiltinOutcome fuzz_builtin(const uint8_t* data, size_t size);

// The bytes as a video file for the preview: opened, checked and every record
// read. Returns what vidx_open said.
VidxStatus fuzz_vidx(const uint8_t* data, size_t size);
