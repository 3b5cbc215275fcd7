// The memory limits (limits.h) as libav's own controls: av_max_alloc for any
// single allocation, the demuxer's probing options, the decoders' picture
// and sample limits, and a count of the decoded pictures a decoder holds,
// kept through its get_buffer2 callback.
#include <algorithm>
#include <mutex>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

#include "movie/libav_movie.h"

namespace {

// Bytes a pixel of a picture whose format is not known before decoding:
// the deepest common packed format.
constexpr int64_t kUnknownFormatBytes = 4;

// A decoded picture's memory handed out under a budget: the decoder's own
// buffer, and what it counts against the budget until its last reference
// goes.
struct BudgetedPicture {
  AVBufferRef* pooled;
  PictureBudget* budget;
  int64_t charge;
};

void release_budgeted(void* opaque, uint8_t*) {
  auto* picture = static_cast<BudgetedPicture*>(opaque);
  picture->budget->live -= picture->charge;
  av_buffer_unref(&picture->pooled);
  av_free(picture);
}

// get_buffer2: libav's own buffers, refused when the pictures alive would
// outgrow the budget. The picture's size is charged before anything is
// allocated, as a decoder's pool keeps what it once allocated. Decoding
// threads call this at once, hence the atomics.
int budgeted_get_buffer(AVCodecContext* dec, AVFrame* frame, int flags) {
  auto* budget = static_cast<PictureBudget*>(dec->opaque);
  const int64_t pixels = int64_t{frame->width} * frame->height;
  const int bytes = av_image_get_buffer_size(static_cast<AVPixelFormat>(frame->format), frame->width, frame->height, 1);
  const int64_t charge = std::max(bytes, 0) + (budget->predicted ? picture_tables(pixels) : 0);
  if (budget->live.fetch_add(charge) + charge > budget->limit) {
    budget->live -= charge;
    budget->exceeded = true;
    return AVERROR(ENOMEM);
  }
  // The first buffer is wrapped in one that gives the charge back when the
  // picture's last reference goes; the others go with it.
  auto* picture = static_cast<BudgetedPicture*>(av_malloc(sizeof(BudgetedPicture)));
  int r = picture ? avcodec_default_get_buffer2(dec, frame, flags) : AVERROR(ENOMEM);
  AVBufferRef* wrapped =
      r >= 0 ? av_buffer_create(frame->buf[0]->data, frame->buf[0]->size, release_budgeted, picture, 0) : nullptr;
  if (!wrapped) {
    av_free(picture);
    budget->live -= charge;
    av_frame_unref(frame);
    return r < 0 ? r : AVERROR(ENOMEM);
  }
  *picture = {frame->buf[0], budget, charge};
  frame->buf[0] = wrapped;
  return 0;
}

// Whether the codec's pictures are predicted from others, so that its
// decoder keeps reference pictures and tables for them.
bool predicted(const AVCodec* codec) {
  const AVCodecDescriptor* d = avcodec_descriptor_get(codec->id);
  return !d || !(d->props & AV_CODEC_PROP_INTRA_ONLY);
}

// Whether the budget sees the decoder's pictures: it takes them from
// get_buffer2, or keeps none between pictures.
bool counted(const AVCodec* codec) { return (codec->capabilities & AV_CODEC_CAP_DR1) || !predicted(codec); }

// One decoded picture of the stream with its tables, as far as the stream's
// parameters tell before decoding.
int64_t stream_picture_charge(const AVCodecParameters* par, bool with_tables) {
  const int known = par->format >= 0
                        ? av_image_get_buffer_size(static_cast<AVPixelFormat>(par->format), par->width, par->height, 1)
                        : -1;
  const int64_t pixels = int64_t{par->width} * par->height;
  return (known > 0 ? known : pixels * kUnknownFormatBytes) + (with_tables ? picture_tables(pixels) : 0);
}

}  // namespace

void limit_allocations() {
  static std::once_flag once;
  std::call_once(once, [] { av_max_alloc(static_cast<size_t>(kMaxAllocation)); });
}

int open_limited(AVFormatContext** fmt, const char* path) {
  limit_allocations();
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "probesize", kProbeBytes, 0);
  av_dict_set_int(&options, "analyzeduration", kProbeMicroseconds, 0);
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  const int r = avformat_open_input(fmt, path, nullptr, &options);
  av_dict_free(&options);
  return r;
}

