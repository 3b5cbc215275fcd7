// The movie reader: the AVIFile operations the run uses, over libavformat
// (demuxing, seeking), libavcodec (decoding) and libswscale (conversion to
// 24-bit BGR). A position is a timestamp in the stream's time base, which for
// an AVI is the frame number.
#include "movie/mencoder/reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "frame/dib.h"
#include "movie/libav_movie.h"
#include "movie/sizing.h"

namespace {

constexpr int kFail = -1;
constexpr int kRgbAlign = 64;  // row alignment libswscale's vector code is happy with

}  // namespace

struct AviStream {
  AviFile* file = nullptr;
  AVStream* st = nullptr;
};

struct AviFile {
  AVFormatContext* fmt = nullptr;
  AviStream video;  // the first video stream; st is null if there is none
  // The last timestamp each stream's own index listed before anything was
  // read, AV_NOPTS_VALUE for none. A complete AVI's index covers every real
  // frame; a truncated one has no index at all.
  std::vector<int64_t> indexed_to;
  bool read_started = false;  // the demuxer has moved past the stream start
  bool getter_open = false;   // a getter owns the demuxer's read position
};

struct AviGetFrame {
  AviFile* file = nullptr;
  int64_t max_pixels = kMaxPicturePixels;
  AVStream* st = nullptr;
  PictureBudget budget;  // declared before the decoder, so outlives it and its pictures
  AVCodecContext* dec = nullptr;
  AVPacket* pkt = nullptr;
  // The decoded frame after the one in the DIB, held until a position reaches
  // it; the decoder cannot tell where a frame ends before the next one comes.
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;

  uint8_t* rgb[4] = {};  // the converted picture, top-down, padded rows
  int rgb_stride[4] = {};
  std::vector<uint8_t> dib;
  int dib_width = 0;
  int dib_height = 0;

  int64_t start = 0;                 // first position
  int64_t end = AV_NOPTS_VALUE;      // start + length, if the length is known
  int64_t indexed_to = AV_NOPTS_VALUE;

  bool shown = false;     // the DIB holds the picture of shown_pts
  bool shown_ok = false;  // ... and its conversion succeeded
  int64_t shown_pts = 0;
  int64_t shown_duration = 1;
  bool ahead = false;     // `frame` holds a decoded picture of ahead_pts
  int64_t ahead_pts = 0;
  int64_t next_guess = 0;  // timestamp for a frame that carries none
  bool draining = false;   // the demuxer is done; the decoder is being emptied
  bool exhausted = false;  // ... and has nothing more
  bool from_start = true;  // decoding began at the first frame of the stream
  // A seek landed where the first picture must be a keyframe; an index that
  // marks every frame as one (a truncated AVI's) would show a broken picture.
  bool need_key = false;
  // AVI keeps decode times; with B-frames the first picture comes out one
  // or two ticks after the stream start. Positions count from that picture.
  int64_t pts_offset = 0;
  bool offset_known = false;
};

namespace {

uint32_t clamp_u32(int64_t v) {
  if (v < 0) return 0;
  if (v > int64_t{std::numeric_limits<uint32_t>::max()}) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(v);
}

AVStream* first_video_stream(AVFormatContext* fmt) {
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    AVStream* st = fmt->streams[i];
    // Cover art of an audio file is a one-picture "video" stream, not a movie.
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
      return st;
  }
  return nullptr;
}

// The first position: the first index entry's timestamp, as AVI counts it.
int64_t stream_start(AVStream* st) {
  if (avformat_index_get_entries_count(st) > 0) return avformat_index_get_entry(st, 0)->timestamp;
  if (st->start_time != AV_NOPTS_VALUE) return st->start_time;
  return 0;
}

