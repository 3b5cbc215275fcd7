// The built-in engine: libavformat demuxes the user's movie, libavcodec
// decodes its video stream on every core, and a libavfilter graph turns each
// picture that is shown into a 96 x 64 BGR frame (scaled by area averaging,
// turned as the movie's display matrix asks, padded or cropped). Frames are
// chosen by presentation time: output frame k shows the last picture whose
// timestamp is at or before t0 + start + k / 10 s, where t0 is the first
// picture's timestamp. Pictures that no output frame shows and that no other
// picture refers to are never decoded. Here is the source the frame loop
// asks; engine.h says which file does each part of the work.
#include "movie/builtin/builtin.h"

#include <span>
#include <string>
#include <utility>

#include "movie/builtin/engine.h"

BuiltinSource::Engine::~Engine() {
  avfilter_graph_free(&graph);
  av_frame_free(&filtered);
  av_frame_free(&held);
  av_frame_free(&ahead);
  for (AVPacket*& p : queue) av_packet_free(&p);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
}

BuiltinSource::BuiltinSource(BuiltinRequest request) : request_(std::move(request)) {}

BuiltinSource::~BuiltinSource() = default;

const std::string& BuiltinSource::failure() const { return failure_; }

FrameSize BuiltinSource::size() const { return size_; }

FrameSize BuiltinSource::scaled() const { return scaled_; }

SourceTiming BuiltinSource::timing() const { return timing_; }

uint64_t BuiltinSource::decode_errors() const { return engine_ ? engine_->errors : 0; }

FrameStatus BuiltinSource::frame(uint32_t pos, std::span<const uint8_t>& dib) {
  dib = {};
  Engine* e = engine_.get();
  if (!e) return FrameStatus::failed;
  if (!e->clock.in_clip(pos)) return FrameStatus::ended;
  const int64_t t = e->clock.sample_time(pos);
  // Positions never go back; one that does asks for a picture already gone.
  if (e->latest_valid && t < e->latest_pts) return FrameStatus::failed;
  e->advance(t);
  if (!e->latest_valid) return FrameStatus::failed;
  // Past the last picture's end the movie is over, unless decoding stopped
  // short of it for want of memory.
  if (e->exhausted && !e->ahead_valid && t >= e->latest_end)
    return e->budget.exceeded ? FrameStatus::failed : FrameStatus::ended;
  if (!e->dib_valid && (!e->held_valid || !e->convert_held())) return FrameStatus::failed;
  dib = std::span<const uint8_t>(e->dibs[e->shown_dib]);
  return FrameStatus::ok;
}
