// The built-in engine: libavformat demuxes the user's movie, libavcodec
// decodes its video stream on every core, and a libavfilter graph turns each
// picture that is shown into a 96 x 64 BGR frame (scaled by area averaging,
// turned as the movie's display matrix asks, padded or cropped). Frames are
// chosen by presentation time: output frame k shows the last picture whose
// timestamp is at or before t0 + start + k / 10 s, where t0 is the first
// picture's timestamp. Pictures that no output frame shows and that no other
// picture refers to are never decoded.
#include "movie/builtin.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "frame/dib.h"
#include "movie/frame_choice.h"
#include "movie/h264.h"
#include "movie/libav_movie.h"
#include "movie/sizing.h"
#include "raster.h"

namespace {

constexpr AVRational kMs = {1, 1000};

constexpr size_t kDibStride = dib_stride(kWidth);  // 288, already a multiple of 4
constexpr size_t kDibBytes = dib_bytes(kWidth, kHeight);
using Dib = std::array<uint8_t, kDibBytes>;

// Area averaging: each output pixel is the mean of the source pixels it
// covers, which is what shrinking a 1280-pixel picture to 96 needs.
constexpr const char* kScaleFlags = "area";

// HDR pictures (PQ or HLG, phones' default for years) are tone-mapped to
// BT.709 after scaling down, which keeps zimg's float work on small
// pictures: to linear light with SDR's white (100 cd/m2) at 1.0, BT.2020's
// primaries to BT.709's, mobius tone mapping, then BT.709's curve. Mobius
// leaves light below 0.7 alone and rolls what is above it off towards the
// signal's peak (from its metadata, or 1000 cd/m2 without): SDR's white
// ends at 0.85, and the picture keeps its SDR master's tones (libavfilter's
// default, 0.3, darkened a master's whites by 40 levels and its mean by 10).
// desat=0: the grey is what counts here, not hue.
constexpr int kHdrWhite = 100;  // cd/m2 at linear 1.0
constexpr const char* kToneMap = "tonemap=tonemap=mobius:param=0.7:desat=0";

// zscale's names for an HDR picture's colour properties (its transfer's
// is hdr_transfer's). HDR is BT.2020 by definition: whatever else a picture
// says of its primaries and matrix, but BT.709, is taken as that.
const char* hdr_primaries(AVColorPrimaries p) { return p == AVCOL_PRI_BT709 ? "709" : "2020"; }
const char* hdr_matrix(AVColorSpace c) {
  if (c == AVCOL_SPC_BT2020_CL) return "2020_cl";
  if (c == AVCOL_SPC_BT709) return "709";
  return "2020_ncl";
}
const char* hdr_range(AVColorRange r) { return r == AVCOL_RANGE_JPEG ? "full" : "limited"; }

constexpr size_t kTextSize = 512;  // filter descriptions
constexpr const char* kLogPrefix = "Built-in decoder: ";

// After a seek the first keyframe may lie after the clip's start (an index
// of decode times, a demuxer that seeks roughly); these are the further steps
// back tried before decoding from the very start.
constexpr int64_t kSeekRetreatMs[] = {1000, 5000, 30000};
// A decoder that keeps failing while being emptied is given up on.
constexpr int kMaxDrainErrors = 64;
// Packets read ahead of the decoder, and timestamps of those sent to it:
// the picture after a given one in time order is found among them. Decoders
// reorder by far fewer pictures than this (H.264 allows 16).
constexpr int kWindow = 16;

// Mid-stream trouble, reported on standard error once per kind.
enum ErrorKind {
  kDamagedPacket,
  kRefusedPacket,
  kDamagedPicture,
  kOversizedPicture,
  kEmptyPicture,
  kBrokenData,
  kNoRoom,
  kErrorKinds
};
constexpr const char* kErrorText[kErrorKinds] = {
    "part of the movie was found damaged while reading it",
    "the decoder refused part of the movie",
    "a damaged picture was patched up by the decoder",
    "a picture larger than allowed was skipped",
    "a picture without size was skipped",
    "the movie's data breaks off",
    "the movie's pictures need more memory at once than allowed; the movie stops here",
};

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

// Whether a timestamp or duration (in ticks) is one to compute with.
bool sane(int64_t ticks) { return sane_ticks(ticks, AV_NOPTS_VALUE); }

}  // namespace

