// The preview's outputs. GIF and PNG go through libavcodec's own encoders
// (and libavformat's GIF muxer); every libav handle lives in a holder whose
// destructor frees it, so each early return releases everything.
#include "preview/render.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

namespace {

// A shade's place among the four, darkest first.
int shade_index(uint8_t level) { return (level + kDarkGrey / 2) / kDarkGrey; }

std::string av_message(const char* what, int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_make_error_string(buf, sizeof buf, err);
  return std::string(what) + ": " + buf;
}

struct Codec {
  AVCodecContext* ctx = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  ~Codec() {
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
  }
};

// Opens `id`'s encoder for width x height pictures of `fmt` and allocates a
// frame and a packet for it.
bool open_encoder(Codec& c, AVCodecID id, AVPixelFormat fmt, int width, int height,
                  bool globalheader, std::string& error) {
  const AVCodec* codec = avcodec_find_encoder(id);
  if (!codec) {
    error = std::string("no ") + avcodec_get_name(id) + " encoder in this libavcodec";
    return false;
  }
  c.ctx = avcodec_alloc_context3(codec);
  c.frame = av_frame_alloc();
  c.pkt = av_packet_alloc();
  if (!c.ctx || !c.frame || !c.pkt) {
    error = "out of memory";
    return false;
  }
  c.ctx->width = width;
  c.ctx->height = height;
  c.ctx->pix_fmt = fmt;
  c.ctx->time_base = AVRational{1, kFramesPerSecond};
  c.ctx->framerate = AVRational{kFramesPerSecond, 1};
  if (globalheader) c.ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int r = avcodec_open2(c.ctx, codec, nullptr);
  if (r < 0) {
    error = av_message("cannot open the encoder", r);
    return false;
  }
  c.frame->format = fmt;
  c.frame->width = width;
  c.frame->height = height;
  r = av_frame_get_buffer(c.frame, 0);
  if (r < 0) {
    error = av_message("cannot allocate a picture", r);
    return false;
  }
  return true;
}

// A half-written picture is worth nothing, but only a plain file of our own
// making goes: never a device, a pipe or a link someone pointed us through.
void remove_partial(const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISREG(st.st_mode)) std::remove(path);
}

struct Muxer {
  AVFormatContext* oc = nullptr;
  const char* path = nullptr;
  bool created = false;  // the output file exists and is ours to remove
  bool started = false;  // the header is written: the muxer holds a packet back
  bool done = false;
  ~Muxer() {
    // Only the trailer frees the packet the GIF muxer holds back, even when
    // the file is being abandoned after a failed write.
    if (started && !done) av_write_trailer(oc);
    if (oc && oc->pb) avio_closep(&oc->pb);
    avformat_free_context(oc);
    if (created && !done) remove_partial(path);
  }
};

// Sends `frame` (nullptr to flush) and writes every packet that comes out;
// false with `error` set, telling a failing encoder from a failing write.
bool encode(Codec& c, AVFrame* frame, Muxer& m, AVStream* st, std::string& error) {
  int r = avcodec_send_frame(c.ctx, frame);
  while (r >= 0) {
    r = avcodec_receive_packet(c.ctx, c.pkt);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
    if (r < 0) break;
    c.pkt->duration = 1;  // one tenth of a second, whatever the encoder left there
    av_packet_rescale_ts(c.pkt, c.ctx->time_base, st->time_base);
    c.pkt->stream_index = st->index;
    r = av_interleaved_write_frame(m.oc, c.pkt);
    if (r < 0) {
      error = av_message((std::string("cannot write ") + m.path).c_str(), r);
      return false;
    }
  }
  error = av_message("cannot encode the GIF", r);
  return false;
}

std::string read_failed(int64_t index) {
  return "cannot read frame " + std::to_string(index) + " (did the file change?)";
}

// Label font: 3 x 5 digits, one row per byte, bit 2 the left column.
constexpr uint8_t kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};
constexpr int kDigitW = 3, kDigitH = 5, kDigitAdvance = 4;
constexpr uint8_t kSheetBackground[3] = {96, 112, 144};  // unlike any display shade
constexpr uint8_t kLabelColour[3] = {255, 255, 255};

void fill_rgb(uint8_t* p, const uint8_t rgb[3]) { std::memcpy(p, rgb, 3); }

