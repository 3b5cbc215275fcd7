// The output frames' clock (see frame_choice.h).
#include "movie/builtin/frame_choice.h"

#include <algorithm>

namespace {

constexpr int64_t kMsPerSecond = 1000;

// a / b rounded up, for a >= 0 and b > 0.
int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; }

}  // namespace

int64_t rescale(int64_t a, int64_t b, int64_t c, Rounding rounding) {
  if (c <= 0 || b < 0) return kTimeOverflow;
  const __int128 n = static_cast<__int128>(a) * b;
  __int128 q = n / c;  // rounds towards zero
  if (n % c != 0) {
    if (rounding == Rounding::down && n < 0) --q;
    if (rounding == Rounding::up && n > 0) ++q;
  }
  // libav answers a result past either end with its overflow mark.
  if (q > std::numeric_limits<int64_t>::max() || q < -std::numeric_limits<int64_t>::max()) return kTimeOverflow;
  return static_cast<int64_t>(q);
}

int64_t last_tick_at(int64_t ms, TimeBase tb) { return rescale(ms, tb.den, tb.num * kMsPerSecond, Rounding::down); }

int64_t first_ms_from(int64_t ticks, TimeBase tb) {
  return rescale(ticks, tb.num * kMsPerSecond, tb.den, Rounding::up);
}

int64_t FrameClock::sample_time(int64_t pos) const { return t0 + last_tick_at(start_ms + pos * kMsPerFrame, time_base); }

bool FrameClock::in_clip(int64_t pos) const { return duration_ms < 0 || pos * kMsPerFrame < duration_ms; }

bool FrameClock::shown(int64_t pts, int64_t next) const {
  // Rounded up: the first whole millisecond not before pts. An overflow or a
  // huge time lies past every position anyway.
  int64_t ms = first_ms_from(pts - t0, time_base);
  ms = std::clamp(ms, -kMaxTrimMs, 4 * kMaxTrimMs) - start_ms;
  const int64_t pos = ms <= 0 ? 0 : ceil_div(ms, kMsPerFrame);
  return pos <= std::numeric_limits<uint32_t>::max() && in_clip(pos) && sample_time(pos) < next;
}

FrameClock clip_clock(int64_t start_ms, int64_t duration_ms) {
  FrameClock clock;
  clock.start_ms = std::clamp<int64_t>(start_ms, 0, kMaxTrimMs);
  clock.duration_ms = duration_ms < 0 ? -1 : std::min(duration_ms, kMaxTrimMs);
  return clock;
}

int64_t estimated_frames(int64_t total_ms, int64_t start_ms, int64_t duration_ms) {
  total_ms = std::clamp<int64_t>(total_ms, -1, kMaxTrimMs);
  int64_t clip_ms = std::max<int64_t>(total_ms - start_ms, 0);
  if (duration_ms >= 0) clip_ms = total_ms < 0 ? duration_ms : std::min(clip_ms, duration_ms);
  int64_t frames = ceil_div(clip_ms, kMsPerFrame);
  // The first frame is there (opening found it), unless the clip is empty.
  if (duration_ms != 0) frames = std::max<int64_t>(frames, 1);
  return std::min<int64_t>(frames, std::numeric_limits<uint32_t>::max());
}