struct BuiltinSource::Engine {
  PictureBudget budget;  // declared first, so outlives the decoder and its pictures
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  AVPacket* pkt = nullptr;
  std::array<AVPacket*, kWindow> queue{};  // read, not yet sent; a ring
  int queue_head = 0, queue_count = 0;
  int64_t queue_bytes = 0;
  std::array<int64_t, kWindow> sent{};     // timestamps of the last packets sent; a ring
  int sent_next = 0, sent_count = 0;
  bool demuxed = false;                    // the demuxer has nothing more
  AVFrame* ahead = nullptr;     // decoded, its time not reached yet
  AVFrame* held = nullptr;      // the latest picture due, not converted yet
  AVFrame* filtered = nullptr;  // the filter graph's output
  AVFilterGraph* graph = nullptr;
  AVFilterContext* source = nullptr;
  AVFilterContext* sink = nullptr;
  AVStream* st = nullptr;

  // What the graph was built for; a picture that differs rebuilds it.
  int graph_width = 0, graph_height = 0, graph_format = -1;
  AVRational graph_sar = {0, 1};
  AVColorTransferCharacteristic graph_trc = AVCOL_TRC_UNSPECIFIED;

  Fit fit = Fit::pad;
  Turn turn;
  // H.264 pictures nothing refers to are left out before the decoder: bytes
  // of each unit's length in packets (0 for start codes), -1 if not H.264.
  int h264_length_size = -1;
  FrameSize out;  // scaled size, as displayed
  bool exact = false;

  FrameClock clock;  // its t0 is the first picture's timestamp
  int64_t max_pixels = kMaxPicturePixels;
  bool t0_known = false;
  int64_t default_duration = 1;  // ticks of a picture whose duration is not stored

  // A decoded picture is kept whole only until it is known to be shown; from
  // then on only its 96 x 64 DIB is, so that the engine never holds large
  // pictures beside those the decoder keeps.
  bool ahead_valid = false;
  int64_t ahead_pts = 0, ahead_end = 0;
  bool ahead_whole = false;   // `ahead` holds the picture; else dibs[ahead_dib] does
  bool ahead_dib_ok = false;  // ... and its conversion succeeded
  bool held_valid = false;    // `held` holds the latest picture, not converted yet
  bool latest_valid = false;  // a picture at or before the last asked time exists
  int64_t latest_pts = 0, latest_end = 0;
  bool dib_valid = false;     // dibs[shown_dib] holds the picture of latest_pts
  int64_t next_guess = 0;     // timestamp for a picture that carries none
  bool draining = false;      // the demuxer is done; the decoder is being emptied
  bool exhausted = false;     // ... and has nothing more
  bool need_key = false;      // after a seek: drop pictures until a keyframe
  int drain_errors = 0;

  uint64_t errors = 0;
  bool reported[kErrorKinds] = {};

  std::array<Dib, 2> dibs{};  // the latest picture's and the one ahead's
  int shown_dib = 0;
  int ahead_dib = 1;

  Engine() = default;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  // The one release path, whatever was opened; each call accepts nulls.
  ~Engine() {
    avfilter_graph_free(&graph);
    av_frame_free(&filtered);
    av_frame_free(&held);
    av_frame_free(&ahead);
    for (AVPacket*& p : queue) av_packet_free(&p);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
  }

  // Counts one error, and the first of its kind goes to standard error.
  void note(ErrorKind kind, int err) {
    ++errors;
    if (reported[kind]) return;
    reported[kind] = true;
    char reason[AV_ERROR_MAX_STRING_SIZE] = "";
    if (err < 0) av_strerror(err, reason, sizeof reason);
    std::fprintf(stderr, "%s%s%s%s (more of this kind are only counted)\n", kLogPrefix, kErrorText[kind],
                 err < 0 ? ": " : "", reason);
  }

