// What the movie stage's libav code shares, kept inside src/movie/: which
// video stream of a movie is the movie, and how its picture is shown.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include "movie/frame_source.h"
#include "movie/sizing.h"

// The movie's best video stream; cover art (a single attached picture) is
// not a movie, even when it is the only video stream of the file. Null if
// there is none.
AVStream* pick_video_stream(AVFormatContext* fmt);

// How the stream's display matrix (if any) turns its picture.
Turn stream_turn(const AVStream* st);

// The stream's picture size as shown: its pixel shape and turn applied.
FrameSize stream_displayed_size(AVFormatContext* fmt, AVStream* st, const Turn& turn);
