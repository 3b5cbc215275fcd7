// The per-frame pipeline as one call (see pipeline.h).
#include "frame/pipeline.h"

PipelineOptions pipeline_options(const ConversionSettings& s) {
  PipelineOptions o{shades_for(s.grey), s.reduction, s.matrix,
                    DitherOptions{s.dither, s.serpentine, s.stable, stable_tuning(s.dither)}};
  o.auto_levels = s.auto_levels;
  o.adjust = s.brightness != 0 || s.contrast != 0;
  if (o.adjust) o.adjustment = brightness_contrast_curve(s.brightness, s.contrast);
  o.sharpen = s.sharpen;
  o.light = s.gamma != kNoGamma;
  if (o.light) o.to_light = light_curve(s.gamma);
  return o;
}

bool process_frame(std::span<const uint8_t> dib, const PipelineOptions& o, FrameState& st) {
  if (!sample(dib, st.graybuf)) return false;
  if (o.auto_levels) auto_levels(st.graybuf, st.levels);
  if (o.adjust) apply_curve(st.graybuf, o.adjustment);
  if (o.sharpen > 0) sharpen(st.graybuf, o.sharpen);
  reduce(st.graybuf, o.reduction);
  if (o.light) apply_curve(st.graybuf, o.to_light);
  dither_frame(st.graybuf, o.shades, o.matrix, o.dither, st.history, st.ditherbuf);
  pack(st.ditherbuf, o.shades, st.final, st.final2);
  return true;
}
