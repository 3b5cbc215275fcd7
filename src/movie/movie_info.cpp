// The movie's container facts, from libavformat (see movie_info.h).
#include "movie/movie_info.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>
#include <span>

#include "movie/libav_movie.h"

// The movie's best video stream; cover art (a single attached picture) is
// not a movie, even when it is the only video stream of the file.
AVStream* pick_video_stream(AVFormatContext* fmt) {
  int best = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (best >= 0 && !(fmt->streams[best]->disposition & AV_DISPOSITION_ATTACHED_PIC)) return fmt->streams[best];
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    AVStream* st = fmt->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
      return st;
  }
  return nullptr;
}

Turn stream_turn(const AVStream* st) {
  const auto* matrix = reinterpret_cast<const int32_t*>(av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
  return matrix ? turn_from_matrix(std::span<const int32_t, 9>(matrix, 9)) : Turn{};
}

FrameSize stream_displayed_size(AVFormatContext* fmt, AVStream* st, const Turn& turn) {
  const AVRational sar = av_guess_sample_aspect_ratio(fmt, st, nullptr);
  const AVCodecParameters* par = st->codecpar;
  return displayed_size(static_cast<uint32_t>(std::max(par->width, 0)), static_cast<uint32_t>(std::max(par->height, 0)),
                        sar.num, sar.den, turn);
}

const char* hdr_transfer(AVColorTransferCharacteristic trc) {
  if (trc == AVCOL_TRC_SMPTE2084) return "smpte2084";
  if (trc == AVCOL_TRC_ARIB_STD_B67) return "arib-std-b67";
  return nullptr;
}

bool read_movie_info(const char* path, MovieInfo& info) {
  info = MovieInfo{};
  // Standard error is the run's error file: warnings about the container
  // stay out of it, errors go in.
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* fmt = nullptr;
  if (open_limited(&fmt, path) < 0) return false;
  // The duration of some containers is only known once a little is read.
  if (probe_limited(fmt, kMaxPicturePixels) >= 0 && fmt->duration > 0 && fmt->duration != AV_NOPTS_VALUE)
    info.duration_ms = av_rescale(fmt->duration, 1000, AV_TIME_BASE);
  info.transport_stream = fmt->iformat && std::strcmp(fmt->iformat->name, "mpegts") == 0;
  if (AVStream* st = pick_video_stream(fmt)) {
    info.video = true;
    info.turn = stream_turn(st);
    const AVRational sar = av_guess_sample_aspect_ratio(fmt, st, nullptr);
    info.sar_num = sar.num;
    info.sar_den = sar.den;
    info.hdr = hdr_transfer(st->codecpar->color_trc) != nullptr;
    // The header's word, read without decoding a picture.
    info.width = std::max(st->codecpar->width, 0);
    info.height = std::max(st->codecpar->height, 0);
  }
  avformat_close_input(&fmt);
  return true;
}