  // The timestamp that follows `pts` among the packets around it, or
  // AV_NOPTS_VALUE. A window that misses the true successor finds a later
  // one, which can only make a picture look needed.
  int64_t successor(int64_t pts) const {
    int64_t next = AV_NOPTS_VALUE;
    const auto consider = [&](int64_t t) {
      if (sane(t) && t > pts && (next == AV_NOPTS_VALUE || t < next)) next = t;
    };
    for (int i = 0; i < sent_count; ++i) consider(sent[i]);
    for (int i = 0; i < queue_count; ++i) consider(queue[(queue_head + i) % kWindow]->pts);
    return next;
  }

  // Per packet: a picture that no output frame shows need not be decoded
  // unless others refer to it, which only the decoder knows; telling it to
  // drop such non-reference pictures leaves every shown picture exact. Packet
  // durations are not trusted for this: containers of variable-rate movies
  // often store one nominal duration for all. Returns whether nothing shows it.
  bool choose_discard(const AVPacket* p) {
    bool skip = false;
    if (!exact && t0_known && sane(p->pts)) {
      const int64_t next = successor(p->pts);
      skip = next != AV_NOPTS_VALUE && !clock.shown(p->pts, next);
    }
    dec->skip_frame = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    return skip;
  }

  // Tops up the read-ahead window with packets of our stream.
  void fill_queue() {
    while (!demuxed && queue_count < kWindow && (queue_count == 0 || queue_bytes < kReadAheadBytes)) {
      const int r = av_read_frame(fmt, pkt);
      if (r < 0) {
        if (r != AVERROR_EOF) note(kBrokenData, r);
        demuxed = true;
        return;
      }
      // An empty packet would tell the decoder the stream has ended.
      if (pkt->stream_index == st->index && pkt->size > 0) {
        // A transport stream's lost or garbled packets, for instance.
        if (pkt->flags & AV_PKT_FLAG_CORRUPT) note(kDamagedPacket, 0);
        queue_bytes += pkt->size;
        av_packet_move_ref(queue[(queue_head + queue_count) % kWindow], pkt);
        ++queue_count;
      } else {
        av_packet_unref(pkt);
      }
    }
  }

  // Sends the oldest read packet to the decoder; false when none is left.
  // A decoder with pictures still to hand out keeps the packet waiting.
  bool send_next() {
    fill_queue();
    if (queue_count == 0) return false;
    AVPacket* p = queue[queue_head];
    // An unshown H.264 picture that nothing refers to is one the decoder
    // would skip before touching any state but its slice header; leaving it
    // out also saves the hand-over to a decoder thread.
    const bool unshown = choose_discard(p);
    const bool leave_out = unshown && h264_length_size >= 0 && unreferenced_h264({p->data, size_t(p->size)}, h264_length_size);
    const int r = leave_out ? 0 : avcodec_send_packet(dec, p);
    if (r == AVERROR(EAGAIN)) return true;
    if (r < 0) note(kRefusedPacket, r);
    queue_head = (queue_head + 1) % kWindow;
    --queue_count;
    queue_bytes -= p->size;
    sent[sent_next] = p->pts;
    sent_next = (sent_next + 1) % kWindow;
    sent_count = std::min(sent_count + 1, kWindow);
    av_packet_unref(p);
    return true;
  }

