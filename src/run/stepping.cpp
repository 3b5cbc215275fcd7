// The frame loop's timing (see stepping.h). Everything is integer, and wide
// enough that no length or position can wrap.
#include "run/stepping.h"

#include <algorithm>
#include <climits>

#include "raster.h"
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
