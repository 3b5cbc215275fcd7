// What libavformat tells about the user's movie before an encoder runs: its
// length, the container it comes in, the size of its picture (which sets how
// much memory mencoder is given) and how it is shown (turned by a display
// matrix, stretched by a pixel shape), none of which mencoder applies by
// itself.
#pragma once

#include <cstdint>

#include "movie/sizing.h"

struct MovieInfo {
  int64_t duration_ms = -1;       // -1 when the container does not say
  bool transport_stream = false;  // MPEG-TS, whose frame rate mencoder's own demuxer misreads
  bool video = false;             // it has a video stream (not just cover art)
  Turn turn;                      // of the movie's video stream
  int64_t sar_num = 0, sar_den = 0;  // its pixel shape; 0 when unknown (square)
  bool hdr = false;               // PQ or HLG, which mencoder passes on as if SDR: dark and flat
  int64_t width = 0, height = 0;  // its picture as stored, as the container claims; 0 when unknown
};

// Reads `path`'s container header; false if libavformat cannot open it
// (mencoder then reports the movie in its own way).
bool read_movie_info(const char* path, MovieInfo& info);
