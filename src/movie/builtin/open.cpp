// Opening a movie for the built-in engine: the file within the memory
// limits, its video stream, a picture size only its first picture tells, the
// decoder with its limits and threads, the first picture (whose time anchors
// every output frame's), the seek to the clip's start, and the clip's length
// as far as the container tells it.
#include "movie/builtin/engine.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "movie/builtin/h264.h"
#include "movie/limits.h"

namespace {

// Why opening failed, with libav's reason when there is one.
std::string failure_text(const char* what, int err) {
  char reason[AV_ERROR_MAX_STRING_SIZE] = "";
  if (err < 0) av_strerror(err, reason, sizeof reason);
  return std::string(what) + (err < 0 ? ": " : "") + reason;
}

// A count of pixels in millions, as a message gives it: "40", "8.3".
std::string millions(int64_t pixels) {
  char text[32];
  std::snprintf(text, sizeof text, pixels % 1'000'000 ? "%.1f" : "%.0f", static_cast<double>(pixels) / 1e6);
  return text;
}

}  // namespace

SourceStatus BuiltinSource::open_stream(Engine& e) {
  int r = open_limited(&e.fmt, request_.path.c_str());
  if (r < 0) {
    failure_ = failure_text("cannot open the movie", r);
    return SourceStatus::open_failed;
  }
  r = probe_limited(e.fmt, e.max_pixels);
  if (r < 0 && e.fmt->nb_streams == 0) {
    failure_ = failure_text("not a movie", r);
    return SourceStatus::open_failed;
  }
  e.st = pick_video_stream(e.fmt);
  if (!e.st) {
    failure_ = failure_text("the file has no video", 0);
    return SourceStatus::stream_failed;
  }
  return SourceStatus::ok;
}