// The number of positions. In an AVI a tick of the time base is one frame
// and the frame count includes the zero-length chunks that repeat a frame;
// elsewhere the duration, counted in ticks, is what bounds the positions.
int64_t stream_length(const AVFormatContext* fmt, const AVStream* st) {
  AVRational per_tick = av_inv_q(st->time_base);
  bool tick_is_frame = av_cmp_q(st->avg_frame_rate, per_tick) == 0 || av_cmp_q(st->r_frame_rate, per_tick) == 0;
  if (st->nb_frames > 0 && tick_is_frame) return st->nb_frames;
  if (st->duration > 0 && st->duration != AV_NOPTS_VALUE) return st->duration;
  if (fmt->duration > 0 && fmt->duration != AV_NOPTS_VALUE)
    return av_rescale_q(fmt->duration, AV_TIME_BASE_Q, st->time_base);
  if (st->nb_frames > 0) return st->nb_frames;
  return 0;
}

// Lays out the DIB and the conversion picture for a width x height frame;
// allocates only when the size changes, which a well-formed stream never
// does after the first frame.
bool size_dib(AviGetFrame* g, int width, int height) {
  if (width == g->dib_width && height == g->dib_height) return true;
  if (width <= 0 || height <= 0 || picture_too_large(width, height, g->max_pixels)) return false;
  const int64_t image = static_cast<int64_t>(dib_stride(size_t(width))) * height;
  if (width > std::numeric_limits<int32_t>::max() / 3 || image > std::numeric_limits<int32_t>::max()) return false;
  av_freep(&g->rgb[0]);
  g->dib_width = g->dib_height = 0;
  if (av_image_alloc(g->rgb, g->rgb_stride, width, height, AV_PIX_FMT_BGR24, kRgbAlign) < 0) return false;
  g->dib.assign(kDibHeaderBytes + static_cast<size_t>(image), 0);
  g->dib_width = width;
  g->dib_height = height;

  put_dib_header(g->dib, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
  return true;
}

// Converts `frame` into the DIB, bottom row first. libswscale converts into
// a padded, top-down picture of its own, since its vector code writes past
// the end of a row; the rows are then copied into the DIB in reverse.
bool convert(AviGetFrame* g) {
  const AVFrame* f = g->frame;
  if (f->format < 0 || !size_dib(g, f->width, f->height)) return false;
  g->sws = sws_getCachedContext(g->sws, f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width,
                                f->height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!g->sws || sws_scale(g->sws, f->data, f->linesize, 0, f->height, g->rgb, g->rgb_stride) != f->height)
    return false;
  const size_t row = size_t(f->width) * kDibBytesPerPixel;
  const size_t stride = size_t(dib_stride(f->width));
  uint8_t* pixels = g->dib.data() + kDibHeaderBytes;
  for (int y = 0; y < f->height; ++y)
    std::memcpy(pixels + size_t(f->height - 1 - y) * stride, g->rgb[0] + size_t(y) * g->rgb_stride[0], row);
  return true;
}

// Decodes the next picture into g->frame; false when the stream is used up.
// Packets the decoder rejects are skipped like lost frames.
bool decode_next(AviGetFrame* g) {
  for (;;) {
    int r = avcodec_receive_frame(g->dec, g->frame);
    if (r >= 0) return true;
    // A decoder that errs while being emptied may keep doing so; stop there.
    if (g->draining) return false;
    g->file->read_started = true;
    if (av_read_frame(g->file->fmt, g->pkt) < 0) {
      g->draining = true;
      if (avcodec_send_packet(g->dec, nullptr) < 0) return false;
      continue;
    }
    // An empty packet would tell the decoder the stream has ended.
    if (g->pkt->stream_index == g->st->index && g->pkt->size > 0) avcodec_send_packet(g->dec, g->pkt);
    av_packet_unref(g->pkt);
  }
}

int64_t frame_pts(AviGetFrame* g) {
  int64_t pts = g->frame->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) pts = g->frame->pts;
  if (pts == AV_NOPTS_VALUE) pts = g->next_guess;
  int64_t duration = g->frame->pkt_duration > 0 ? g->frame->pkt_duration : 1;
  g->next_guess = pts + duration;
  return pts;
}

