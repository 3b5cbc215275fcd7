// The per-frame pipeline as one call (see pipeline.h).
#include "frame/pipeline.h"

PipelineOptions pipeline_options(const ConversionSettings& s) {
  return {shades_for(s.grey), s.reduction, s.matrix, DitherOptions{s.dither, s.serpentine, s.stable, {}}};
}

bool process_frame(std::span<const uint8_t> dib, const PipelineOptions& o, FrameState& st) {
  if (!sample(dib, st.graybuf)) return false;
  reduce(st.graybuf, o.reduction);
  dither_frame(st.graybuf, o.shades, o.matrix, o.dither, st.history, st.ditherbuf);
  pack(st.ditherbuf, o.shades, st.final, st.final2);
  return true;
}