SourceStatus BuiltinSource::open() {
  engine_.reset();
  failure_.clear();
  size_ = scaled_ = FrameSize{};
  timing_ = SourceTiming{};
  // libav reports a damaged stream once per slice, many lines a picture; the
  // engine writes one line per kind of trouble instead.
  av_log_set_level(AV_LOG_QUIET);

  auto e = std::make_unique<Engine>();
  e->fit = request_.fit;
  e->exact = request_.exact;
  e->clock = clip_clock(request_.start_ms, request_.duration_ms);
  if (request_.max_pixels > 0) e->max_pixels = std::min(request_.max_pixels, kMaxPicturePixels);
  for (Engine::Dib& d : e->dibs) put_dib_header(d, kWidth, kHeight);

  const int64_t picture_budget = request_.picture_budget > 0 ? request_.picture_budget : kPictureBudget;
  if (const SourceStatus status = open_stream(*e); status != SourceStatus::ok) return status;
  AVStream* st = e->st;
  AVCodecParameters* par = st->codecpar;
  if (par->width <= 0 || par->height <= 0) {
    // A picture file, say, whose size only its picture tells, and too large
    // for probing to decode: its first picture is decoded within the
    // engine's limits, and the movie opened again from its start.
    AVCodecParameters learnt{};
    const bool learned = learn_picture_size(e->fmt, st, {e->max_pixels, picture_budget, 1}) &&
                         avcodec_parameters_copy(&learnt, par) >= 0;
    avformat_close_input(&e->fmt);
    SourceStatus status = learned ? open_stream(*e) : SourceStatus::info_failed;
    if (status == SourceStatus::ok) {
      st = e->st;
      par = st->codecpar;
      par->width = learnt.width;
      par->height = learnt.height;
      par->format = learnt.format;
      if (par->sample_aspect_ratio.num <= 0) par->sample_aspect_ratio = learnt.sample_aspect_ratio;
    }
    av_freep(&learnt.extradata);
    if (status == SourceStatus::info_failed || (status == SourceStatus::ok && (par->width <= 0 || par->height <= 0))) {
      failure_ = failure_text("the picture size cannot be read", 0);
      return SourceStatus::info_failed;
    }
    if (status != SourceStatus::ok) return status;
  }
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  // Some decoders' pictures are held to a smaller size (see limits.h).
  const int64_t movie_limit = e->max_pixels;
  if (codec) e->max_pixels = decoder_max_pixels(codec, movie_limit);
  if (picture_too_large(par->width, par->height, e->max_pixels)) {
    const std::string which = e->max_pixels < movie_limit ? std::string(" for ") + avcodec_get_name(codec->id) : "";
    failure_ = "the picture, " + std::to_string(par->width) + " x " + std::to_string(par->height) +
               ", is larger than allowed (" + std::to_string(kMaxPictureSide) + " pixels a side, " +
               millions(e->max_pixels) + " million in all" + which + ")";
    return SourceStatus::too_large;
  }
  if (st->time_base.num <= 0 || st->time_base.den <= 0) {
    failure_ = failure_text("the stream's time base cannot be read", 0);
    return SourceStatus::stream_info_failed;
  }

  e->turn = stream_turn(st);
  size_ = stream_displayed_size(e->fmt, st, e->turn);
  OutputSize scaled;
  if (!fit_size(size_.width, size_.height, request_.fit, scaled)) {
    failure_ = failure_text("the picture cannot be fitted to 96 x 64", 0);
    return SourceStatus::cannot_fit;
  }
  scaled_ = e->out = FrameSize{scaled.outw, scaled.outh};

  bool ok = codec && (e->dec = avcodec_alloc_context3(codec)) && avcodec_parameters_to_context(e->dec, par) >= 0;
  if (ok) {
    e->dec->pkt_timebase = st->time_base;
    const DecoderLimits limits{.max_pixels = e->max_pixels, .picture_budget = picture_budget,
                               .threads = std::max(request_.threads, 0)};
    limit_decoder(e->dec, par, limits, e->budget);
    e->dec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    // The deblocking filter is never skipped: without it the pictures of a
    // detailed movie drift to 40 dB from the true ones, which dithering shows.
    ok = avcodec_open2(e->dec, codec, nullptr) >= 0 && (e->pkt = av_packet_alloc()) && (e->ahead = av_frame_alloc()) &&
         (e->held = av_frame_alloc()) && (e->filtered = av_frame_alloc());
    for (AVPacket*& p : e->queue) ok = ok && (p = av_packet_alloc());
  }
  if (!ok) {
    failure_ = failure_text("no decoder for the video stream", 0);
    return SourceStatus::getter_failed;
  }
  for (unsigned i = 0; i < e->fmt->nb_streams; ++i)
    e->fmt->streams[i]->discard = e->fmt->streams[i] == st ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  if (par->codec_id == AV_CODEC_ID_H264) {
    // MP4 and Matroska keep the parameter sets in extradata (avcC, version 1)
    // and put each unit's length before it; other containers use start codes.
    e->h264_length_size = avcc_length_size({par->extradata, size_t(std::max(par->extradata_size, 0))});
  }
  const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
  if (rate.num > 0 && rate.den > 0)
    e->default_duration = std::clamp<int64_t>(av_rescale_q(1, av_inv_q(rate), st->time_base), 1, kMaxTicks - 1);
  e->next_guess = Engine::sane(st->start_time) ? st->start_time : 0;

  e->clock.time_base = {st->time_base.num, st->time_base.den};
  // The first picture's time anchors every output time.
  if (!e->decode_next()) {
    if (e->budget.exceeded) {
      failure_ = "the movie's pictures need more memory at once than allowed (" +
                 std::to_string(picture_budget / kMiB) + " MiB)";
      return SourceStatus::too_large;
    }
    failure_ = failure_text("no picture of the video decodes", 0);
    return SourceStatus::no_frames;
  }
  e->clock.t0 = e->ahead_pts;
  e->t0_known = true;
  // A clip starting within the first picture needs no seek.
  if (e->clock.sample_time(0) >= e->ahead_end) e->seek_to_start();
  const int64_t first = e->clock.sample_time(0);
  e->advance(first);
  if (!e->latest_valid || (e->exhausted && !e->ahead_valid && e->clock.starts_past(e->latest_end))) {
    failure_ = failure_text(kStartPastEnd, 0);
    return SourceStatus::start_past_end;
  }

  // The length estimate: the stream's (or else the file's) duration from the
  // first picture on, less the trimmed start, within the trimmed length.
  int64_t total_ms = -1;
  if (Engine::sane(st->duration) && st->duration > 0) {
    const int64_t from = Engine::sane(st->start_time) ? st->start_time : e->clock.t0;
    total_ms = av_rescale_q(st->duration - (e->clock.t0 - from), st->time_base, Engine::kMs);
  } else if (Engine::sane(e->fmt->duration) && e->fmt->duration > 0) {
    const int64_t from = Engine::sane(e->fmt->start_time) ? e->fmt->start_time : 0;
    total_ms = av_rescale_q(e->fmt->duration + from, AV_TIME_BASE_Q, Engine::kMs) -
               av_rescale_q(e->clock.t0, st->time_base, Engine::kMs);
  }
  timing_.rate = kOutputRate;
  timing_.scale = 1;
  timing_.start = 0;
  timing_.length = uint32_t(estimated_frames(total_ms, e->clock.start_ms, e->clock.duration_ms));
  timing_.exact_length = false;
  engine_ = std::move(e);
  return SourceStatus::ok;
}
