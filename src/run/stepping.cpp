// The frame loop's timing (see stepping.h). Everything is integer, and wide
// enough that no length or position can wrap.
#include "run/stepping.h"

#include <algorithm>
#include <climits>

#include "movie/frame_source.h"
#include "raster.h"
#include "settings/settings.h"
#include "videofile/videofile.h"

namespace {

uint32_t whole_fps(uint32_t rate, uint32_t scale) { return scale ? rate / scale : 0; }

}  // namespace

bool frame_skip(uint32_t rate, uint32_t scale, uint32_t& frameskip) {
  const uint64_t fps = whole_fps(rate, scale);
  const uint64_t skip = fps * kFixedOne / kFramesPerSecond;
  if (fps == 0 || skip > INT32_MAX) return false;
  frameskip = static_cast<uint32_t>(skip);
  return true;
}

void step(Cadence& cadence, uint32_t frameskip) {
  cadence.skipcount += frameskip;
  cadence.curframe += cadence.skipcount >> kFixedShift;
  cadence.skipcount &= kFixedOne - 1;
}

uint32_t header_frame_count(uint32_t length, uint32_t rate, uint32_t scale) {
  const uint32_t fps = whole_fps(rate, scale);
  if (fps == 0) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{length} * kFramesPerSecond / fps, UINT32_MAX));
}

int progress_percent(uint64_t curframe, uint32_t start, uint32_t length) {
  if (length == 0 || curframe < start) return 0;
  // Below 100 while frames are still coming, even past an estimated length:
  // the closing 100 per cent line says the loop is done.
  return static_cast<int>(std::min<uint64_t>(uint64_t{100} * (curframe - start) / length, 99));
}

bool clip_timing(SourceTiming& t, int64_t start_ms, int64_t duration_ms) {
  if (t.scale == 0 || t.rate == 0) return start_ms == 0 && duration_ms == kNoDuration;
  // Positions per millisecond are rate / (scale * 1000); 128-bit products
  // keep any 32-bit rate and any time the settings allow exact.
  const __int128 per = __int128{t.scale} * 1000;
  const __int128 skip = __int128{start_ms} * t.rate / per;
  if (skip > 0 && skip >= t.length) return false;
  int64_t length = static_cast<int64_t>(t.length - skip);
  if (duration_ms != kNoDuration) {
    const __int128 wanted = (__int128{duration_ms} * t.rate + per - 1) / per;
    if (wanted < length) length = static_cast<int64_t>(wanted);
  }
  t.start += static_cast<uint32_t>(skip);
  t.length = static_cast<uint32_t>(length);
  return true;
}
