// The built-in engine's state, which the files that do its parts share:
// opening the movie (open.cpp), the packets read ahead and the pictures they
// let it skip (read_ahead.cpp), decoding and seeking (decode.cpp), the filter
// graph that makes a 96 x 64 frame of a picture, tone-mapping HDR
// (filter_graph.cpp), and the source the frame loop asks (builtin.cpp). Only
// those include it, so no libav type leaves src/movie/builtin/.
#pragma once

#include "movie/builtin/builtin.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
}

#include <array>
#include <cstddef>
#include <cstdint>

#include "frame/dib.h"
#include "movie/builtin/frame_choice.h"
#include "movie/libav_movie.h"
#include "movie/sizing.h"
#include "raster.h"
#include "settings/settings.h"

struct BuiltinSource::Engine {
  static constexpr AVRational kMs = {1, 1000};

  static constexpr size_t kDibStride = dib_stride(kWidth);  // 288, already a multiple of 4
  static constexpr size_t kDibBytes = dib_bytes(kWidth, kHeight);
  using Dib = std::array<uint8_t, kDibBytes>;

  // Packets read ahead of the decoder, and timestamps of those sent to it:
  // the picture after a given one in time order is found among them. Decoders
  // reorder by far fewer pictures than this (H.264 allows 16).
  static constexpr int kWindow = 16;

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
  static constexpr const char* kErrorText[kErrorKinds] = {
      "part of the movie was found damaged while reading it",
      "the decoder refused part of the movie",
      "a damaged picture was patched up by the decoder",
      "a picture larger than allowed was skipped",
      "a picture without size was skipped",
      "the movie's data breaks off",
      "the movie's pictures need more memory at once than allowed; the movie stops here",
  };

  // Whether a timestamp or duration (in ticks) is one to compute with.
  static bool sane(int64_t ticks) { return sane_ticks(ticks, AV_NOPTS_VALUE); }

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
  // The one release path, whatever was opened; each call accepts nulls
  // (builtin.cpp).
  ~Engine();

  // --- Errors (decode.cpp) ---
  // Counts one error, and the first of its kind goes to standard error.
  void note(ErrorKind kind, int err);

  // --- The read-ahead window (read_ahead.cpp) ---
  // Tops up the read-ahead window with packets of our stream.
  void fill_queue();
  // Sends the oldest read packet to the decoder; false when none is left.
  // A decoder with pictures still to hand out keeps the packet waiting.
  bool send_next();
  // The timestamp that follows `pts` among the packets around it, or
  // AV_NOPTS_VALUE. A window that misses the true successor finds a later
  // one, which can only make a picture look needed.
  int64_t successor(int64_t pts) const;
  // Per packet: a picture that no output frame shows need not be decoded
  // unless others refer to it, which only the decoder knows; telling it to
  // drop such non-reference pictures leaves every shown picture exact. Packet
  // durations are not trusted for this: containers of variable-rate movies
  // often store one nominal duration for all. Returns whether nothing shows it.
  bool choose_discard(const AVPacket* p);
  // Whether an output frame shows the picture just decoded at `pts`, as far
  // as the packets around it tell (see FrameClock::shown); in doubt, yes. A picture that
  // is shown is converted at once; one that is not is kept whole, as a
  // damaged successor may yet leave it to be shown.
  bool will_show(const AVFrame* f, int64_t pts) const;

  // --- Decoding and seeking (decode.cpp) ---
  // Decodes the next picture into `ahead`: 1 on success, 0 when the stream
  // is used up. Damaged or refused input is counted and passed over.
  int decode_next();
  // Decodes forward until the next picture lies after `t`; `held` then has
  // the last picture at or before it, unless the DIB already shows that one.
  void advance(int64_t t);
  // Forgets every picture, after a seek.
  void reset_decoding(bool keyframe_first);
  // Moves to the keyframe before the clip's start and decodes its first
  // picture. Tries further back when the keyframe found lies after the start,
  // and from the start of the movie in the end; without seeking at all if
  // the movie cannot seek (decoding forward gets there too).
  void seek_to_start();

  // --- The filter graph (filter_graph.cpp) ---
  // Builds the graph for pictures like `f`: scale (to the turned-back size
  // when a transpose follows), BGR, turn, mirror, then pad or crop to the
  // display. Scaling first keeps the turning on small pictures.
  bool build_graph(const AVFrame* f);
  // A picture's transfer characteristic, or the stream's where the picture
  // does not say.
  AVColorTransferCharacteristic picture_transfer(const AVFrame* f) const;
  // Converts the picture `f` into `out`, bottom row first; false on a filter
  // failure. The filter graph takes the picture's references: `f` is left
  // empty either way.
  bool convert(AVFrame* f, Dib& out);
  // Converts `held`, the latest picture, for showing.
  bool convert_held();
};