// Decodes forward until the next frame lies beyond `pos`; the DIB then holds
// the last frame at or before it, if there is one.
void advance(AviGetFrame* g, int64_t pos) {
  for (;;) {
    if (!g->ahead) {
      if (g->exhausted) return;
      if (!decode_next(g)) {
        g->exhausted = true;
        return;
      }
      if (g->need_key && !g->frame->key_frame) {
        av_frame_unref(g->frame);
        return;
      }
      g->need_key = false;
      g->ahead = true;
      g->ahead_pts = frame_pts(g);
      if (!g->offset_known && g->from_start) {
        // Only the decoder's reordering delay explains a late first picture;
        // a larger gap means damaged frames, which keep their timestamps.
        int64_t late = g->ahead_pts - g->start;
        int delay = std::max(g->dec->has_b_frames, g->st->codecpar->video_delay);
        if (g->frame->key_frame && late > 0 && late <= delay) g->pts_offset = late;
        g->offset_known = true;
      }
      g->ahead_pts -= g->pts_offset;
    }
    if (g->ahead_pts > pos) return;
    g->shown = true;
    g->shown_pts = g->ahead_pts;
    g->shown_duration = g->frame->pkt_duration > 0 ? g->frame->pkt_duration : 1;
    g->shown_ok = convert(g);
    av_frame_unref(g->frame);
    g->ahead = false;
  }
}

// Moves the demuxer to the keyframe at or before `ts` and forgets what the
// decoder held; false, with nothing changed, if the container cannot seek.
bool seek(AviGetFrame* g, int64_t ts) {
  if (av_seek_frame(g->file->fmt, g->st->index, ts, AVSEEK_FLAG_BACKWARD) < 0) return false;
  avcodec_flush_buffers(g->dec);
  av_frame_unref(g->frame);
  g->shown = g->shown_ok = g->ahead = false;
  g->draining = g->exhausted = false;
  g->from_start = ts <= g->start;
  g->need_key = !g->from_start;
  g->next_guess = ts + g->pts_offset;
  return true;
}

// Whether the decoder must go back to reach `pos`.
bool behind(const AviGetFrame* g, int64_t pos) {
  if (g->shown) return pos < g->shown_pts;
  if (g->from_start) return false;  // nothing earlier exists
  return (g->ahead && pos < g->ahead_pts) || (!g->ahead && g->exhausted);
}

// Where the last frame of the stream stops standing for later positions. An
// intact index means the file ends with the frames its length counts
// (zero-length chunks included); otherwise the data ran out early.
int64_t hold_end(const AviGetFrame* g) {
  bool complete = g->indexed_to != AV_NOPTS_VALUE && g->indexed_to >= g->shown_pts;
  if (complete && g->end != AV_NOPTS_VALUE) return g->end;
  return g->shown_pts + g->shown_duration;
}

}  // namespace

void AVIFileInit() {
  // Standard error is the run's error file; keep libav's warnings about
  // damaged frames out of it and its errors in.
  av_log_set_level(AV_LOG_ERROR);
}

void AVIFileExit() {}

int AVIFileOpenA(AviFile** file, const char* path) {
  if (!file) return kFail;
  *file = nullptr;
  if (!path) return kFail;
  AVFormatContext* fmt = nullptr;
  if (open_limited(&fmt, path) < 0) return kFail;

  auto* f = new AviFile;
  f->fmt = fmt;
  // Taken before any packet is read, since reading adds entries of its own.
  f->indexed_to.assign(fmt->nb_streams, AV_NOPTS_VALUE);
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    AVStream* st = fmt->streams[i];
    int n = avformat_index_get_entries_count(st);
    if (n > 0) f->indexed_to[i] = avformat_index_get_entry(st, n - 1)->timestamp;
  }
  // Some containers only reveal their streams' sizes by decoding a little.
  if (probe_limited(fmt, kMaxPicturePixels) < 0 && fmt->nb_streams == 0) {
    AVIFileRelease(f);
    return kFail;
  }
  f->video.file = f;
  f->video.st = first_video_stream(fmt);
  *file = f;
  return 0;
}

int AVIFileInfoA(AviFile* file, AVIFILEINFO* info) {
  if (!file || !info || !file->video.st) return kFail;
  const AVCodecParameters* par = file->video.st->codecpar;
  // A zero size would leave the caller's sizing dividing by zero.
  if (par->width <= 0 || par->height <= 0) return kFail;
  info->dwWidth = static_cast<uint32_t>(par->width);
  info->dwHeight = static_cast<uint32_t>(par->height);
  return 0;
}

