// The frame loop's timing: which source frame each output frame shows, how
// many frames the header announces, and how far along the loop is. Pure
// functions over the source's rate, start and length.
#pragma once

#include <cstdint>

// Source frames per output frame, 16.16, for a source of rate / scale frames
// per second (whole frames per second, as the cadence counts them); false
// when that is below one (the loop would never advance) or the step would
// not fit in 31 bits.
bool frame_skip(uint32_t rate, uint32_t scale, uint32_t& frameskip);

// The cadence between output frames: `curframe` is the next position to
// fetch, `skipcount` the fraction carried between steps (below 1.0).
struct Cadence {
  uint64_t curframe = 0;
  uint32_t skipcount = 0;
};

// Moves `cadence` on by one output frame of `frameskip`.
void step(Cadence& cadence, uint32_t frameskip);

// The header's frame count: the source's length in tenths of a second
// (length * 10 / whole frames per second), held at the 32-bit limit.
uint32_t header_frame_count(uint32_t length, uint32_t rate, uint32_t scale);

// The "Phase 2" percentage after fetching `curframe` of a source whose
// positions run from `start` for `length`: 0 to 99, 0 for no length.
int progress_percent(uint64_t curframe, uint32_t start, uint32_t length);

struct SourceTiming;

// Narrows `timing` to the clip that starts `start_ms` into the movie and
// lasts `duration_ms` (kNoDuration: to the end): the first position is the
// frame shown at the start, and the clip takes the positions that begin
// before its end. False, leaving `timing` alone, when the start skips every
// position there is.
bool clip_timing(SourceTiming& timing, int64_t start_ms, int64_t duration_ms);
