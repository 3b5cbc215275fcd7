// The browser page's entry into the shared C++ core, compiled to WebAssembly:
// the page's JavaScript decodes the movie (WebCodecs) and hands each picture
// here, where the same settings parser, sizing rule, frame clock, scaling,
// frame pipeline and video file writer as the command line's turn it into
// records. One movie at a time; every buffer is owned here and reused.
// Pictures come in through two slots, each with its own input buffer,
// scaler and display bitmap: slot 0 is the preview's and the conversion's,
// slot 1 the background pass's that keeps every frame's bitmap for the
// preview, so that pass never disturbs the picture the preview holds.
#include <emscripten/emscripten.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frame/pipeline.h"
#include "movie/builtin/area_scale.h"
#include "movie/builtin/frame_choice.h"
#include "movie/builtin/h264.h"
#include "movie/sizing.h"
#include "settings/settings.h"
#include "videofile/videofile.h"

namespace {

constexpr const char* kOutput = "/out.8xx";  // in the module's memory file system
constexpr const char* kOpened = "/opened.8xx";
constexpr int kMatrixSize = 9;

// Picture layouts as the page names them (VideoFrame formats and canvas pixels).
enum Layout { kI420, kI422, kI444, kNV12, kRGBA, kRGBX, kBGRA, kBGRX, kLayouts };

constexpr int kSlots = 2;

struct Slot {
  AreaScaler scaler;
  std::vector<uint8_t> input;  // the picture's planes, as the page copies them in
  std::array<uint8_t, kDisplayDibBytes> dib{};
  bool dib_valid = false;
};

struct Page {
  ConversionSettings settings;
  PipelineOptions options;
  std::string message;  // what parsing printed, or why a step failed

  FrameSize in, out;
  Placement placement;
  FrameClock clock;
  std::array<int32_t, 8> sizes{};  // in, out, turn: read by the page
  // Changes whenever the placement does: bitmaps kept from an older one are stale.
  int32_t placement_version = 0;

  std::array<Slot, kSlots> slots;

  FrameState state;  // the conversion's
  VideoWriter writer;
  int64_t position = 0;
  bool keep_greys = false;
  std::vector<uint8_t> greys;  // each record's sampled grey, for the page's tests

  FrameState preview;
  GreyBuffer shown{};  // the preview's or the player's frame, in screen shades

