// A stream's timestamps against the output's milliseconds: the two roundings
// by which the built-in engine chooses the picture each output frame shows.
// A tick lasts num / den seconds (1/90000 in MPEG streams, 1/30000 or
// 1001/30000 at 29.97 frames a second, 1/24, 1/25, 1/1000 in Matroska).
#pragma once

#include <cstdint>

struct TimeBase {
  int num = 1;
  int den = 1000;
};

// The last tick at or before `ms` milliseconds: a picture stamped at tick p
// is due at an output time when p is not after the exact time.
int64_t last_tick_at(int64_t ms, TimeBase tb);

// The first whole millisecond not before tick `ticks`: the earliest output
// time that can show a picture stamped there.
int64_t first_ms_from(int64_t ticks, TimeBase tb);