// Draws `text` (digits only) with its top-left corner at x, y.
void draw_number(AVFrame* f, int x, int y, int size, const std::string& text) {
  for (char ch : text) {
    const uint8_t* glyph = kDigits[ch - '0'];
    for (int gy = 0; gy < kDigitH * size; ++gy)
      for (int gx = 0; gx < kDigitW * size; ++gx)
        if (glyph[gy / size] >> (kDigitW - 1 - gx / size) & 1)
          fill_rgb(f->data[0] + (y + gy) * f->linesize[0] + (x + gx) * 3, kLabelColour);
    x += kDigitAdvance * size;
  }
}

}  // namespace

bool write_gif(VidxFile& video, const char* path, int scale, std::string& error) {
  const int width = kWidth * scale, height = kHeight * scale;
  Muxer m;
  m.path = path;
  int r = avformat_alloc_output_context2(&m.oc, nullptr, "gif", path);
  if (r < 0 || !m.oc) {
    error = av_message("no GIF muxer in this libavformat", r);
    return false;
  }
  Codec c;
  if (!open_encoder(c, AV_CODEC_ID_GIF, AV_PIX_FMT_PAL8, width, height,
                    m.oc->oformat->flags & AVFMT_GLOBALHEADER, error))
    return false;
  AVStream* st = avformat_new_stream(m.oc, nullptr);
  if (!st) {
    error = "out of memory";
    return false;
  }
  st->time_base = c.ctx->time_base;
  r = avcodec_parameters_from_context(st->codecpar, c.ctx);
  if (r >= 0) {
    r = avio_open(&m.oc->pb, path, AVIO_FLAG_WRITE);
    if (r < 0) {
      error = av_message((std::string("cannot create ") + path).c_str(), r);
      return false;
    }
    m.created = true;
    r = avformat_write_header(m.oc, nullptr);
    m.started = r >= 0;
  }
  if (r < 0) {
    error = av_message("cannot start the GIF", r);
    return false;
  }

  // Palette entries 0..3 are the shades; the rest stay unused (transparent,
  // which lets the encoder mark unchanged pixels with one of them).
  uint32_t palette[256] = {};
  for (int i = 0; i < 4; ++i) palette[i] = 0xFF000000u | kShadeLevels[i] * 0x010101u;
  GreyBuffer levels;
  for (int64_t i = 0; i < video.records; ++i) {
    if (vidx_read_frame(video, i, levels) != VidxStatus::ok) {
      error = read_failed(i);
      return false;
    }
    r = av_frame_make_writable(c.frame);
    if (r < 0) {
      error = av_message("cannot allocate a picture", r);
      return false;
    }
    std::memcpy(c.frame->data[1], palette, sizeof palette);
    for (int y = 0; y < height; ++y) {
      uint8_t* row = c.frame->data[0] + y * c.frame->linesize[0];
      const uint8_t* src = &levels[y / scale * kWidth];
      for (int x = 0; x < width; ++x) row[x] = shade_index(src[x / scale]);
    }
    c.frame->pts = i;
    if (!encode(c, c.frame, m, st, error)) return false;
  }
  if (!encode(c, nullptr, m, st, error)) return false;
  r = av_write_trailer(m.oc);
  m.started = false;
  if (r >= 0) r = avio_closep(&m.oc->pb);
  if (r < 0) {
    error = av_message((std::string("cannot write ") + path).c_str(), r);
    return false;
  }
  m.done = true;
  return true;
}

int default_every(int64_t records) {
  constexpr int64_t kCells = 100;
  const int64_t seconds = (records + kFramesPerSecond * kCells - 1) / (kFramesPerSecond * kCells);
  return static_cast<int>(std::max<int64_t>(1, seconds) * kFramesPerSecond);
}

SheetLayout sheet_layout(int64_t records, int every, int scale) {
  SheetLayout s;
  s.cells = (records + every - 1) / every;
  s.columns = static_cast<int>(std::min<int64_t>(s.cells, kSheetColumns));
  s.rows = static_cast<int>(std::min<int64_t>((s.cells + kSheetColumns - 1) / kSheetColumns,
                                              kSheetMaxCells));
  s.pad = 4 * scale;
  s.digit = std::max(2, scale);  // at scale 1 the 3 x 5 digits would be unreadable
  s.cellw = kWidth * scale;
  s.cellh = kHeight * scale + s.pad + kDigitH * s.digit;
  s.width = s.pad + int64_t{s.columns} * (s.cellw + s.pad);
  s.height = s.pad + int64_t{s.rows} * (s.cellh + s.pad);
  return s;
}