  VidxFile video;
};

Page& page() {
  static Page p;
  return p;
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

constexpr const char* kKindNames[] = {"flag", "choice", "number", "time", "kernel", "decimal"};

// MP4 keeps a movie's matrix and each track's; what is shown is their
// product, 16.16 but the last column's 2.30, worked out as libavformat does.
std::array<int32_t, kMatrixSize> combine(const int32_t* track, const int32_t* movie) {
  constexpr int kShift[3] = {16, 16, 30};
  std::array<int32_t, kMatrixSize> out{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      int64_t sum = 0;
      for (int e = 0; e < 3; ++e) sum += (int64_t{track[i * 3 + e]} * movie[e * 3 + j]) >> kShift[e];
      out[i * 3 + j] = static_cast<int32_t>(sum);
    }
  return out;
}

// Writes the held picture's record `count` times at most, for the positions
// before `until` (a timestamp) inside the clip; the number written, or -1.
int emit_until(Page& p, int64_t until) {
  int written = 0;
  while (p.clock.in_clip(p.position) && p.clock.sample_time(p.position) < until) {
    const Slot& held = p.slots[0];
    if (!held.dib_valid || !process_frame(held.dib, p.options, p.state)) {
      p.message = "no picture for the frame at " + std::to_string(p.position * kMsPerFrame) + " ms";
      return -1;
    }
    if (!p.writer.write_record(p.state.final, p.state.final2, p.options.shades)) {
      p.message = "the video could not be written: the page's memory may be full";
      return -1;
    }
    if (p.keep_greys) {
      GreyBuffer grey;
      sample(held.dib, grey);
      p.greys.insert(p.greys.end(), grey.begin(), grey.end());
    }
    ++p.position;
    ++written;
  }
  return written;
}

}  // namespace

extern "C" {

// The option table as JSON: [{name, long, kind, choices, default, help,
// label, words, seldom}].
EMSCRIPTEN_KEEPALIVE const char* movdith_options() {
  static std::string json;
  json = "[";
  for (const OptionInfo& o : option_table()) {
    if (json.size() > 1) json += ",";
    json += "{\"name\":" + json_string(o.name) + ",\"long\":" + (o.long_option ? "true" : "false") +
            ",\"kind\":" + json_string(kKindNames[static_cast<int>(o.kind)]) + ",\"choices\":" + json_string(o.choices) +
            ",\"default\":" + json_string(o.fallback) + ",\"help\":" + json_string(o.help) +
            ",\"label\":" + json_string(o.label) + ",\"words\":" + json_string(o.words) +
            ",\"seldom\":" + (o.seldom ? "true" : "false") + "}";
  }
  json += "]";
  return json.c_str();
}

// Parses a command line (program, movie, output, options) exactly as the
// program does; 1 if it may run. movdith_message() holds what it printed.
EMSCRIPTEN_KEEPALIVE int movdith_settings(int argc, const char* const* argv) {
  Page& p = page();
  char* text = nullptr;
  size_t length = 0;
  std::FILE* console = open_memstream(&text, &length);
  if (!console) return 0;
  const bool ok = parse_settings(argc, argv, p.settings, console);
  std::fclose(console);
  p.message.assign(text, length);
  std::free(text);
  if (ok) p.options = pipeline_options(p.settings);
  return ok ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE const char* movdith_message() { return page().message.c_str(); }

// The movie's picture: its stored size, pixel shape (0 when unknown) and
// display matrices (null for none). Works out the sizes the command line
// prints; 0 when the picture cannot be fitted. movdith_sizes() then holds
// in width, in height, out width, out height, quarter turns, mirrors.
EMSCRIPTEN_KEEPALIVE int movdith_place(uint32_t width, uint32_t height, double sar_num, double sar_den,
                                       const int32_t* track_matrix, const int32_t* movie_matrix) {
  Page& p = page();
  Turn turn;
  if (track_matrix && movie_matrix) turn = turn_from_matrix(combine(track_matrix, movie_matrix));
  p.in = displayed_size(width, height, int64_t(sar_num), int64_t(sar_den), turn);
  OutputSize scaled;
  if (!fit_size(p.in.width, p.in.height, p.settings.fit, scaled)) {
    p.message = "the picture cannot be fitted to 96 x 64";
    return 0;
  }
  p.out = {scaled.outw, scaled.outh};
  const Placement placement{p.out, turn, p.settings.fit};
  const Placement& was = p.placement;
  if (placement.scaled.width != was.scaled.width || placement.scaled.height != was.scaled.height ||
      placement.turn.quarter != was.turn.quarter || placement.turn.hflip != was.turn.hflip ||
      placement.turn.vflip != was.turn.vflip || placement.fit != was.fit)
    ++p.placement_version;
  p.placement = placement;
  p.sizes = {int32_t(p.in.width), int32_t(p.in.height), int32_t(p.out.width), int32_t(p.out.height),
             turn.quarter,        turn.hflip,            turn.vflip,            0};
  return 1;
}

EMSCRIPTEN_KEEPALIVE const int32_t* movdith_sizes() { return page().sizes.data(); }
EMSCRIPTEN_KEEPALIVE int movdith_placement_version() { return page().placement_version; }

// The clip's clock for a stream ticking num / den seconds whose first
// picture is at t0 (timestamps are whole ticks, exact in a double below 2^53).
EMSCRIPTEN_KEEPALIVE void movdith_clock(double num, double den, double t0) {
  Page& p = page();
  p.clock = clip_clock(p.settings.start_ms, p.settings.duration_ms);
  p.clock.time_base = {int64_t(num), int64_t(den)};
  p.clock.t0 = int64_t(t0);
}

EMSCRIPTEN_KEEPALIVE double movdith_sample_time(double pos) { return double(page().clock.sample_time(int64_t(pos))); }
EMSCRIPTEN_KEEPALIVE int movdith_in_clip(double pos) { return page().clock.in_clip(int64_t(pos)); }
EMSCRIPTEN_KEEPALIVE int movdith_shown(double pts, double next) {
  return page().clock.shown(int64_t(pts), int64_t(next));
}
EMSCRIPTEN_KEEPALIVE double movdith_estimate(double total_ms) {
  const Page& p = page();
  return double(estimated_frames(int64_t(total_ms), p.clock.start_ms, p.clock.duration_ms));
}

// Before converting: the clip the settings ask for, in a movie `total_ms`
// long whose last picture ends at tick `end` (the clock's time base and t0
// already given). The frames it is expected to give, or -1 when the command
// line would refuse it, movdith_message() saying why in its words.
EMSCRIPTEN_KEEPALIVE double movdith_plan(double total_ms, double end) {
  Page& p = page();
  const FrameClock given = p.clock;
  p.clock = clip_clock(p.settings.start_ms, p.settings.duration_ms);
  p.clock.time_base = given.time_base;
  p.clock.t0 = given.t0;
  if (p.clock.starts_past(int64_t(end))) {
    p.message = std::string(kStartError) + ": " + kStartPastEnd;
    return -1;
  }
  return movdith_estimate(total_ms);
}

// The bytes of a video file of `frames` records in the shades the settings ask for.
EMSCRIPTEN_KEEPALIVE double movdith_file_bytes(double frames) {
  return kHeaderBytes + frames * record_bytes(page().options.shades);
}

// What an H.264 stream's avcC configuration says of its colour and pixel
// shape: matrix code, full range, pixel shape; the matrix is -1 when it
// cannot be read.
EMSCRIPTEN_KEEPALIVE const int32_t* movdith_h264_signal(const uint8_t* avcc, uint32_t length) {
  static std::array<int32_t, 4> out;
  H264Signal s;
  const bool ok = read_h264_signal({avcc, length}, s);
  out = {ok ? s.matrix : -1, s.full_range, int32_t(s.sar_num), int32_t(s.sar_den)};
  return out.data();
}

// Whether an H.264 packet (`length_size` bytes before each unit) holds only
// a picture no other picture refers to, which may be left undecoded when no
// frame shows it.
EMSCRIPTEN_KEEPALIVE int movdith_unreferenced(const uint8_t* packet, uint32_t length, int length_size) {
  return unreferenced_h264({packet, length}, length_size);
}

// A buffer of `bytes` in slot `slot` for the page to copy a picture's
// planes into; it grows only when a picture needs more.
EMSCRIPTEN_KEEPALIVE uint8_t* movdith_input(uint32_t bytes, int slot) {
  Slot& s = page().slots[std::clamp(slot, 0, kSlots - 1)];
  if (s.input.size() < bytes) s.input.resize(bytes);
  return s.input.data();
}

// Scales the picture in slot `slot`'s input buffer, `layout` as above, its
// planes at offsets[i] with strides[i], into that slot's display bitmap; 1
// on success.
EMSCRIPTEN_KEEPALIVE int movdith_picture(int slot, int layout, uint32_t width, uint32_t height,
                                         const uint32_t* offsets, const uint32_t* strides, int matrix,
                                         int full_range) {
  Page& p = page();
  if (slot < 0 || slot >= kSlots || layout < 0 || layout >= kLayouts || width == 0 || height == 0) return 0;
  Slot& s = p.slots[slot];
  Picture picture;
  const uint8_t* base = s.input.data();
  const uint32_t cw = (width + 1) / 2, ch = (height + 1) / 2;
  switch (layout) {
    case kI420:
    case kI422:
    case kI444: {
      const uint32_t w = layout == kI444 ? width : cw, h = layout == kI420 ? ch : height;
      picture.channels[0] = {base + offsets[0], strides[0], 1, width, height};
      picture.channels[1] = {base + offsets[1], strides[1], 1, w, h};
      picture.channels[2] = {base + offsets[2], strides[2], 1, w, h};
      if (matrix == static_cast<int>(ColourMatrix::rgb))  // green, blue, red planes
        picture.channels = {picture.channels[2], picture.channels[0], picture.channels[1]};
      break;
    }
    case kNV12:
      picture.channels[0] = {base + offsets[0], strides[0], 1, width, height};
      picture.channels[1] = {base + offsets[1], strides[1], 2, cw, ch};
      picture.channels[2] = {base + offsets[1] + 1, strides[1], 2, cw, ch};
      break;
    default: {  // four bytes a pixel, red first or blue first
      const bool blue_first = layout == kBGRA || layout == kBGRX;
      for (int c = 0; c < 3; ++c)
        picture.channels[c] = {base + offsets[0] + (blue_first ? 2 - c : c), strides[0], 4, width, height};
      matrix = static_cast<int>(ColourMatrix::rgb);
    }
  }
  picture.colour = {static_cast<ColourMatrix>(std::clamp(matrix, 0, static_cast<int>(ColourMatrix::rgb))), full_range != 0};
  if (!s.scaler.prepared_for(picture, p.placement) && !s.scaler.prepare(picture, p.placement)) return 0;
  s.scaler.scale(picture, s.dib);
  s.dib_valid = true;
  return 1;
}

// The page wrote a bitmap it kept (from slot 1, at the current placement)
// into slot 0's: it is the preview's picture from now on.
EMSCRIPTEN_KEEPALIVE void movdith_hold_bitmap() { page().slots[0].dib_valid = true; }

// Starts a conversion into the memory file; 1 on success.
EMSCRIPTEN_KEEPALIVE int movdith_begin(int keep_greys) {
  Page& p = page();
  p.state = FrameState{};
  p.position = 0;
  p.slots[0].dib_valid = false;
  p.keep_greys = keep_greys != 0;
  p.greys.clear();
  if (!p.writer.open(kOutput) || !p.writer.write_header(p.settings.grey, 0)) {
    p.message = "the video could not be started in the page's memory";
    return 0;
  }
  return 1;
}

// A picture at `pts` has been decoded: the held picture's records for the
// positions before it are written. The count written, or -1.
EMSCRIPTEN_KEEPALIVE int movdith_due(double pts) { return emit_until(page(), int64_t(pts)); }

// Output positions written so far, and whether the clip has no more.
EMSCRIPTEN_KEEPALIVE double movdith_position() { return double(page().position); }
EMSCRIPTEN_KEEPALIVE int movdith_clip_over() { return !page().clock.in_clip(page().position); }

// The movie's last picture ends at `end`: its records are written and the
// file finished with the count of records. The count, or -1.
EMSCRIPTEN_KEEPALIVE int movdith_finish(double end) {
  Page& p = page();
  if (emit_until(p, int64_t(end)) < 0 || !p.writer.finish(p.writer.records())) {
    p.writer.abandon();
    std::remove(kOutput);
    if (p.message.empty()) p.message = "the video could not be finished";
    return -1;
  }
  return int(p.writer.records());
}

// A cancelled or failed conversion leaves nothing behind.
EMSCRIPTEN_KEEPALIVE void movdith_abandon() {
  Page& p = page();
  p.writer.abandon();
  std::remove(kOutput);
}

// The sampled grey of every record written, 96 x 64 bytes each, when asked for.
EMSCRIPTEN_KEEPALIVE const uint8_t* movdith_greys() { return page().greys.data(); }

// Slot `slot`'s display bitmap of its last picture (colour, bottom row
// first, after the header).
EMSCRIPTEN_KEEPALIVE uint8_t* movdith_bitmap(int slot) { return page().slots[std::clamp(slot, 0, kSlots - 1)].dib.data(); }

// The last picture through the pipeline as a first frame, in the shades the
// screen shows (as the video file's reader gives them); null without one.
EMSCRIPTEN_KEEPALIVE const uint8_t* movdith_preview() {
  Page& p = page();
  const Slot& held = p.slots[0];
  if (!held.dib_valid) return nullptr;
  p.preview = FrameState{};
  if (!process_frame(held.dib, p.options, p.preview)) return nullptr;
  std::array<uint8_t, 2 * kPlaneBytes> record;
  std::copy(p.preview.final.begin(), p.preview.final.end(), record.begin());
  std::copy(p.preview.final2.begin(), p.preview.final2.end(), record.begin() + kPlaneBytes);
  vidx_unpack(std::span(record.data(), size_t(record_bytes(p.options.shades))), p.options.shades, p.shown);
  return p.shown.data();
}

// Opens a video file in the memory file system (the page's result, or one
// the user opened): its record count, or -1 with movdith_message() saying why.
EMSCRIPTEN_KEEPALIVE double movdith_open_video(int converted) {
  Page& p = page();
  const VidxStatus status = vidx_open(p.video, converted ? kOutput : kOpened);
  switch (status) {
    case VidxStatus::ok:
      return double(p.video.records);
    case VidxStatus::empty:
      p.message = "the file is empty";
      break;
    case VidxStatus::short_header:
    case VidxStatus::foreign:
      p.message = "this is not a .8xx video";
      break;
    case VidxStatus::partial_record:
      p.message = "the video's last frame is cut off";
      break;
    default:
      p.message = "the video's header is damaged";
      break;
  }
  return -1;
}

EMSCRIPTEN_KEEPALIVE int movdith_video_shades() { return static_cast<int>(page().video.shades); }

// Frame `index` of the open video in screen shades; null if it cannot be read.
EMSCRIPTEN_KEEPALIVE const uint8_t* movdith_video_frame(double index) {
  Page& p = page();
  return vidx_read_frame(p.video, int64_t(index), p.shown) == VidxStatus::ok ? p.shown.data() : nullptr;
}

}  // extern "C"
