// The built-in engine's filter graph: a decoded picture, scaled by area
// averaging, turned as its display matrix asks, padded or cropped, becomes
// the 96 x 64 BGR frame the run reads; an HDR picture is tone-mapped to SDR
// on the way. The graph is built for the first picture and again whenever a
// picture's size, format, pixel shape or HDR-ness changes.
#include "movie/builtin/engine.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/opt.h>
}

#include <cstdio>
#include <cstring>

namespace {

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

}  // namespace

bool BuiltinSource::Engine::build_graph(const AVFrame* f) {
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

AVColorTransferCharacteristic BuiltinSource::Engine::picture_transfer(const AVFrame* f) const {
  return f->color_trc != AVCOL_TRC_UNSPECIFIED ? f->color_trc : st->codecpar->color_trc;
}

bool BuiltinSource::Engine::convert(AVFrame* f, Dib& out) {
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

bool BuiltinSource::Engine::convert_held() {
  held_valid = false;
  dib_valid = convert(held, dibs[shown_dib]);
  return dib_valid;
}
