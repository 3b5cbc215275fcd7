// The movie's container facts, from libavformat (see movie_info.h).
#include "movie/movie_info.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>

bool read_movie_info(const char* path, MovieInfo& info) {
  info = MovieInfo{};
  // Standard error is the run's error file: warnings about the container
  // stay out of it, errors go in.
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path, nullptr, nullptr) < 0) return false;
  // The duration of some containers is only known once a little is read.
  if (avformat_find_stream_info(fmt, nullptr) >= 0 && fmt->duration > 0 && fmt->duration != AV_NOPTS_VALUE)
    info.duration_ms = av_rescale(fmt->duration, 1000, AV_TIME_BASE);
  info.transport_stream = fmt->iformat && std::strcmp(fmt->iformat->name, "mpegts") == 0;
  avformat_close_input(&fmt);
  return true;
}