  // Decodes the next picture into `ahead`: 1 on success, 0 when the stream
  // is used up. Damaged or refused input is counted and passed over.
  int decode_next() {
    for (;;) {
      // A stream that needs more pictures at once than the budget holds
      // would only go on failing, differently on every run.
      if (budget.exceeded) {
        note(kNoRoom, 0);
        return 0;
      }
      int r = avcodec_receive_frame(dec, ahead);
      if (r >= 0) {
        if (need_key && !ahead->key_frame) {
          av_frame_unref(ahead);
          continue;
        }
        need_key = false;
        // A size change mid-stream past the limits; the decoder's own limit,
        // with slack for its padding, has refused far larger ones.
        if (ahead->width <= 0 || ahead->height <= 0 || picture_too_large(ahead->width, ahead->height, max_pixels)) {
          note(ahead->width <= 0 || ahead->height <= 0 ? kEmptyPicture : kOversizedPicture, 0);
          av_frame_unref(ahead);
          continue;
        }
        if (ahead->decode_error_flags || (ahead->flags & AV_FRAME_FLAG_CORRUPT)) note(kDamagedPicture, 0);
        int64_t pts = ahead->best_effort_timestamp;
        if (!sane(pts)) pts = ahead->pts;
        if (!sane(pts)) pts = next_guess;
        const int64_t duration = sane(ahead->pkt_duration) && ahead->pkt_duration > 0 ? ahead->pkt_duration
                                                                                       : default_duration;
        ahead_pts = pts;
        ahead_end = pts + duration;
        next_guess = std::min(ahead_end, kMaxTicks - 1);
        ahead_valid = true;
        ahead_whole = !will_show(ahead, pts);
        if (!ahead_whole) ahead_dib_ok = convert(ahead, dibs[ahead_dib]);
        return 1;
      }
      if (r == AVERROR_EOF) return 0;
      if (r != AVERROR(EAGAIN)) {
        note(kRefusedPacket, r);
        if (draining && ++drain_errors > kMaxDrainErrors) return 0;
        if (draining) continue;
      }
      if (draining) return 0;
      if (!send_next()) {
        draining = true;
        avcodec_send_packet(dec, nullptr);
      }
    }
  }

  // Decodes forward until the next picture lies after `t`; `held` then has
  // the last picture at or before it, unless the DIB already shows that one.
  void advance(int64_t t) {
    for (;;) {
      if (!ahead_valid) {
        if (exhausted) return;
        if (!decode_next()) {
          exhausted = true;
          return;
        }
      }
      if (ahead_pts > t) return;
      av_frame_unref(held);
      held_valid = ahead_whole;
      if (ahead_whole) {
        av_frame_move_ref(held, ahead);
        dib_valid = false;
      } else {
        std::swap(shown_dib, ahead_dib);
        dib_valid = ahead_dib_ok;
      }
      ahead_valid = false;
      latest_valid = true;
      latest_pts = ahead_pts;
      latest_end = ahead_end;
    }
  }

  // Forgets every picture, after a seek.
  void reset_decoding(bool keyframe_first) {
    avcodec_flush_buffers(dec);
    av_frame_unref(ahead);
    av_frame_unref(held);
    ahead_valid = held_valid = latest_valid = dib_valid = false;
    draining = exhausted = demuxed = false;
    drain_errors = 0;
    for (int i = 0; i < queue_count; ++i) av_packet_unref(queue[(queue_head + i) % kWindow]);
    queue_head = queue_count = sent_next = sent_count = 0;
    queue_bytes = 0;
    need_key = keyframe_first;
  }

  // Moves to the keyframe before the clip's start and decodes its first
  // picture. Tries further back when the keyframe found lies after the start,
  // and from the start of the movie in the end; without seeking at all if
  // the movie cannot seek (decoding forward gets there too).
  void seek_to_start() {
    const int64_t target = clock.sample_time(0);
    for (int64_t retreat_ms : {int64_t{0}, kSeekRetreatMs[0], kSeekRetreatMs[1], kSeekRetreatMs[2]}) {
      const int64_t to = target - av_rescale_q(retreat_ms, kMs, st->time_base);
      if (to <= clock.t0) break;
      if (av_seek_frame(fmt, st->index, to, AVSEEK_FLAG_BACKWARD) < 0) return;
      reset_decoding(true);
      if (decode_next() && ahead_pts <= target) return;
    }
    // From the very start: by its timestamp, or, where a timestamp search
    // lands past the first keyframe (a transport stream's does, whose
    // timestamps are found by sampling the file), by its first byte.
    if (av_seek_frame(fmt, st->index, clock.t0, AVSEEK_FLAG_BACKWARD) >= 0) {
      reset_decoding(false);
      if (decode_next() && ahead_pts <= target) return;
    }
    if (av_seek_frame(fmt, st->index, 0, AVSEEK_FLAG_BYTE) >= 0) reset_decoding(false);
  }