bool sheet_fits(const SheetLayout& s) {
  return s.cells > 0 && s.cells <= kSheetMaxCells && s.width * s.height <= kSheetMaxPixels;
}

bool write_sheet(VidxFile& video, const char* path, int scale, int every, std::string& error) {
  const SheetLayout s = sheet_layout(video.records, every, scale);
  if (s.cells > kSheetMaxCells) {
    error = "a sheet of " + std::to_string(s.cells) + " frames is too many (at most " +
            std::to_string(kSheetMaxCells) + "); use a larger --every";
    return false;
  }
  if (!sheet_fits(s)) {
    error = "a sheet of " + std::to_string(s.cells) + " frames would be " +
            std::to_string(s.width) + " x " + std::to_string(s.height) + " pixels (at most " +
            std::to_string(kSheetMaxPixels >> 20) +
            " megapixels); use a larger --every or a smaller --scale";
    return false;
  }
  Codec c;
  if (!open_encoder(c, AV_CODEC_ID_PNG, AV_PIX_FMT_RGB24, static_cast<int>(s.width),
                    static_cast<int>(s.height), false, error))
    return false;
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x)
      fill_rgb(c.frame->data[0] + y * c.frame->linesize[0] + x * 3, kSheetBackground);

  GreyBuffer levels;
  for (int64_t cell = 0; cell < s.cells; ++cell) {
    const int64_t index = cell * every;
    if (vidx_read_frame(video, index, levels) != VidxStatus::ok) {
      error = read_failed(index);
      return false;
    }
    const int left = s.pad + static_cast<int>(cell % kSheetColumns) * (s.cellw + s.pad);
    const int top = s.pad + static_cast<int>(cell / kSheetColumns) * (s.cellh + s.pad);
    for (int y = 0; y < kHeight * scale; ++y) {
      uint8_t* row = c.frame->data[0] + (top + y) * c.frame->linesize[0] + left * 3;
      for (int x = 0; x < kWidth * scale; ++x)
        std::memset(row + x * 3, levels[y / scale * kWidth + x / scale], 3);
    }
    const std::string label = std::to_string(index);
    const int textw = (static_cast<int>(label.size()) * kDigitAdvance - 1) * s.digit;
    draw_number(c.frame, left + (s.cellw - textw) / 2, top + kHeight * scale + s.pad, s.digit,
                label);
  }

  c.frame->pts = 0;
  int r = avcodec_send_frame(c.ctx, c.frame);
  if (r >= 0) r = avcodec_send_frame(c.ctx, nullptr);
  if (r >= 0) r = avcodec_receive_packet(c.ctx, c.pkt);
  if (r < 0) {
    error = av_message("cannot encode the PNG", r);
    return false;
  }
  std::FILE* f = std::fopen(path, "wb");
  if (!f) {
    error = std::string("cannot create ") + path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(c.pkt->data, 1, c.pkt->size, f) == size_t(c.pkt->size);
  if (std::fclose(f) != 0 || !written) {
    error = std::string("cannot write ") + path + ": " + std::strerror(errno);
    remove_partial(path);
    return false;
  }
  return true;
}

std::string render_text(const GreyBuffer& frame) {
  // xterm-256 colours nearest to the shades: black, grey 88, grey 168, white.
  constexpr int kColour[4] = {16, 240, 248, 231};
  std::string out;
  out.reserve(kPixels * 4);
  for (int y = 0; y < kHeight; y += 2) {
    int fg = -1, bg = -1;
    for (int x = 0; x < kWidth; ++x) {
      const int top = kColour[shade_index(frame[y * kWidth + x])];
      const int bottom = kColour[shade_index(frame[(y + 1) * kWidth + x])];
      if (top != fg && bottom != bg)
        out += "\x1b[38;5;" + std::to_string(top) + ";48;5;" + std::to_string(bottom) + "m";
      else if (top != fg)
        out += "\x1b[38;5;" + std::to_string(top) + "m";
      else if (bottom != bg)
        out += "\x1b[48;5;" + std::to_string(bottom) + "m";
      fg = top;
      bg = bottom;
      out += "\u2580";  // upper half block
    }
    out += "\x1b[0m\n";
  }
  return out;
}
