// The video file: header bytes, records written back to back, failures that
// must not pass for success, and the reader that checks a file before the
// preview shows it.
#include "videofile/videofile.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::vector<uint8_t> bytes_of(const Header& h) { return {h.begin(), h.end()}; }

TEST(VideoFileHeader, Bytes) {
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

TEST(VideoFileHeader, RecordSizes) {
  EXPECT_EQ(record_bytes(Shades::two), 768);
  EXPECT_EQ(record_bytes(Shades::four), 1536);
  EXPECT_EQ(record_bytes(shades_for(2)), 1536);
}

TEST(VideoFileHeader, ParsesWhatItMakes) {
  for (const uint32_t count : {0u, 1u, 300u, 0xA1B2C3D4u}) {
    for (const int32_t grey : {0, 1, 2, 300}) {
      HeaderFields fields;
      ASSERT_EQ(parse_header(make_header(grey, count), fields), HeaderStatus::ok);
      EXPECT_EQ(fields.framecount, count);
      EXPECT_EQ(fields.grey, grey > 255 ? 255 : grey);
      EXPECT_EQ(fields.tail, kHeaderTail);
      EXPECT_EQ(fields.offset, uint32_t{kHeaderBytes});
    }
  }
}

TEST(VideoFileHeader, ParseRefusesEachDamagedField) {
  const struct {
    int offset;
    uint8_t value;
    HeaderStatus status;
  } cases[] = {
      {0, '#', HeaderStatus::foreign},      {7, '-', HeaderStatus::foreign},
      {8, 14, HeaderStatus::bad_lengths},   {9, 1, HeaderStatus::bad_lengths},
      {19, 24, HeaderStatus::bad_lengths},  {22, 1, HeaderStatus::bad_lengths},
      {10, 0x00, HeaderStatus::bad_fixed},  {11, 0x0D, HeaderStatus::bad_fixed},
      {12, 0x01, HeaderStatus::bad_fixed},  {14, 0x0B, HeaderStatus::bad_fixed},
  };
  for (const auto& c : cases) {
    Header h = make_header(1, 25);
    h[c.offset] = c.value;
    HeaderFields fields;
    EXPECT_EQ(parse_header(h, fields), c.status) << "byte " << c.offset;
    EXPECT_EQ(fields.framecount, 25u) << "fields are read even from a damaged header";
  }
}

// A plane whose bytes say which frame and plane they belong to.
Plane patterned_plane(int frame, int plane) {
  Plane p;
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7 + frame * 31 + plane * 101);
  return p;
}

