// Rounding between a stream's ticks and milliseconds (see stream_time.h).
#include "movie/stream_time.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace {
constexpr AVRational kMs = {1, 1000};
}

// libav's rescaling computes the product exactly; a result too large for
// 64 bits comes back as INT64_MIN.
int64_t last_tick_at(int64_t ms, TimeBase tb) {
  return av_rescale_q_rnd(ms, kMs, AVRational{tb.num, tb.den}, AV_ROUND_DOWN);
}

int64_t first_ms_from(int64_t ticks, TimeBase tb) {
  return av_rescale_q_rnd(ticks, AVRational{tb.num, tb.den}, kMs, AV_ROUND_UP);
}