  // Builds the graph for pictures like `f`: scale (to the turned-back size
  // when a transpose follows), BGR, turn, mirror, then pad or crop to the
  // display. Scaling first keeps the turning on small pictures.
  bool build_graph(const AVFrame* f) {
    avfilter_graph_free(&graph);
    source = sink = nullptr;
    graph_format = -1;
    graph = avfilter_graph_alloc();
    if (!graph) return false;
    graph->nb_threads = 1;  // 96 x 64 pictures: threads would only cost

    char args[kTextSize];
    const AVRational sar = f->sample_aspect_ratio.num > 0 ? f->sample_aspect_ratio : AVRational{1, 1};
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", f->width,
                  f->height, f->format, st->time_base.num, st->time_base.den, sar.num, sar.den);
    if (avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), "in", args, nullptr, graph) < 0 ||
        avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph) < 0)
      return false;
    const enum AVPixelFormat bgr[] = {AV_PIX_FMT_BGR24, AV_PIX_FMT_NONE};
    if (av_opt_set_int_list(sink, "pix_fmts", bgr, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN) < 0) return false;

    const uint32_t sw = turn.transposed() ? out.height : out.width;
    const uint32_t sh = turn.transposed() ? out.width : out.height;
    const char* transpose = turn.quarter == 1 ? ",transpose=clock" : turn.quarter == 3 ? ",transpose=cclock" : "";
    char place[kTextSize / 4] = "";
    if (fit == Fit::pad)
      std::snprintf(place, sizeof place, ",pad=%d:%d:%u:%u:black", kWidth, kHeight, (kWidth - out.width) / 2,
                    (kHeight - out.height) / 2);
    else if (fit == Fit::crop)
      std::snprintf(place, sizeof place, ",crop=%d:%d:%u:%u", kWidth, kHeight, (out.width - kWidth) / 2,
                    (out.height - kHeight) / 2);
    // An HDR picture is scaled in its own colours (to 4:4:4, which zimg
    // takes at any size) and then tone-mapped; any other is turned into
    // BGR as it always was.
    char colours[kTextSize] = ",format=bgr24";
    if (const char* transfer = hdr_transfer(picture_transfer(f)))
      std::snprintf(colours, sizeof colours,
                    ",format=yuv444p16le,zscale=tin=%s:pin=%s:min=%s:rin=%s:t=linear:npl=%d,format=gbrpf32le,"
                    "zscale=p=709,%s,zscale=t=709,format=bgr24",
                    transfer, hdr_primaries(f->color_primaries), hdr_matrix(f->colorspace), hdr_range(f->color_range),
                    kHdrWhite, kToneMap);
    char chain[2 * kTextSize];
    std::snprintf(chain, sizeof chain, "scale=w=%u:h=%u:flags=%s%s%s%s%s%s", sw, sh, kScaleFlags, colours, transpose,
                  turn.hflip ? ",hflip" : "", turn.vflip ? ",vflip" : "", place);

    // The chain's open ends: its input is our source, its output our sink.
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    bool ok = outputs && inputs;
    if (ok) {
      outputs->name = av_strdup("in");
      outputs->filter_ctx = source;
      inputs->name = av_strdup("out");
      inputs->filter_ctx = sink;
      ok = outputs->name && inputs->name && avfilter_graph_parse_ptr(graph, chain, &inputs, &outputs, nullptr) >= 0 &&
           avfilter_graph_config(graph, nullptr) >= 0;
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (!ok) return false;
    graph_width = f->width;
    graph_height = f->height;
    graph_format = f->format;
    graph_sar = f->sample_aspect_ratio;
    graph_trc = picture_transfer(f);
    return true;
  }

  // A picture's transfer characteristic, or the stream's where the picture
  // does not say.
  AVColorTransferCharacteristic picture_transfer(const AVFrame* f) const {
    return f->color_trc != AVCOL_TRC_UNSPECIFIED ? f->color_trc : st->codecpar->color_trc;
  }

  // Converts the picture `f` into `out`, bottom row first; false on a filter
  // failure. The filter graph takes the picture's references: `f` is left
  // empty either way.
  bool convert(AVFrame* f, Dib& out) {
    if (!graph || f->width != graph_width || f->height != graph_height || f->format != graph_format ||
        f->sample_aspect_ratio.num != graph_sar.num || f->sample_aspect_ratio.den != graph_sar.den ||
        (hdr_transfer(picture_transfer(f)) != nullptr) != (hdr_transfer(graph_trc) != nullptr)) {
      if (!build_graph(f)) {
        av_frame_unref(f);
        return false;
      }
    }
    if (av_buffersrc_add_frame_flags(source, f, 0) < 0) {
      av_frame_unref(f);
      return false;
    }
    if (av_buffersink_get_frame(sink, filtered) < 0) return false;
    const bool fits = filtered->width == kWidth && filtered->height == kHeight &&
                      filtered->format == AV_PIX_FMT_BGR24 && filtered->linesize[0] >= static_cast<int>(kDibStride);
    if (fits) {
      uint8_t* pixels = out.data() + kDibHeaderBytes;
      for (int y = 0; y < kHeight; ++y)
        std::memcpy(pixels + size_t(kHeight - 1 - y) * kDibStride,
                    filtered->data[0] + size_t(y) * filtered->linesize[0], kDibStride);
    }
    av_frame_unref(filtered);
    return fits;
  }

  // Converts `held`, the latest picture, for showing.
  bool convert_held() {
    held_valid = false;
    dib_valid = convert(held, dibs[shown_dib]);
    return dib_valid;
  }

  // Whether an output frame shows the picture just decoded at `pts`, as far
  // as the packets around it tell (see FrameClock::shown); in doubt, yes. A picture that
  // is shown is converted at once; one that is not is kept whole, as a
  // damaged successor may yet leave it to be shown.
  bool will_show(const AVFrame* f, int64_t pts) const {
    if (!t0_known || f->pts != pts) return true;
    const int64_t next = successor(pts);
    return next == AV_NOPTS_VALUE || clock.shown(pts, next);
  }
};

BuiltinSource::BuiltinSource(BuiltinRequest request) : request_(std::move(request)) {}

BuiltinSource::~BuiltinSource() = default;

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
  for (Dib& d : e->dibs) put_dib_header(d, kWidth, kHeight);

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
  e->next_guess = sane(st->start_time) ? st->start_time : 0;

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
  if (sane(st->duration) && st->duration > 0) {
    const int64_t from = sane(st->start_time) ? st->start_time : e->clock.t0;
    total_ms = av_rescale_q(st->duration - (e->clock.t0 - from), st->time_base, kMs);
  } else if (sane(e->fmt->duration) && e->fmt->duration > 0) {
    const int64_t from = sane(e->fmt->start_time) ? e->fmt->start_time : 0;
    total_ms = av_rescale_q(e->fmt->duration + from, AV_TIME_BASE_Q, kMs) - av_rescale_q(e->clock.t0, st->time_base, kMs);
  }
  timing_.rate = kOutputRate;
  timing_.scale = 1;
  timing_.start = 0;
  timing_.length = uint32_t(estimated_frames(total_ms, e->clock.start_ms, e->clock.duration_ms));
  timing_.exact_length = false;
  engine_ = std::move(e);
  return SourceStatus::ok;
}

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