TEST(VideoFileWriter, WholeFileReadsBack) {
  const int frames = 25;
  for (int32_t grey : {0, 1, 2}) {
    TempDir dir;
    const std::string path = dir / "movie.8xx";
    VideoWriter out;
    ASSERT_TRUE(out.open(path.c_str()));
    ASSERT_TRUE(out.write_header(grey, frames));
    for (int f = 0; f < frames; ++f)
      ASSERT_TRUE(out.write_record(patterned_plane(f, 0), patterned_plane(f, 1), shades_for(grey)));
    ASSERT_TRUE(out.finish(frames));
    EXPECT_FALSE(out.is_open());

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

TEST(VideoFileWriter, OpenTruncatesExistingFile) {
  TempDir dir;
  const std::string path = dir / "movie.8xx";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(std::string(5000, 'z').c_str(), f);
    std::fclose(f);
  }
  VideoWriter out;
  ASSERT_TRUE(out.open(path.c_str()));
  ASSERT_TRUE(out.write_header(0, 1));
  ASSERT_TRUE(out.finish(1));
  EXPECT_EQ(read_file(path), header_string(0, 1));
}

TEST(VideoFileWriter, FullDeviceIsReportedAtClose) {
  VideoWriter out;
  ASSERT_TRUE(out.open("/dev/full"));
  out.write_header(1, 1);
  out.write_record(patterned_plane(0, 0), patterned_plane(0, 1), Shades::four);
  EXPECT_FALSE(out.finish(1));
  EXPECT_FALSE(out.is_open());
}

TEST(VideoFileWriter, FullDeviceIsReportedEvenWhenWriteResultsAreIgnored) {
  // For some record counts the failed write drains the stream buffer exactly,
  // so the final flush has nothing left to fail on; close must still notice.
  for (int frames = 0; frames <= 32; ++frames) {
    VideoWriter out;
    ASSERT_TRUE(out.open("/dev/full"));
    out.write_header(0, frames);
    for (int f = 0; f < frames; ++f) out.write_record(patterned_plane(f, 0), patterned_plane(f, 1), Shades::two);
    EXPECT_FALSE(out.finish(frames)) << frames << " records";
  }
}

TEST(VideoFileWriter, FullDeviceFailsAWrite) {
  VideoWriter out;
  ASSERT_TRUE(out.open("/dev/full"));
  bool all_written = out.write_header(1, 100);
  for (int f = 0; f < 100; ++f)
    all_written = out.write_record(patterned_plane(f, 0), patterned_plane(f, 1), Shades::four) && all_written;
  EXPECT_FALSE(all_written);
  EXPECT_FALSE(out.finish(100));
}

TEST(VideoFileWriter, MissingFolderCannotBeOpened) {
  VideoWriter out;
  const TempDir dir;
  EXPECT_FALSE(out.open((dir / "no-such-folder/movie.8xx").c_str()));
  EXPECT_FALSE(out.is_open());
  EXPECT_FALSE(file_exists(dir / "no-such-folder"));
  // Writing to and closing a file that never opened fail safely.
  EXPECT_FALSE(out.write_header(0, 1));
  EXPECT_FALSE(out.write_record(patterned_plane(0, 0), patterned_plane(0, 1), Shades::four));
  EXPECT_FALSE(out.finish(1));  // nothing was written, so nothing is finished
  out.abandon();
}

TEST(VideoFileWriter, FinishAndAbandonAreSafeOnNeverOpenedAndTwice) {
  VideoWriter never;
  EXPECT_FALSE(never.finish(0));
  never.abandon();
  TempDir dir;
  VideoWriter out;
  ASSERT_TRUE(out.open((dir / "a.8xx").c_str()));
  ASSERT_TRUE(out.write_header(0, 0));
  EXPECT_TRUE(out.finish(0));
  EXPECT_FALSE(out.finish(0));
  out.abandon();
  EXPECT_EQ(read_file(dir / "a.8xx"), header_string(0, 0));
}

// What is on disk at each moment of writing: a count of 0 until finish, so
// a process killed at any moment leaves no count beyond the records.
TEST(VideoFileWriter, CountIsZeroUntilFinished) {
  TempDir dir;
  const std::string path = dir / "a.8xx";
  VideoWriter out;
  ASSERT_TRUE(out.open(path.c_str()));
  ASSERT_TRUE(out.seekable());
  ASSERT_TRUE(out.write_header(1, 3));
  for (int f = 0; f < 3; ++f) {
    ASSERT_TRUE(out.write_record(patterned_plane(f, 0), patterned_plane(f, 1), Shades::four));
    EXPECT_EQ(header_count(read_file(path)), 0u) << "after record " << f;
  }
  EXPECT_EQ(out.records(), 3u);
  ASSERT_TRUE(out.finish(3));
  const std::string video = read_file(path);
  EXPECT_EQ(video.substr(0, kHeaderBytes), header_string(1, 3));
  EXPECT_EQ(video.size(), kHeaderBytes + 3u * 1536u);
}

// A record's bytes as the writer appends them.
std::string record_of(int frame, Shades shades) {
  const Plane a = patterned_plane(frame, 0), b = patterned_plane(frame, 1);
  std::string bytes(a.begin(), a.end());
  if (shades == Shades::four) bytes.append(b.begin(), b.end());
  return bytes;
}

// Writes 10 records in a child process whose file size limit stops the file
// at `limit` bytes, as a full disk would (the write that crosses it is cut
// short, the next ones fail), then abandons the file.
void write_until_full(const std::string& path, Shades shades, off_t limit) {
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
    const rlimit cap{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    setrlimit(RLIMIT_FSIZE, &cap);
    VideoWriter out;
    if (!out.open(path.c_str())) _exit(2);
    out.write_header(shades == Shades::four ? 1 : 0, 10);
    for (int f = 0; f < 10; ++f) out.write_record(patterned_plane(f, 0), patterned_plane(f, 1), shades);
    _exit(out.finish(10) ? 3 : 0);  // finishing must fail: the file is short
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0);
}

TEST(VideoFileWriter, FullDiskLeavesWholeRecordsUnderTheirCount) {
  const struct {
    Shades shades;
    off_t limit;
    int whole;  // records left, -1 for no file
  } cases[] = {
      {Shades::two, kHeaderBytes + 5 * 768 + 767, 5}, {Shades::two, kHeaderBytes + 5 * 768 + 1, 5},
      {Shades::two, kHeaderBytes + 5 * 768, 5},       {Shades::two, kHeaderBytes + 5 * 768 - 1, 4},
      {Shades::four, kHeaderBytes + 4 * 1536 + 1535, 4}, {Shades::four, kHeaderBytes + 4 * 1536 + 768, 4},
      {Shades::two, kHeaderBytes, 0},  {Shades::two, kHeaderBytes + 1, 0},
      {Shades::two, kHeaderBytes - 1, -1},  // not even a whole header: nothing worth keeping
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("limit " + std::to_string(c.limit) + ", shades " + std::to_string(int(c.shades)));
    TempDir dir;
    const std::string path = dir / "a.8xx";
    write_until_full(path, c.shades, c.limit);
    if (c.whole < 0) {
      EXPECT_FALSE(file_exists(path));
      continue;
    }
    std::string expected = header_string(c.shades == Shades::four ? 1 : 0, uint32_t(c.whole));
    for (int f = 0; f < c.whole; ++f) expected += record_of(f, c.shades);
    EXPECT_TRUE(read_file(path) == expected) << read_file(path).size() << " bytes";
  }
}

TEST(VideoFileWriter, AbandonRemovesAFileWithoutAWholeHeader) {
  TempDir dir;
  const std::string path = dir / "a.8xx";
  VideoWriter out;
  ASSERT_TRUE(out.open(path.c_str()));
  out.abandon();  // before the header
  EXPECT_FALSE(file_exists(path));
}

TEST(VideoFileWriter, GoingAwayAbandonsTheFile) {
  TempDir dir;
  {
    VideoWriter out;
    ASSERT_TRUE(out.open((dir / "a.8xx").c_str()));
    ASSERT_TRUE(out.write_header(0, 7));
    ASSERT_TRUE(out.write_record(patterned_plane(0, 0), patterned_plane(0, 1), Shades::two));
  }
  EXPECT_EQ(read_file(dir / "a.8xx"), header_string(0, 1) + record_of(0, Shades::two));
}

// ---- Reading ----

TEST(VideoFileReader, RoundTripExact) {
  for (int32_t grey : {0, 1, 2}) {
    SCOPED_TRACE("grey " + std::to_string(grey));
    TempDir dir;
    const std::vector<GreyBuffer> frames = make_frames(5, grey, 7 + grey);
    ASSERT_TRUE(write_video(dir / "v.8xx", frames, grey, 5));
    VidxFile v;
    ASSERT_EQ(vidx_open(v, (dir / "v.8xx").c_str()), VidxStatus::ok);
    EXPECT_EQ(v.fields.grey, grey);
    EXPECT_EQ(v.fields.framecount, 5u);
    EXPECT_EQ(v.records, 5);
    EXPECT_EQ(v.shades, shades_for(grey));
    GreyBuffer got;
    // Out of order, so each read must seek to its own record.
    for (int i : {3, 0, 4, 1, 2}) {
      ASSERT_EQ(vidx_read_frame(v, i, got), VidxStatus::ok);
      EXPECT_TRUE(got == frames[i]) << "frame " << i;
    }
    EXPECT_EQ(vidx_read_frame(v, 5, got), VidxStatus::read_error);
    EXPECT_EQ(vidx_read_frame(v, -1, got), VidxStatus::read_error);
    vidx_close(v);
    EXPECT_EQ(v.file, nullptr);
    vidx_close(v);  // twice is harmless
  }
}

TEST(VideoFileReader, UnpackKnownBytes) {
  std::array<uint8_t, 2 * kPlaneBytes> record{};
  GreyBuffer f;
  // Grey: first planes 0xCC, second 0xAA give 0, 85, 170, 255 twice over.
  record[0] = 0xCC;
  record[kPlaneBytes] = 0xAA;
  vidx_unpack(record, Shades::four, f);
  const uint8_t want[8] = {0, 85, 170, 255, 0, 85, 170, 255};
  for (int x = 0; x < 8; ++x) EXPECT_EQ(f[x], want[x]) << "x " << x;
  EXPECT_EQ(f[8], 255);
  // Monochrome: bit 7 of a row's first byte is x = 0, bit 0 of its 12th x = 95.
  record.fill(0);
  record[5 * kRowBytes] = 0x80;
  record[5 * kRowBytes + kRowBytes - 1] = 0x01;
  record[kPlaneBytes] = 0xFF;  // beyond a monochrome record: must be ignored
  vidx_unpack(std::span(record.data(), kPlaneBytes), Shades::two, f);
  int dark = 0;
  for (uint8_t q : f) dark += q == 0;
  EXPECT_EQ(dark, 2);
  EXPECT_EQ(f[5 * kWidth], 0);
  EXPECT_EQ(f[5 * kWidth + kWidth - 1], 0);
}

TEST(VideoFileReader, RefusesBadFiles) {
  TempDir dir;
  for (const BadVideoFile& b : bad_video_files()) {
    SCOPED_TRACE(b.name);
    write_bytes(dir / "bad.8xx", b.bytes);
    VidxFile v;
    EXPECT_EQ(vidx_open(v, (dir / "bad.8xx").c_str()), b.status);
    EXPECT_EQ(v.file, nullptr);
  }
  VidxFile v;
  EXPECT_EQ(vidx_open(v, (dir / "missing.8xx").c_str()), VidxStatus::cant_open);
  EXPECT_EQ(v.syserror, ENOENT);
  EXPECT_EQ(vidx_open(v, dir.path().c_str()), VidxStatus::not_regular);
  EXPECT_EQ(v.file, nullptr);
  // Opening a FIFO for reading would wait for a writer: it must be refused first.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(vidx_open(v, (dir / "fifo").c_str()), VidxStatus::not_regular);
}

TEST(VideoFileReader, AnyNonZeroGreyByteMeansTwoPlanes) {
  // The writer stores the low byte of the -g count, so 2 (from -g -g) and
  // other values are real grey files.
  TempDir dir;
  for (int32_t grey : {2, 0x7F, 0xFF}) {
    std::string bytes = header_string(grey, 1) + std::string(2 * kPlaneBytes, '\0');
    write_bytes(dir / "g.8xx", bytes);
    VidxFile v;
    ASSERT_EQ(vidx_open(v, (dir / "g.8xx").c_str()), VidxStatus::ok) << grey;
    EXPECT_EQ(v.records, 1);
    EXPECT_EQ(v.shades, Shades::four);
    vidx_close(v);
  }
}

TEST(VideoFileReader, CountAndRecordsMayDiffer) {
  TempDir dir;
  const struct {
    uint32_t framecount;
    int records;
  } cases[] = {{4, 5}, {9, 5}, {0, 2}, {7, 0}, {0, 0}};
  for (const auto& c : cases) {
    ASSERT_TRUE(write_video(dir / "v.8xx", make_frames(c.records, 0, 1), 0, c.framecount));
    VidxFile v;
    ASSERT_EQ(vidx_open(v, (dir / "v.8xx").c_str()), VidxStatus::ok);
    EXPECT_EQ(v.fields.framecount, c.framecount);
    EXPECT_EQ(v.records, c.records);
    vidx_close(v);
  }
}

TEST(VideoFileReader, FileShrinkingWhileOpenIsAReadError) {
  TempDir dir;
  ASSERT_TRUE(write_video(dir / "v.8xx", make_frames(3, 1, 2), 1, 3));
  VidxFile v;
  ASSERT_EQ(vidx_open(v, (dir / "v.8xx").c_str()), VidxStatus::ok);
  std::filesystem::resize_file(dir / "v.8xx", kHeaderBytes + 2 * kPlaneBytes * 2 - 1);
  GreyBuffer f;
  EXPECT_EQ(vidx_read_frame(v, 0, f), VidxStatus::ok);
  EXPECT_EQ(vidx_read_frame(v, 1, f), VidxStatus::read_error);
  vidx_close(v);
}

}  // namespace
