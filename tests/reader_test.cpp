// Tests for the movie reader: small AVIs made by ffmpeg and mencoder during
// the run, every position compared pixel for pixel with ffmpeg's own decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "movie/mencoder/encoder.h"
#include "movie/mencoder/reader.h"
#include "test_support.h"
#include "util/bytes.h"

namespace {

constexpr int kDibHeader = 40;

uint32_t get32(const std::string& s, size_t at) { return get_le32(bytes_of(s), at); }

void put32(std::string& s, size_t at, uint32_t v) {
  put_le32(std::span(reinterpret_cast<uint8_t*>(s.data()), s.size()), at, v);
}

// The raw AVI's frame chunks ("00dc" or "00db" and the size of one picture).
std::vector<size_t> raw_chunks(const std::string& avi, uint32_t frame_bytes) {
  std::vector<size_t> chunks;
  for (size_t at = avi.find("movi"); at != std::string::npos && at + 8 <= avi.size(); at = avi.find("00d", at + 1))
    if ((avi.compare(at, 4, "00dc") == 0 || avi.compare(at, 4, "00db") == 0) && get32(avi, at + 4) == frame_bytes)
      chunks.push_back(at + 8);
  return chunks;
}

// ffmpeg's raw AVI is stored top-down (negative height). This rewrites it as
// a classic DIB AVI: positive height, every picture's rows reversed.
bool make_bottom_up(const std::string& from, const std::string& to, int width, int height) {
  std::string avi = read_file(from);
  size_t strf = avi.find("strf");
  if (strf == std::string::npos || int32_t(get32(avi, strf + 16)) != -height) return false;
  put32(avi, strf + 16, uint32_t(height));
  size_t row = size_t(width) * 3;
  std::vector<size_t> chunks = raw_chunks(avi, uint32_t(row * height));
  for (size_t at : chunks)
    for (int y = 0; y < height / 2; ++y)
      std::swap_ranges(avi.begin() + at + y * row, avi.begin() + at + (y + 1) * row,
                       avi.begin() + at + (height - 1 - y) * row);
  write_bytes(to, avi);
  return !chunks.empty();
}

// The test movies by name, made on first use. Sources are 96 x 64 unless named otherwise.
const std::string& movie(const std::string& name) {
  static std::map<std::string, std::string> made;
  auto it = made.find(name);
  if (it != made.end()) return it->second;
  const std::string path = scratch() / (name + ".avi");
  const std::string src10 = "testsrc2=size=96x64:rate=10:duration=2";
  bool ok = false;
  if (name == "msmpeg4v2") {
    ok = make_movie(path, src10, {"-c:v", "msmpeg4v2", "-g", "7"});
  } else if (name == "mjpeg") {
    ok = make_movie(path, src10, {"-c:v", "mjpeg"});
  } else if (name == "ffv1") {
    ok = make_movie(path, src10, {"-c:v", "ffv1"});
  } else if (name == "rawvideo") {
    ok = make_movie(path, src10, {"-c:v", "rawvideo", "-pix_fmt", "bgr24"});
  } else if (name == "mpeg4_bframes") {
    ok = make_movie(path, src10, {"-c:v", "mpeg4", "-bf", "2", "-g", "6"});
  } else if (name == "ffv1_50x30") {
    ok = make_movie(path, "testsrc2=size=50x30:rate=10:duration=2", {"-c:v", "ffv1"});
  } else if (name == "rate25") {
    ok = make_movie(path, "testsrc2=size=96x64:rate=25:duration=2", {"-c:v", "msmpeg4v2"});
  } else if (name == "bottom_up") {
    ok = make_bottom_up(movie("rawvideo"), path, 96, 64);
  } else if (name == "mencoder") {
    // A 5 fps source made 10 fps: every other frame is a zero-length chunk.
    const std::string src = scratch() / "src5.avi";
    std::vector<std::string> argv = {"mencoder"};
    for (const std::string& option : transcode_arguments({.size = {96, 64}})) argv.push_back(option);
    argv.insert(argv.end(), {"--", src});
    ok = make_movie(src, "testsrc2=size=96x64:rate=5:duration=4", {"-c:v", "mpeg4", "-q:v", "2"}) &&
         run_program(argv, scratch().path()).status == 0 &&
         std::rename((scratch() / kTempMovie).c_str(), path.c_str()) == 0;
  } else if (name == "audio_only") {
    ok = make_movie(path, "sine=frequency=440:duration=1", {"-c:a", "pcm_s16le"});
  }
  EXPECT_TRUE(ok && file_exists(path)) << "could not make " << name;
  return made.emplace(name, path).first->second;
}

// The timestamps of the real frames, in the order ffmpeg decodes them.
std::vector<int64_t> frame_times(const std::string& path) {
  std::vector<int64_t> times;
  for (double t : ffprobe_frame_times(path, "best_effort_timestamp")) times.push_back(static_cast<int64_t>(t));
  return times;
}

// The picture of a DIB from the reader, top row first without row padding,
// after checking every header field; empty if the DIB is not as promised.
std::string picture(std::span<const uint8_t> dib, int width, int height) {
  const int stride = (width * 3 + 3) / 4 * 4;
  std::string s(dib.begin(), dib.end());
  EXPECT_EQ(s.size(), size_t(kDibHeader + stride * height));
  if (s.size() != size_t(kDibHeader + stride * height)) return {};
  EXPECT_EQ(get32(s, 0), uint32_t(kDibHeader));  // biSize
  EXPECT_EQ(get32(s, 4), uint32_t(width));
  EXPECT_EQ(get32(s, 8), uint32_t(height));      // positive: bottom-up
  EXPECT_EQ(get32(s, 12), 1u | 24u << 16);        // biPlanes, biBitCount
  EXPECT_EQ(get32(s, 16), 0u);                    // biCompression
  EXPECT_EQ(get32(s, 20), uint32_t(stride * height));
  EXPECT_EQ(get32(s, 32), 0u);                    // biClrUsed
  std::string top_down;
  for (int y = 0; y < height; ++y) top_down += s.substr(kDibHeader + size_t(height - 1 - y) * stride, width * 3);
  return top_down;
}

// A reader opened on a movie, every handle released at the end.
struct Opened {
  AviFile* file = nullptr;
  AviStream* stream = nullptr;
  AviGetFrame* getter = nullptr;
  AVIFILEINFO info;
  AVISTREAMINFO sinfo;
  int open_status = -1;

