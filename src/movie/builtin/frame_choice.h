// Which picture each output frame shows, in a movie's own clock: output frame
// k shows the last picture whose timestamp is at or before t0 + start + k/10 s,
// t0 being the first picture's timestamp. Exact integer arithmetic with
// libav's rounding, so that every front end (the built-in engine, the browser
// page) picks the same pictures from the same timestamps.
#pragma once

#include <cstdint>
#include <limits>

// What a rescaling that does not fit in 64 bits gives, as libav's does.
constexpr int64_t kTimeOverflow = std::numeric_limits<int64_t>::min();

enum class Rounding { down, up };

// a * b / c rounded down or up, exact for any 64-bit a and b >= 0, c > 0;
// kTimeOverflow when the result does not fit (or b < 0, c <= 0).
int64_t rescale(int64_t a, int64_t b, int64_t c, Rounding rounding);

// A stream's tick: num / den seconds, both above 0.
struct TimeBase {
  int64_t num = 1;
  int64_t den = 1000;
};

// Timestamps beyond this many ticks either way are damage, not time; trims
// are held below kMaxTrimMs (about 35 years). Within these nothing overflows.
constexpr int64_t kMaxTicks = int64_t{1} << 52;
constexpr int64_t kMaxTrimMs = int64_t{1} << 40;

constexpr uint32_t kOutputRate = 10;                  // output frames per second
constexpr int64_t kMsPerFrame = 1000 / kOutputRate;   // 100

// Whether a timestamp or duration (in ticks) is one to compute with: within
// kMaxTicks of 0 (`unknown`, the container's mark for no time, is not).
constexpr bool sane_ticks(int64_t ticks, int64_t unknown) {
  return ticks != unknown && ticks > -kMaxTicks && ticks < kMaxTicks;
}

// The two roundings between output times and a stream's ticks. The last
// tick at or before `ms` milliseconds: a picture stamped at tick p is due at
// an output time when p is not after the exact time.
int64_t last_tick_at(int64_t ms, TimeBase tb);
// The first whole millisecond not before tick `ticks`: the earliest output
// time that can show a picture stamped there.
int64_t first_ms_from(int64_t ticks, TimeBase tb);

// The clip's clock: maps output positions 0, 1, 2, ... to the stream's ticks.
struct FrameClock {
  TimeBase time_base;
  int64_t t0 = 0;            // the first picture's timestamp
  int64_t start_ms = 0;      // the clip's start after t0, 0 .. kMaxTrimMs
  int64_t duration_ms = -1;  // its length, or -1 to the movie's end

  // The timestamp output frame `pos` shows, rounded down to the stream's
  // ticks: a picture at tick p is due when p <= the exact time.
  int64_t sample_time(int64_t pos) const;

  // Whether position `pos` lies inside the clip's length.
  bool in_clip(int64_t pos) const;

  // Whether some output frame shows the picture at `pts` that the one at
  // `next` follows: the first output time at or after pts comes before next.
  bool shown(int64_t pts, int64_t next) const;

  // Whether the clip starts at or after `end`, the tick the movie's last
  // picture ends at: there is nothing to convert.
  bool starts_past(int64_t end) const { return sample_time(0) >= end; }
};

// What every front end says of a clip that starts at or after the movie's
// end: the kind of failure, then why.
constexpr const char* kStartError = "Start error";
constexpr const char* kStartPastEnd = "the clip starts after the movie's end";

// The clock of the clip that starts `start_ms` after the first picture and
// lasts `duration_ms` (below 0: to the end), both held within kMaxTrimMs;
// its time base and t0 are the stream's, set once known.
FrameClock clip_clock(int64_t start_ms, int64_t duration_ms);

// The frames a clip is expected to give: `total_ms` of movie after its first
// picture (-1 when unknown), less the start, within the length (-1: to the
// end), a frame per started tenth of a second; at least 1 unless the clip is
// empty. Only an estimate: the pictures' own times decide where it ends.
int64_t estimated_frames(int64_t total_ms, int64_t start_ms, int64_t duration_ms);