int probe_limited(AVFormatContext* fmt, int64_t max_pixels) {
  const unsigned streams = fmt->nb_streams;
  if (streams == 0) return avformat_find_stream_info(fmt, nullptr);
  auto** options = static_cast<AVDictionary**>(av_calloc(streams, sizeof(AVDictionary*)));
  if (!options) return AVERROR(ENOMEM);
  // Probing holds each decoder it opens, with what it decoded, until it is
  // done, out of the budget's sight: only one, of the first video stream
  // that is not known to be large. The others keep what their container and
  // parser tell (no decoder's name matches the list ","); a decoder that
  // refuses a picture's size would have forgotten the size anyway.
  bool decoding = false;
  for (unsigned i = 0; i < streams; ++i) {
    const AVStream* st = fmt->streams[i];
    const AVCodecParameters* par = st->codecpar;
    const bool eligible = !decoding && par->codec_type == AVMEDIA_TYPE_VIDEO &&
                          !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) &&
                          int64_t{par->width} * par->height <= kProbePixels;
    if (eligible) {
      decoding = true;
      av_dict_set_int(&options[i], "max_pixels", decoder_pixel_limit(std::min(max_pixels, kProbePixels)), 0);
    } else {
      av_dict_set(&options[i], "codec_whitelist", ",", 0);
    }
  }
  const int r = avformat_find_stream_info(fmt, options);
  for (unsigned i = 0; i < streams; ++i) av_dict_free(&options[i]);
  av_free(options);
  return r;
}

int64_t decoder_max_pixels(const AVCodec* codec, int64_t max_pixels) {
  return counted(codec) ? max_pixels : std::min(max_pixels, kUncountedMaxPixels);
}

void limit_decoder(AVCodecContext* dec, const AVCodecParameters* par, const DecoderLimits& limits,
                   PictureBudget& budget) {
  dec->max_pixels = decoder_pixel_limit(decoder_max_pixels(dec->codec, limits.max_pixels));
  budget.predicted = predicted(dec->codec);
  budget.limit = limits.picture_budget - (budget.predicted ? decoder_tables(int64_t{par->width} * par->height) : 0);
  dec->opaque = &budget;
  dec->get_buffer2 = budgeted_get_buffer;
  dec->thread_count = limits.threads > 0
                          ? limits.threads
                          : decoding_threads(stream_picture_charge(par, budget.predicted), av_cpu_count());
}

bool learn_picture_size(AVFormatContext* fmt, AVStream* st, const DecoderLimits& limits) {
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return false;
  PictureBudget budget;
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  bool ok = dec && pkt && frame && avcodec_parameters_to_context(dec, st->codecpar) >= 0;
  if (ok) {
    // Its tables are counted for the largest picture it may turn out to be.
    AVCodecParameters largest = *st->codecpar;
    largest.width = kMaxPictureSide;
    largest.height = static_cast<int>(limits.max_pixels / kMaxPictureSide);
    limit_decoder(dec, &largest, {limits.max_pixels, limits.picture_budget, 1}, budget);
    ok = avcodec_open2(dec, codec, nullptr) >= 0;
  }
  bool found = false;
  int64_t read = 0;
  while (ok && !found && read < kProbeBytes) {
    const int r = av_read_frame(fmt, pkt);
    if (r >= 0 && pkt->stream_index != st->index) {
      av_packet_unref(pkt);
      continue;
    }
    if (r >= 0) read += pkt->size;
    avcodec_send_packet(dec, r >= 0 ? pkt : nullptr);  // at the end, empties the decoder
    av_packet_unref(pkt);
    found = avcodec_receive_frame(dec, frame) >= 0 && frame->width > 0 && frame->height > 0;
    if (r < 0) break;
  }
  if (found) {
    st->codecpar->width = frame->width;
    st->codecpar->height = frame->height;
    st->codecpar->format = frame->format;
    if (st->codecpar->sample_aspect_ratio.num <= 0) st->codecpar->sample_aspect_ratio = frame->sample_aspect_ratio;
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  return found;
}
