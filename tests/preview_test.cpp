// Preview: files written by the project's own writer read back exactly, bad
// files refused with one line, and the GIF, PNG and terminal outputs checked
// by decoding them again.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "frame/frame.h"
#include "preview/render.h"
#include "test_support.h"
#include "videofile/videofile.h"

namespace {

const std::string kUsageFirstLine = "Usage: vidxview FILE.8xx ACTION [options]\n";

RunResult vidxview(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {VIDXVIEW_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv);
}

// ---- the command: arguments and bad files ----

TEST(PreviewCommand, BadFilesGetOneLineAndStatus1) {
  TempDir dir;
  const std::string path = dir / "bad.8xx";
  for (const BadVideoFile& b : bad_video_files()) {
    SCOPED_TRACE(b.name);
    write_bytes(path, b.bytes);
    for (const char* action : {"--info", "--play"}) {
      const RunResult r = vidxview({path, action});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "vidxview: " + path + ": " + b.line + "\n");
    }
    const RunResult r = vidxview({path, "--gif", dir / "out.gif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(dir / "out.gif"));
  }
  RunResult r = vidxview({dir / "missing.8xx", "--info"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vidxview: cannot open " + (dir / "missing.8xx") +
                       ": No such file or directory\n");
  r = vidxview({dir.path(), "--info"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vidxview: " + dir.path() + ": not a regular file\n");
}

TEST(PreviewCommand, UsageOnBadArguments) {
  TempDir dir;
  const std::string v = dir / "v.8xx";
  ASSERT_TRUE(write_video(v, make_frames(2, 0, 3), 0, 2));
  const struct {
    std::vector<std::string> args;
    std::string problem;
  } cases[] = {
      {{}, "no video file given"},
      {{"--play"}, "no video file given"},
      {{v}, "no action given"},
      {{v, "--scale", "2"}, "no action given"},
      {{v, "--play", "--info"}, "give only one action"},
      {{v, "--gif", "a.gif", "--png", "b.png"}, "give only one action"},
      {{v, "--gif"}, "--gif needs an output file name"},
      {{v, "--png"}, "--png needs an output file name"},
      {{v, "--gif", "a.gif", "--scale"}, "--scale needs a whole number from 1 to 16"},
      {{v, "--gif", "a.gif", "--scale", "0"}, "--scale needs a whole number from 1 to 16"},
      {{v, "--gif", "a.gif", "--scale", "17"}, "--scale needs a whole number from 1 to 16"},
      {{v, "--gif", "a.gif", "--scale", "2x"}, "--scale needs a whole number from 1 to 16"},
      {{v, "--png", "a.png", "--every", "0"}, "--every needs a whole number from 1 to 1000000"},
      {{v, "--png", "a.png", "--every", "-5"}, "--every needs a whole number from 1 to 1000000"},
      {{v, "--gif", "a.gif", "--every", "5"}, "--every goes with --png"},
      {{v, "--play", "--scale", "2"}, "--scale goes with --gif or --png"},
      {{v, "--play", "-x"}, "unknown option -x"},
      {{v, "--gif=a.gif"}, "unknown option --gif=a.gif"},
      {{v, v, "--play"}, "unexpected argument " + v + " (one video file at a time)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.problem);
    const RunResult r = vidxview(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "vidxview: " + c.problem + "\n");
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1, kUsageFirstLine.size()), kUsageFirstLine);
  }
  EXPECT_FALSE(file_exists("a.gif"));
  const RunResult help = vidxview({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.substr(0, kUsageFirstLine.size()), kUsageFirstLine);
  EXPECT_EQ(help.err, "");
}

TEST(PreviewCommand, InfoAndCountNote) {
  TempDir dir;
  const std::string v = dir / "v.8xx";
  ASSERT_TRUE(write_video(v, make_frames(25, 1, 4), 1, 25));
  RunResult r = vidxview({v, "--info"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, v + ": 4 shades, 25 frames, 2.5 seconds\n");
  EXPECT_EQ(r.err, "");

  // A 25 fps source of 11 frames: the header says 4 tenths, 5 records follow.
  ASSERT_TRUE(write_video(v, make_frames(5, 0, 4), 0, 4));
  r = vidxview({v, "--info"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, v + ": 2 shades, 5 frames, 0.5 seconds\n");
  EXPECT_EQ(r.err, "vidxview: note: the header announces 4 frames, the file holds 5; showing 5\n");
  r = vidxview({v, "--gif", dir / "v.gif"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "vidxview: note: the header announces 4 frames, the file holds 5; showing 5\n");
}

TEST(PreviewCommand, HeaderOnlyFileHasNothingToShow) {
  TempDir dir;
  const std::string v = dir / "v.8xx";
  ASSERT_TRUE(write_video(v, {}, 0, 0));
  EXPECT_EQ(vidxview({v, "--info"}).out, v + ": 2 shades, 0 frames, 0.0 seconds\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{v, "--gif", dir / "o"}, {v, "--png", dir / "o"}, {v, "--play"}}) {
    const RunResult r = vidxview(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vidxview: " + v + ": holds no frames, only a header\n");
    EXPECT_FALSE(file_exists(dir / "o"));
  }
}

TEST(PreviewCommand, NeverOverwritesItsInput) {
  TempDir dir;
  const std::string v = dir / "v.8xx";
  ASSERT_TRUE(write_video(v, make_frames(3, 0, 5), 0, 3));
  const std::string before = read_file(v);
  for (const char* action : {"--gif", "--png"}) {
    const RunResult r = vidxview({v, action, dir.path() + "/./v.8xx"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vidxview: " + dir.path() + "/./v.8xx" +
                         " is the video file itself; choose another output name\n");
  }
  EXPECT_EQ(read_file(v), before);
}

TEST(PreviewCommand, UnwritableOutput) {
  TempDir dir;
  const std::string v = dir / "v.8xx";
  ASSERT_TRUE(write_video(v, make_frames(3, 0, 5), 0, 3));
  const std::string gif = dir / "no/such/dir/v.gif";
  RunResult r = vidxview({v, "--gif", gif});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vidxview: cannot create " + gif + ": No such file or directory\n");
  const std::string png = dir / "no/such/dir/v.png";
  r = vidxview({v, "--png", png});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vidxview: cannot create " + png + ": No such file or directory\n");
}

TEST(PreviewCommand, FailedWriteRemovesOnlyItsOwnFile) {
  TempDir dir;
  const std::string v = dir / "v.8xx";
  ASSERT_TRUE(write_video(v, make_frames(30, 1, 5), 1, 30));
  for (const char* action : {"--gif", "--png"}) {
    SCOPED_TRACE(action);
    // Through a link to a device that is always full: the write fails, and
    // neither the link nor the device is deleted for it.
    const std::string link = dir / "full";
    std::filesystem::create_symlink("/dev/full", link);
    const RunResult r = vidxview({v, action, link});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vidxview: cannot write " + link + ": No space left on device\n");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    std::filesystem::remove(link);
  }
}

// ---- decoding what the command wrote ----

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // 3 bytes a pixel
  const uint8_t* at(int x, int y) const { return &rgb[(size_t(y) * width + x) * 3]; }
};

// Decodes every picture of an image or animation with libav, as RGB.
std::vector<Picture> decode_all(const std::string& path) {
  std::vector<Picture> out;
  AVFormatContext* fc = nullptr;
  if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) return out;
  avformat_find_stream_info(fc, nullptr);
  const AVCodec* codec = nullptr;
  const int si = av_find_best_stream(fc, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  AVCodecContext* dc = nullptr;
  if (si >= 0 && codec) {
    dc = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dc, fc->streams[si]->codecpar);
    avcodec_open2(dc, codec, nullptr);
  }
  AVPacket* pkt = av_packet_alloc();
  AVFrame* fr = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(dc, fr) >= 0) {
      Picture p;
      p.width = fr->width;
      p.height = fr->height;
      for (int y = 0; y < fr->height; ++y)
        for (int x = 0; x < fr->width; ++x) {
          const uint8_t* s = fr->data[0] + y * fr->linesize[0];
          switch (fr->format) {
            case AV_PIX_FMT_BGRA: p.rgb.insert(p.rgb.end(), {s[4 * x + 2], s[4 * x + 1], s[4 * x]}); break;
            case AV_PIX_FMT_RGBA: p.rgb.insert(p.rgb.end(), {s[4 * x], s[4 * x + 1], s[4 * x + 2]}); break;
            case AV_PIX_FMT_RGB24: p.rgb.insert(p.rgb.end(), {s[3 * x], s[3 * x + 1], s[3 * x + 2]}); break;
            default: ADD_FAILURE() << "unexpected pixel format " << fr->format; return;
          }
        }
      out.push_back(std::move(p));
    }
  };
  while (dc && av_read_frame(fc, pkt) >= 0) {
    if (pkt->stream_index == si && avcodec_send_packet(dc, pkt) >= 0) drain();
    av_packet_unref(pkt);
  }
  if (dc && avcodec_send_packet(dc, nullptr) >= 0) drain();
  av_frame_free(&fr);
  av_packet_free(&pkt);
  avcodec_free_context(&dc);
  avformat_close_input(&fc);
  return out;
}

// The graphic control extension of each GIF picture: delay in hundredths.
std::vector<int> gif_delays(const std::string& gif) {
  std::vector<int> delays;
  for (size_t i = gif.find("\x21\xF9\x04"); i != std::string::npos && i + 6 <= gif.size();
       i = gif.find("\x21\xF9\x04", i + 1))
    delays.push_back(uint8_t(gif[i + 4]) | uint8_t(gif[i + 5]) << 8);
  return delays;
}

TEST(PreviewGif, DecodesToTheFramesAtEveryPixel) {
  const struct {
    int32_t grey;
    int frames;
    std::vector<std::string> scale;
    int factor;
  } cases[] = {{0, 4, {}, 4}, {1, 12, {"--scale", "3"}, 3}, {2, 3, {"--scale", "1"}, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE("grey " + std::to_string(c.grey) + " scale " + std::to_string(c.factor));
    TempDir dir;
    const std::vector<GreyBuffer> frames = make_frames(c.frames, c.grey, 11);
    ASSERT_TRUE(write_video(dir / "v.8xx", frames, c.grey, c.frames));
    std::vector<std::string> args = {dir / "v.8xx", "--gif", dir / "v.gif"};
    args.insert(args.end(), c.scale.begin(), c.scale.end());
    const RunResult r = vidxview(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const int w = kWidth * c.factor, h = kHeight * c.factor;
    EXPECT_EQ(r.out, (dir / "v.gif") + ": " + std::to_string(c.frames) + " frames of " +
                         std::to_string(w) + " x " + std::to_string(h) + "\n");

    const std::vector<Picture> pics = decode_all(dir / "v.gif");
    ASSERT_EQ(pics.size(), size_t(c.frames));
    std::set<int> shades;
    for (int i = 0; i < c.frames; ++i) {
      ASSERT_EQ(pics[i].width, w);
      ASSERT_EQ(pics[i].height, h);
      int wrong = 0;
      for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
          const uint8_t want = frames[i][y * kWidth + x];
          shades.insert(want);
          // Both corners of the pixel's block.
          for (const uint8_t* p : {pics[i].at(x * c.factor, y * c.factor),
                                   pics[i].at(x * c.factor + c.factor - 1, y * c.factor + c.factor - 1)})
            wrong += p[0] != want || p[1] != want || p[2] != want;
        }
      EXPECT_EQ(wrong, 0) << "frame " << i;
    }
    EXPECT_EQ(shades.size(), c.grey ? 4u : 2u);
    // Ten pictures a second: 10 hundredths each.
    EXPECT_EQ(gif_delays(read_file(dir / "v.gif")), std::vector<int>(c.frames, 10));
  }
}

// ---- the contact sheet ----

TEST(PreviewSheet, DefaultStep) {
  const struct {
    int64_t records;
    int every;
  } cases[] = {{0, 10}, {1, 10}, {25, 10}, {1000, 10}, {1001, 20}, {6000, 60}, {6001, 70}};
  for (const auto& c : cases) {
    EXPECT_EQ(default_every(c.records), c.every) << c.records;
    EXPECT_LE(sheet_layout(c.records, c.every, 2).cells, 100);
  }
}

TEST(PreviewSheet, LayoutAndLimits) {
  // 25 frames, every 10th: cells 0, 10, 20 in one row. Scale 2: 8-pixel pad,
  // 192 x 128 frames, a 10-pixel label 8 pixels below each.
  SheetLayout s = sheet_layout(25, 10, 2);
  EXPECT_EQ(s.cells, 3);
  EXPECT_EQ(s.columns, 3);
  EXPECT_EQ(s.rows, 1);
  EXPECT_EQ(s.width, 8 + 3 * (192 + 8));
  EXPECT_EQ(s.height, 8 + 128 + 8 + 10 + 8);
  EXPECT_TRUE(sheet_fits(s));
  s = sheet_layout(101, 10, 1);  // 11 cells: a full row and one more
  EXPECT_EQ(s.columns, 10);
  EXPECT_EQ(s.rows, 2);
  EXPECT_EQ(s.digit, 2);  // never smaller than 2
  EXPECT_FALSE(sheet_fits(sheet_layout(1001, 1, 1)));   // too many cells
  EXPECT_TRUE(sheet_fits(sheet_layout(1000, 1, 1)));
  EXPECT_FALSE(sheet_fits(sheet_layout(1000, 1, 16)));  // too many pixels
  EXPECT_FALSE(sheet_fits(sheet_layout(0, 10, 1)));     // nothing to show
}

TEST(PreviewSheet, PngHasTheFramesAndLabels) {
  TempDir dir;
  const std::vector<GreyBuffer> frames = make_frames(25, 1, 21);
  ASSERT_TRUE(write_video(dir / "v.8xx", frames, 1, 25));
  const RunResult r = vidxview({dir / "v.8xx", "--png", dir / "s.png"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, (dir / "s.png") + ": 3 frames (every 10), 608 x 162\n");
  const std::vector<Picture> pics = decode_all(dir / "s.png");
  ASSERT_EQ(pics.size(), 1u);
  const Picture& p = pics[0];
  ASSERT_EQ(p.width, 608);
  ASSERT_EQ(p.height, 162);
  // The cell of frame 10 starts at x = 8 + 200, y = 8, 2 x 2 pixels per pixel.
  int wrong = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t want = frames[10][y * kWidth + x];
      const uint8_t* got = p.at(208 + 2 * x + 1, 8 + 2 * y + 1);
      wrong += got[0] != want || got[1] != want || got[2] != want;
    }
  EXPECT_EQ(wrong, 0);
  const std::vector<uint8_t> background = {96, 112, 144}, white = {255, 255, 255};
  auto px = [&](int x, int y) { return std::vector<uint8_t>(p.at(x, y), p.at(x, y) + 3); };
  EXPECT_EQ(px(0, 0), background);
  EXPECT_EQ(px(607, 161), background);
  // Label "0" centred under the first frame: 6 pixels wide from x = 101, at
  // y = 144; its top row is solid, the middle of its third row hollow.
  EXPECT_EQ(px(101, 144), white);
  EXPECT_EQ(px(106, 145), white);
  EXPECT_EQ(px(103, 148), background);
  EXPECT_EQ(px(100, 144), background);
  // Label "20" under the third frame: 14 pixels wide from x = 8 + 400 + 89.
  EXPECT_EQ(px(497, 144), white);
  EXPECT_EQ(px(510, 153), white);  // bottom-right of the 0
  EXPECT_EQ(px(503, 144), background);  // the gap between the digits
}

TEST(PreviewSheet, EveryAndScaleOptionsAndTooBig) {
  TempDir dir;
  ASSERT_TRUE(write_video(dir / "v.8xx", make_frames(12, 0, 3), 0, 12));
  RunResult r = vidxview({dir / "v.8xx", "--png", dir / "s.png", "--every", "1", "--scale", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<Picture> pics = decode_all(dir / "s.png");
  ASSERT_EQ(pics.size(), 1u);
  const SheetLayout s = sheet_layout(12, 1, 1);
  EXPECT_EQ(pics[0].width, s.width);
  EXPECT_EQ(pics[0].height, s.height);
  EXPECT_EQ(s.width, 4 + 10 * 100);
  EXPECT_EQ(s.height, 4 + 2 * (64 + 4 + 10 + 4));

  ASSERT_TRUE(write_video(dir / "long.8xx", make_frames(1001, 0, 3), 0, 1001));
  r = vidxview({dir / "long.8xx", "--png", dir / "l.png", "--every", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "vidxview: a sheet of 1001 frames is too many (at most 1000); use a larger --every\n");
  EXPECT_FALSE(file_exists(dir / "l.png"));
  r = vidxview({dir / "long.8xx", "--png", dir / "l.png", "--every", "2", "--scale", "9"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "vidxview: a sheet of 501 frames would be 9036 x 35379 pixels (at most 40 megapixels); "
            "use a larger --every or a smaller --scale\n");
  EXPECT_FALSE(file_exists(dir / "l.png"));
}

// ---- the terminal ----

std::string blocks(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "\u2580";
  return s;
}

TEST(PreviewText, RendersHalfBlocksWithColourChangesOnly) {
  GreyBuffer f;
  f.fill(255);
  const std::string white_line = "\x1b[38;5;231;48;5;231m" + blocks(kWidth) + "\x1b[0m\n";
  std::string all_white;
  for (int i = 0; i < kHeight / 2; ++i) all_white += white_line;
  EXPECT_EQ(render_text(f), all_white);

  f[0] = 0;                  // top of column 0
  f[kWidth + 1] = 85;        // bottom of column 1
  f[2] = 170;                // top of column 2
  f[63 * kWidth + 95] = 0;   // bottom-right pixel
  const std::string first = "\x1b[38;5;16;48;5;231m" + blocks(1) + "\x1b[38;5;231;48;5;240m" +
                            blocks(1) + "\x1b[38;5;248;48;5;231m" + blocks(1) +
                            "\x1b[38;5;231m" + blocks(93) + "\x1b[0m\n";
  const std::string last = "\x1b[38;5;231;48;5;231m" + blocks(95) + "\x1b[48;5;16m" +
                           blocks(1) + "\x1b[0m\n";
  std::string want = first;
  for (int i = 1; i < kHeight / 2 - 1; ++i) want += white_line;
  want += last;
  EXPECT_EQ(render_text(f), want);
}

TEST(PreviewPlay, ToAFileWritesEveryFrameWithoutCursorControl) {
  TempDir dir;
  const std::vector<GreyBuffer> frames = make_frames(12, 1, 9);
  ASSERT_TRUE(write_video(dir / "v.8xx", frames, 1, 12));
  const RunResult r = vidxview({dir / "v.8xx", "--play"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string want;
  for (int i = 0; i < 12; ++i)
    want += render_text(frames[i]) + "frame " + std::to_string(i) + "  " + std::to_string(i / 10) +
            "." + std::to_string(i % 10) + " s / 1.2 s\n";
  EXPECT_TRUE(r.out == want) << "output of " << r.out.size() << " bytes differs";
  EXPECT_EQ(r.err, "");
}

// Runs vidxview --play on a pseudo-terminal of the given size; sends SIGINT
// once `interrupt_after` status lines have appeared (never if 0).
struct PtyRun {
  std::string out;
  int status = -1;
};
PtyRun play_on_pty(const std::string& video, int cols, int rows, int interrupt_after) {
  PtyRun run;
  winsize ws{};
  ws.ws_col = cols;
  ws.ws_row = rows;
  int fd = -1;
  const pid_t pid = forkpty(&fd, nullptr, nullptr, &ws);
  if (pid == 0) {
    execl(VIDXVIEW_BIN, VIDXVIEW_BIN, video.c_str(), "--play", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return run;
  bool sent = false;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;  // a hang ends the test, not the suite
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    run.out.append(buf, n);
    size_t lines = 0;
    for (size_t i = run.out.find("frame "); i != std::string::npos; i = run.out.find("frame ", i + 1))
      ++lines;
    if (interrupt_after && !sent && lines >= size_t(interrupt_after)) {
      kill(pid, SIGINT);
      sent = true;
    }
  }
  close(fd);
  int ws_status = 0;
  if (!sent && interrupt_after) kill(pid, SIGKILL);
  waitpid(pid, &ws_status, 0);
  run.status = WIFEXITED(ws_status) ? WEXITSTATUS(ws_status) : 128 + WTERMSIG(ws_status);
  return run;
}

TEST(PreviewPlay, CtrlCStopsAndRestoresTheTerminal) {
  TempDir dir;
  ASSERT_TRUE(write_video(dir / "v.8xx", make_frames(600, 0, 1), 0, 600));  // a minute
  const PtyRun run = play_on_pty(dir / "v.8xx", 100, 40, 3);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.substr(0, 13), "\x1b[?25l\x1b[2J\x1b[H");
  ASSERT_GE(run.out.size(), 10u);
  EXPECT_EQ(run.out.substr(run.out.size() - 10), "\x1b[0m\x1b[?25h");
  EXPECT_EQ(run.out.find("frame 599"), std::string::npos);  // stopped early
}

TEST(PreviewPlay, OnATerminalEndsRestoredAfterTheLastFrame) {
  TempDir dir;
  ASSERT_TRUE(write_video(dir / "v.8xx", make_frames(3, 1, 1), 1, 3));
  const PtyRun run = play_on_pty(dir / "v.8xx", 96, 33, 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("frame 2  0.2 s / 0.3 s"), std::string::npos);
  ASSERT_GE(run.out.size(), 10u);
  EXPECT_EQ(run.out.substr(run.out.size() - 10), "\x1b[0m\x1b[?25h");
}

TEST(PreviewPlay, RefusesATerminalTooSmall) {
  TempDir dir;
  ASSERT_TRUE(write_video(dir / "v.8xx", make_frames(3, 0, 1), 0, 3));
  for (const auto& [cols, rows] : {std::pair{95, 40}, std::pair{120, 32}}) {
    const PtyRun run = play_on_pty(dir / "v.8xx", cols, rows, 0);
    EXPECT_EQ(run.status, 1);
    // The terminal turns "\n" into "\r\n"; nothing else reaches it.
    EXPECT_EQ(run.out, "vidxview: the terminal is " + std::to_string(cols) + " x " +
                           std::to_string(rows) + " characters; --play needs at least 96 x 33\r\n");
  }
}

}  // namespace