int AVIFileGetStream(AviFile* file, AviStream** stream) {
  if (!stream) return kFail;
  *stream = nullptr;
  if (!file || !file->video.st) return kFail;
  *stream = &file->video;
  return 0;
}

int AVIStreamInfoA(AviStream* stream, AVISTREAMINFO* info) {
  if (!stream || !stream->st || !info) return kFail;
  AVStream* st = stream->st;
  if (st->time_base.num <= 0 || st->time_base.den <= 0) return kFail;
  info->dwScale = static_cast<uint32_t>(st->time_base.num);
  info->dwRate = static_cast<uint32_t>(st->time_base.den);
  info->dwStart = clamp_u32(stream_start(st));
  info->dwLength = clamp_u32(stream_length(stream->file->fmt, st));
  return 0;
}

AviGetFrame* AVIStreamGetFrameOpen(AviStream* stream, int64_t max_pixels) {
  if (!stream || !stream->st || !stream->file) return nullptr;
  AviFile* file = stream->file;
  // Two getters would pull packets from under each other.
  if (file->getter_open) return nullptr;
  AVStream* st = stream->st;
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return nullptr;

  auto* g = new AviGetFrame;
  g->file = file;
  g->max_pixels = std::clamp<int64_t>(max_pixels, 1, kMaxPicturePixels);
  g->st = st;
  g->start = stream_start(st);
  int64_t length = stream_length(file->fmt, st);
  if (length > 0) g->end = g->start + length;
  g->indexed_to = file->indexed_to.size() > unsigned(st->index) ? file->indexed_to[st->index] : AV_NOPTS_VALUE;
  g->next_guess = g->start;

  bool ok = (g->dec = avcodec_alloc_context3(codec)) && avcodec_parameters_to_context(g->dec, st->codecpar) >= 0;
  if (ok) {
    g->dec->pkt_timebase = st->time_base;
    // One thread: the run is single-threaded, and the pictures are small.
    // Larger ones are refused by the decoder too, however it learns the size.
    limit_decoder(g->dec, st->codecpar, {.max_pixels = g->max_pixels, .threads = 1}, g->budget);
    ok = avcodec_open2(g->dec, codec, nullptr) >= 0 && (g->pkt = av_packet_alloc()) &&
         (g->frame = av_frame_alloc()) && size_dib(g, st->codecpar->width, st->codecpar->height);
  }
  if (!ok) {
    AVIStreamGetFrameClose(g);
    return nullptr;
  }
  for (unsigned i = 0; i < file->fmt->nb_streams; ++i)
    file->fmt->streams[i]->discard = int(i) == st->index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  // An earlier getter left the demuxer somewhere in the middle.
  if (file->read_started && !seek(g, g->start)) g->from_start = false;
  file->getter_open = true;
  return g;
}

std::span<const uint8_t> AVIStreamGetFrame(AviGetFrame* g, int32_t pos) {
  if (!g || pos < g->start || (g->end != AV_NOPTS_VALUE && pos >= g->end)) return {};
  if (behind(g, pos)) {
    if (!seek(g, pos)) return {};
    advance(g, pos);
    // A keyframe index that points past `pos`, or at a frame that is not a
    // keyframe, leaves nothing to show; the start of the stream is safe.
    if (!g->shown && !g->from_start) {
      if (!seek(g, g->start)) return {};
      advance(g, pos);
    }
  } else {
    advance(g, pos);
  }
  if (!g->shown || !g->shown_ok || g->shown_pts > pos) return {};
  if (g->exhausted && !g->ahead && pos >= hold_end(g)) return {};
  return g->dib;
}

void AVIStreamGetFrameClose(AviGetFrame* getter) {
  if (!getter) return;
  sws_freeContext(getter->sws);
  av_freep(&getter->rgb[0]);
  av_frame_free(&getter->frame);
  av_packet_free(&getter->pkt);
  avcodec_free_context(&getter->dec);
  getter->file->getter_open = false;
  delete getter;
}

void AVIFileRelease(AviFile* file) {
  if (!file) return;
  avformat_close_input(&file->fmt);
  delete file;
}