  explicit Opened(const std::string& path) {
    AVIFileInit();
    open_status = AVIFileOpenA(&file, path.c_str());
    if (open_status != 0 || AVIFileInfoA(file, &info) != 0 || AVIFileGetStream(file, &stream) != 0 ||
        AVIStreamInfoA(stream, &sinfo) != 0)
      return;
    getter = AVIStreamGetFrameOpen(stream);
  }
  ~Opened() {
    AVIStreamGetFrameClose(getter);
    AVIFileRelease(file);
    AVIFileExit();
  }
  std::string at(int32_t pos) const { return picture(AVIStreamGetFrame(getter, pos), info.dwWidth, info.dwHeight); }
};

struct CodecCase {
  const char* movie;
  int width, height;
};

class ReaderCodec : public ::testing::TestWithParam<CodecCase> {
 protected:
  void SetUp() override {
    path = movie(GetParam().movie);
    ref = ffmpeg_frames(path, GetParam().width, GetParam().height);
    ASSERT_EQ(ref.size(), 20u);
  }
  std::string path;
  std::vector<std::string> ref;
};

TEST_P(ReaderCodec, SequentialPositionsMatchFfmpeg) {
  Opened r(path);
  ASSERT_NE(r.getter, nullptr);
  EXPECT_EQ(r.info.dwWidth, uint32_t(GetParam().width));
  EXPECT_EQ(r.info.dwHeight, uint32_t(GetParam().height));
  ASSERT_EQ(r.sinfo.dwStart, 0u);
  ASSERT_EQ(r.sinfo.dwLength, 20u);
  for (int32_t pos = 0; pos < 20; ++pos) EXPECT_TRUE(r.at(pos) == ref[pos]) << "position " << pos;
  EXPECT_TRUE(AVIStreamGetFrame(r.getter, 20).empty());
  EXPECT_TRUE(AVIStreamGetFrame(r.getter, 1000).empty());
  EXPECT_TRUE(AVIStreamGetFrame(r.getter, -1).empty());
}

TEST_P(ReaderCodec, BackwardPositionsMatchFfmpeg) {
  Opened r(path);
  ASSERT_NE(r.getter, nullptr);
  for (int32_t pos = 19; pos >= 0; --pos) EXPECT_TRUE(r.at(pos) == ref[pos]) << "position " << pos;
}

TEST_P(ReaderCodec, ScatteredAndRepeatedPositions) {
  Opened r(path);
  ASSERT_NE(r.getter, nullptr);
  for (int32_t pos : {5, 5, 0, 19, 20, 19, 3, 12, 11, 11, 2, 13, 18, 6}) {
    if (pos >= 20) {
      EXPECT_TRUE(AVIStreamGetFrame(r.getter, pos).empty());
      continue;
    }
    EXPECT_TRUE(r.at(pos) == ref[pos]) << "position " << pos;
  }
  // Asking again hands back the very same buffer, still holding the frame.
  std::span<const uint8_t> first = AVIStreamGetFrame(r.getter, 7);
  std::span<const uint8_t> again = AVIStreamGetFrame(r.getter, 7);
  EXPECT_EQ(first.data(), again.data());
  EXPECT_TRUE(r.at(7) == ref[7]);
}

INSTANTIATE_TEST_SUITE_P(ReaderCodecs, ReaderCodec,
                         ::testing::Values(CodecCase{"msmpeg4v2", 96, 64}, CodecCase{"mjpeg", 96, 64},
                                           CodecCase{"ffv1", 96, 64}, CodecCase{"rawvideo", 96, 64},
                                           CodecCase{"mpeg4_bframes", 96, 64}, CodecCase{"ffv1_50x30", 50, 30},
                                           CodecCase{"bottom_up", 96, 64}),
                         [](const auto& info) { return std::string(info.param.movie); });

TEST(ReaderBottomUp, RowsStoredBottomUpComeOutUpright) {
  // The rewritten file holds the same pictures as the top-down original.
  std::vector<std::string> original = ffmpeg_frames(movie("rawvideo"), 96, 64);
  ASSERT_EQ(original.size(), 20u);
  Opened r(movie("bottom_up"));
  ASSERT_NE(r.getter, nullptr);
  for (int32_t pos = 0; pos < 20; ++pos) EXPECT_TRUE(r.at(pos) == original[pos]) << "position " << pos;
  // And the picture is not symmetric, so a flip would have shown.
  EXPECT_NE(original[0].substr(0, 288), original[0].substr(63 * 288));
}

struct InfoCase {
  const char* movie;
  uint32_t width, height, rate, scale, length, start;
};

class ReaderInfo : public ::testing::TestWithParam<InfoCase> {};

TEST_P(ReaderInfo, FileAndStreamInfo) {
  const InfoCase& c = GetParam();
  AVIFileInit();
  AviFile* file = nullptr;
  ASSERT_EQ(AVIFileOpenA(&file, movie(c.movie).c_str()), 0);
  AVIFILEINFO info;
  AviStream* stream = nullptr;
  AVISTREAMINFO sinfo;
  EXPECT_EQ(AVIFileInfoA(file, &info), 0);
  EXPECT_EQ(AVIFileGetStream(file, &stream), 0);
  EXPECT_EQ(AVIStreamInfoA(stream, &sinfo), 0);
  EXPECT_EQ(info.dwWidth, c.width);
  EXPECT_EQ(info.dwHeight, c.height);
  EXPECT_EQ(sinfo.dwRate, c.rate);
  EXPECT_EQ(sinfo.dwScale, c.scale);
  EXPECT_EQ(sinfo.dwLength, c.length);
  EXPECT_EQ(sinfo.dwStart, c.start);
  AVIFileRelease(file);
  AVIFileExit();
}

INSTANTIATE_TEST_SUITE_P(ReaderMovies, ReaderInfo,
                         ::testing::Values(InfoCase{"msmpeg4v2", 96, 64, 10, 1, 20, 0},
                                           InfoCase{"rate25", 96, 64, 25, 1, 50, 0},
                                           InfoCase{"mencoder", 96, 64, 10, 1, 40, 0},
                                           InfoCase{"ffv1_50x30", 50, 30, 10, 1, 20, 0}),
                         [](const auto& info) { return std::string(info.param.movie); });

class ReaderZeroLength : public ::testing::Test {
 protected:
  void SetUp() override {
    path = movie("mencoder");
    ref = ffmpeg_frames(path, 96, 64);
    times = frame_times(path);
    ASSERT_EQ(ref.size(), times.size());
    // The fixture must really have gaps for the test to mean anything.
    ASSERT_GE(ref.size(), 10u);
    ASSERT_LT(ref.size(), 40u);
    ASSERT_EQ(times.front(), 0);
  }
  // The last real frame at or before `pos`.
  const std::string& expected(int32_t pos) const {
    size_t i = std::upper_bound(times.begin(), times.end(), pos) - times.begin();
    return ref[i - 1];
  }
  std::string path;
  std::vector<std::string> ref;
  std::vector<int64_t> times;
};

TEST_F(ReaderZeroLength, EveryPositionShowsTheLastRealFrame) {
  Opened r(path);
  ASSERT_NE(r.getter, nullptr);
  ASSERT_EQ(r.sinfo.dwLength, 40u);
  ASSERT_LT(times.back(), 39);  // the last position is a repeat too
  for (int32_t pos = 0; pos < 40; ++pos) EXPECT_TRUE(r.at(pos) == expected(pos)) << "position " << pos;
  EXPECT_TRUE(AVIStreamGetFrame(r.getter, 40).empty());
  for (int32_t pos = 39; pos >= 0; pos -= 3) EXPECT_TRUE(r.at(pos) == expected(pos)) << "position " << pos;
}

TEST_F(ReaderZeroLength, HalfRateCadenceFetchesEachPositionTwice) {
  Opened r(path);
  ASSERT_NE(r.getter, nullptr);
  for (int32_t step = 0; step < 80; ++step) EXPECT_TRUE(r.at(step / 2) == expected(step / 2)) << "step " << step;
}

TEST(ReaderGetter, OnlyOneGetterAtATimeAndANewOneStartsAtTheBeginning) {
  std::vector<std::string> ref = ffmpeg_frames(movie("msmpeg4v2"), 96, 64);
  ASSERT_EQ(ref.size(), 20u);
  Opened r(movie("msmpeg4v2"));
  ASSERT_NE(r.getter, nullptr);
  EXPECT_EQ(AVIStreamGetFrameOpen(r.stream), nullptr);
  for (int32_t pos = 0; pos < 15; ++pos) ASSERT_FALSE(AVIStreamGetFrame(r.getter, pos).empty());
  AVIStreamGetFrameClose(r.getter);
  r.getter = AVIStreamGetFrameOpen(r.stream);
  ASSERT_NE(r.getter, nullptr);
  for (int32_t pos = 0; pos < 20; ++pos) EXPECT_TRUE(r.at(pos) == ref[pos]) << "position " << pos;
}

TEST(ReaderGetter, PictureLimitRefusesOnlyLargerPictures) {
  // The decoder pads 96 x 64 to 128 x 64: the limit is the picture's.
  std::vector<std::string> ref = ffmpeg_frames(movie("msmpeg4v2"), 96, 64);
  ASSERT_EQ(ref.size(), 20u);
  constexpr int64_t kPixels = 96 * 64;
  struct Case {
    int64_t limit;
    bool opens;
  };
  for (const Case c : {Case{kPixels - 1, false}, Case{kPixels, true}, Case{kPixels + 1, true}}) {
    Opened r(movie("msmpeg4v2"));
    ASSERT_NE(r.getter, nullptr);
    AVIStreamGetFrameClose(r.getter);
    r.getter = AVIStreamGetFrameOpen(r.stream, c.limit);
    EXPECT_EQ(r.getter != nullptr, c.opens) << "limit " << c.limit;
    if (r.getter) {
      for (int32_t pos = 0; pos < 20; ++pos) EXPECT_TRUE(r.at(pos) == ref[pos]) << "limit " << c.limit << " pos " << pos;
    }
  }
}

TEST(ReaderFailure, MissingAndNonMovieFilesDoNotOpen) {
  const std::string text = scratch() / "notes.txt";
  write_bytes(text, "This is not a movie.\nJust some text.\n");
  const std::string header_only = scratch() / "header_only.avi";
  write_bytes(header_only, std::string("RIFF\x10\0\0\0AVI LIST", 16) + std::string(64, '\x55'));
  AVIFileInit();
  for (const std::string& path : {scratch() / "no_such_movie.avi", text, header_only}) {
    int sentinel = 0;
    AviFile* file = reinterpret_cast<AviFile*>(&sentinel);  // must be reset
    int status = AVIFileOpenA(&file, path.c_str());
    if (status == 0) {
      // Opened as something: then it must hold no video to read.
      AviStream* stream = nullptr;
      EXPECT_NE(AVIFileGetStream(file, &stream), 0) << path;
      EXPECT_EQ(stream, nullptr);
      AVIFileRelease(file);
    } else {
      EXPECT_EQ(file, nullptr) << path;
    }
    if (path != header_only) {
      EXPECT_NE(status, 0) << path;
    }
  }
  AVIFileExit();
}

TEST(ReaderFailure, AudioOnlyFileHasNoVideoStream) {
  AVIFileInit();
  AviFile* file = nullptr;
  ASSERT_EQ(AVIFileOpenA(&file, movie("audio_only").c_str()), 0);
  AVIFILEINFO info;
  EXPECT_NE(AVIFileInfoA(file, &info), 0);
  AviStream* stream = nullptr;
  EXPECT_NE(AVIFileGetStream(file, &stream), 0);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(AVIStreamGetFrameOpen(stream), nullptr);
  AVIFileRelease(file);
  AVIFileExit();
}

TEST(ReaderFailure, NullHandlesAreRefused) {
  AVIFILEINFO info;
  AVISTREAMINFO sinfo;
  AviStream* stream = nullptr;
  EXPECT_NE(AVIFileOpenA(nullptr, "x.avi"), 0);
  AviFile* file = nullptr;
  EXPECT_NE(AVIFileOpenA(&file, nullptr), 0);
  EXPECT_NE(AVIFileInfoA(nullptr, &info), 0);
  EXPECT_NE(AVIFileGetStream(nullptr, &stream), 0);
  EXPECT_NE(AVIStreamInfoA(nullptr, &sinfo), 0);
  EXPECT_EQ(AVIStreamGetFrameOpen(nullptr), nullptr);
  EXPECT_TRUE(AVIStreamGetFrame(nullptr, 0).empty());
  AVIStreamGetFrameClose(nullptr);
  AVIFileRelease(nullptr);
}

TEST(ReaderFailure, TruncatedMovieRunsOutBeforeItsLength) {
  std::vector<std::string> ref = ffmpeg_frames(movie("msmpeg4v2"), 96, 64);
  ASSERT_EQ(ref.size(), 20u);
  const std::string whole = read_file(movie("msmpeg4v2"));
  const std::string path = scratch() / "truncated.avi";
  write_bytes(path, whole.substr(0, whole.size() / 2));
  Opened r(path);
  ASSERT_NE(r.getter, nullptr);  // the header is intact
  ASSERT_EQ(r.sinfo.dwLength, 20u);
  EXPECT_TRUE(r.at(0) == ref[0]);
  int32_t first_empty = -1;
  for (int32_t pos = 0; pos < 20 && first_empty < 0; ++pos)
    if (AVIStreamGetFrame(r.getter, pos).empty()) first_empty = pos;
  EXPECT_GT(first_empty, 0);
  EXPECT_LT(first_empty, 20);
  for (int32_t pos = first_empty; pos < 20; ++pos) EXPECT_TRUE(AVIStreamGetFrame(r.getter, pos).empty()) << pos;
  // Going back still works after the data ran out.
  EXPECT_TRUE(r.at(1) == ref[1]);
}

TEST(ReaderFailure, CorruptedMiddleNeverBreaksTheReader) {
  for (const char* name : {"msmpeg4v2", "mjpeg", "ffv1", "mencoder"}) {
    std::string bytes = read_file(movie(name));
    uint32_t seed = 12345;
    for (size_t i = bytes.size() * 2 / 5; i < bytes.size() * 3 / 5; ++i) {
      seed = seed * 1103515245 + 12345;
      bytes[i] = char(seed >> 16);
    }
    const std::string path = scratch() / (std::string("corrupt_") + name + ".avi");
    write_bytes(path, bytes);
    Opened r(path);
    if (!r.getter) continue;  // refusing it is a fine answer too
    const size_t dib = kDibHeader + 288 * 64;
    int32_t end = int32_t(r.sinfo.dwStart + r.sinfo.dwLength);
    for (int32_t pos = 0; pos <= end; ++pos) {
      size_t size = AVIStreamGetFrame(r.getter, pos).size();
      EXPECT_TRUE(size == 0 || size == dib) << name << " position " << pos;
    }
    for (int32_t pos = end; pos >= 0; pos -= 4) {
      size_t size = AVIStreamGetFrame(r.getter, pos).size();
      EXPECT_TRUE(size == 0 || size == dib) << name << " position " << pos;
    }
    EXPECT_FALSE(AVIStreamGetFrame(r.getter, 0).empty()) << name << ": the start is intact";
  }
}

}  // namespace
