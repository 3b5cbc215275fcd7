// What libavformat tells about the user's movie before an encoder runs: its
// length and the container it comes in, so the mencoder engine can refuse a
// clip that starts past the end and read MPEG-TS correctly.
#pragma once

#include <cstdint>

struct MovieInfo {
  int64_t duration_ms = -1;  // -1 when the container does not say
  bool transport_stream = false;  // MPEG-TS, whose frame rate mencoder's own demuxer misreads
};

// Reads `path`'s container header; false if libavformat cannot open it
// (mencoder then reports the movie in its own way).
bool read_movie_info(const char* path, MovieInfo& info);
