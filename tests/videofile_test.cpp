// Video file: header bytes, records written back to back, and failures that
// must not pass for success.
#include "videofile/videofile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::vector<uint8_t> bytes_of(const Header& h) { return {h.begin(), h.end()}; }

TEST(VideoFileTest, HeaderBytes) {
  const struct {
    int32_t grey;
    uint32_t framecount;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {0, 25, {0x2A, 0x2A, 0x56, 0x49, 0x44, 0x58, 0x2A, 0x2A, 0x0D, 0x00, 0x01, 0x0A,
               0x00, 0x00, 0x0A, 0x19, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00}},
      {1, 25, {0x2A, 0x2A, 0x56, 0x49, 0x44, 0x58, 0x2A, 0x2A, 0x0D, 0x00, 0x01, 0x0A,
               0x00, 0x01, 0x0A, 0x19, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00}},
      {2, 300, {0x2A, 0x2A, 0x56, 0x49, 0x44, 0x58, 0x2A, 0x2A, 0x0D, 0x00, 0x01, 0x0A,
                0x00, 0x02, 0x0A, 0x2C, 0x01, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00}},
      {0, 0, {0x2A, 0x2A, 0x56, 0x49, 0x44, 0x58, 0x2A, 0x2A, 0x0D, 0x00, 0x01, 0x0A,
              0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00}},
      {258, 0xA1B2C3D4u, {0x2A, 0x2A, 0x56, 0x49, 0x44, 0x58, 0x2A, 0x2A, 0x0D, 0x00, 0x01, 0x0A,
                          0x00, 0xFF, 0x0A, 0xD4, 0xC3, 0xB2, 0xA1, 0x17, 0x00, 0x00, 0x00}},
      {256, 1, {0x2A, 0x2A, 0x56, 0x49, 0x44, 0x58, 0x2A, 0x2A, 0x0D, 0x00, 0x01, 0x0A,
                0x00, 0xFF, 0x0A, 0x01, 0x00, 0x00, 0x00, 0x17, 0x00, 0x00, 0x00}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bytes_of(make_header(c.grey, c.framecount)), c.bytes)
        << "grey " << c.grey << " count " << c.framecount;
  }
}

TEST(VideoFileTest, RecordSizes) {
  EXPECT_EQ(record_bytes(0), 768);
  EXPECT_EQ(record_bytes(1), 1536);
  EXPECT_EQ(record_bytes(2), 1536);
}

// A plane whose bytes say which frame and plane they belong to.
Plane patterned_plane(int frame, int plane) {
  Plane p;
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7 + frame * 31 + plane * 101);
  return p;
}

TEST(VideoFileTest, WholeFileReadsBack) {
  const int frames = 25;
  for (int32_t grey : {0, 1, 2}) {
    TempDir dir;
    const std::string path = dir / "movie.8xx";
    VideoFile out;
    ASSERT_TRUE(videofile_open(out, path.c_str()));
    ASSERT_TRUE(videofile_write_header(out, grey, frames));
    for (int f = 0; f < frames; ++f)
      ASSERT_TRUE(videofile_write_record(out, patterned_plane(f, 0), patterned_plane(f, 1), grey));
    ASSERT_TRUE(videofile_close(out));
    EXPECT_EQ(out.file, nullptr);

    std::string expected(reinterpret_cast<const char*>(make_header(grey, frames).data()),
                         kHeaderBytes);
    for (int f = 0; f < frames; ++f) {
      Plane a = patterned_plane(f, 0);
      Plane b = patterned_plane(f, 1);
      expected.append(reinterpret_cast<const char*>(a.data()), a.size());
      if (grey) expected.append(reinterpret_cast<const char*>(b.data()), b.size());
    }
    const std::string written = read_file(path);
    EXPECT_EQ(written.size(), 23u + frames * (grey ? 1536u : 768u)) << "grey " << grey;
    EXPECT_TRUE(written == expected) << "grey " << grey;
  }
}

TEST(VideoFileTest, OpenTruncatesExistingFile) {
  TempDir dir;
  const std::string path = dir / "movie.8xx";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(std::string(5000, 'z').c_str(), f);
    std::fclose(f);
  }
  VideoFile out;
  ASSERT_TRUE(videofile_open(out, path.c_str()));
  ASSERT_TRUE(videofile_write_header(out, 0, 1));
  ASSERT_TRUE(videofile_close(out));
  EXPECT_EQ(read_file(path).size(), static_cast<size_t>(kHeaderBytes));
}

TEST(VideoFileTest, FullDeviceIsReportedAtClose) {
  VideoFile out;
  ASSERT_TRUE(videofile_open(out, "/dev/full"));
  videofile_write_header(out, 1, 1);
  videofile_write_record(out, patterned_plane(0, 0), patterned_plane(0, 1), 1);
  EXPECT_FALSE(videofile_close(out));
  EXPECT_EQ(out.file, nullptr);
}

TEST(VideoFileTest, FullDeviceIsReportedEvenWhenWriteResultsAreIgnored) {
  // For some record counts the failed write drains the stream buffer exactly,
  // so the final flush has nothing left to fail on; close must still notice.
  for (int frames = 0; frames <= 32; ++frames) {
    VideoFile out;
    ASSERT_TRUE(videofile_open(out, "/dev/full"));
    videofile_write_header(out, 0, frames);
    for (int f = 0; f < frames; ++f)
      videofile_write_record(out, patterned_plane(f, 0), patterned_plane(f, 1), 0);
    EXPECT_FALSE(videofile_close(out)) << frames << " records";
  }
}

TEST(VideoFileTest, FullDeviceFailsAWrite) {
  VideoFile out;
  ASSERT_TRUE(videofile_open(out, "/dev/full"));
  bool all_written = videofile_write_header(out, 1, 100);
  for (int f = 0; f < 100; ++f)
    all_written = videofile_write_record(out, patterned_plane(f, 0), patterned_plane(f, 1), 1) &&
                  all_written;
  EXPECT_FALSE(all_written);
  EXPECT_FALSE(videofile_close(out));
}

TEST(VideoFileTest, MissingFolderCannotBeOpened) {
  TempDir dir;
  const std::string path = dir / "no-such-folder/movie.8xx";
  VideoFile out;
  EXPECT_FALSE(videofile_open(out, path.c_str()));
  EXPECT_EQ(out.file, nullptr);
  EXPECT_FALSE(file_exists(path));
  // Writing to and closing a file that never opened fail safely.
  EXPECT_FALSE(videofile_write_header(out, 0, 1));
  EXPECT_FALSE(videofile_write_record(out, patterned_plane(0, 0), patterned_plane(0, 1), 1));
  EXPECT_TRUE(videofile_close(out));
}

TEST(VideoFileTest, CloseIsSafeOnNeverOpenedAndTwice) {
  VideoFile never;
  EXPECT_TRUE(videofile_close(never));
  TempDir dir;
  VideoFile out;
  ASSERT_TRUE(videofile_open(out, (dir / "a.8xx").c_str()));
  EXPECT_TRUE(videofile_close(out));
  EXPECT_TRUE(videofile_close(out));
}

}  // namespace
