// Replays every saved fuzzing input (fuzz/regressions/<target>/) through the
// same entry points the libFuzzer targets call, so an input that once broke
// something keeps being run, under the sanitizers too (scripts/sanitize.sh).
// Inputs with a known outcome are also checked against it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_entry.h"
#include "memory_watch.h"
#include "movie/limits.h"
#include "test_support.h"

// Outcomes as they read in a failure message.
void PrintTo(const ReaderOutcome& o, std::ostream* os) {
  *os << "{opened " << o.opened << ", frames " << o.frames << ", refused " << o.refused << "}";
}
void PrintTo(const BuiltinOutcome& o, std::ostream* os) {
  *os << "{opened " << o.opened << ", frames " << o.frames << ", ended " << o.ended << "}";
}

namespace {

namespace fs = std::filesystem;

std::vector<std::string> inputs(const std::string& target) {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(std::string(FUZZ_REGRESSIONS_DIR) + "/" + target))
    if (e.is_regular_file()) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

std::string input(const std::string& target, const std::string& name) {
  return read_file(std::string(FUZZ_REGRESSIONS_DIR) + "/" + target + "/" + name);
}

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(FuzzRegressions, EveryInputRuns) {
  for (const char* target : {"settings", "reader", "builtin", "vidx"}) {
    const auto files = inputs(target);
    EXPECT_FALSE(files.empty()) << target;
    for (const auto& path : files) {
      SCOPED_TRACE(path);
      const std::string data = read_file(path);
      if (std::string(target) == "settings") fuzz_settings(bytes(data), data.size());
      if (std::string(target) == "reader") fuzz_reader(bytes(data), data.size());
      if (std::string(target) == "builtin") fuzz_builtin(bytes(data), data.size());
      if (std::string(target) == "vidx") fuzz_vidx(bytes(data), data.size());
    }
  }
}

// Each input of `target` through `fuzz`, against what it should come to.
template <typename Outcome>
void expect_outcomes(const char* target, Outcome (*fuzz)(const uint8_t*, size_t),
                     const std::vector<std::pair<std::string, Outcome>>& cases) {
  for (const auto& [name, want] : cases) {
    const std::string data = input(target, name);
    EXPECT_EQ(fuzz(bytes(data), data.size()), want) << name;
  }
}

// Accepted or not.
TEST(FuzzRegressions, SettingsOutcomes) {
  expect_outcomes<bool>("settings", fuzz_settings,
                        {
                            {"huge-weight", false},    // 1e39 overflows a float: refused, not undefined
                            {"nan-weight", false},     // no fixed-point form
                            {"long-reduction", true},  // 400 digits: reduction off, no overflow
                            {"dash-only", false},  // a lone "-" and an empty argument, then -r without a value
                            // A time field of 200 digits: refused, without overflowing on the way.
                            {"long-time-field", false},
                        });
}

// {opened, frames, refused}
TEST(FuzzRegressions, ReaderOutcomes) {
  expect_outcomes<ReaderOutcome>(
      "reader", fuzz_reader,
      {
          {"empty.avi", {false, 0, 0}},
          {"headers-only.avi", {false, 0, 0}},  // an encoder's file cut before its first frame
          {"truncated.avi", {true, 2, 0}},      // cut after two frames: no index, the rest missing
          {"size-lies.avi", {true, 0, 0}},      // 8 x 6 frames in a header claiming 500 x 500
          {"top-down.avi", {true, 8, 0}},       // negative height: rows stored top first
          // Found by the fuzzer: a damaged header makes the frames 24 x 65552,
          // taller than any picture a decoder is asked for: the getter is
          // refused before anything is allocated for them ("Frame Open error").
          {"tall-frames.avi", {false, 0, 0}},
          // An INFO list whose one entry claims 1.85 GB, which libavformat's
          // AVI reader asked for zeroed in one piece: refused, and with it
          // the file.
          {"memory-info-huge.avi", {false, 0, 0}},
          // The same INFO entry claiming 768 MB and 1.88 GB: the first lies
          // between the allocation limit and 1 GiB, so a limit raised that far
          // lets it through.
          {"memory-info-768m.avi", {false, 0, 0}},
          {"memory-info-1880m.avi", {false, 0, 0}},
      });
}

// {opened, frames, ended}. The first byte of each input picks the fit and
// the clip (see fuzz_builtin).
TEST(FuzzRegressions, BuiltinOutcomes) {
  expect_outcomes<BuiltinOutcome>(
      "builtin", fuzz_builtin,
      {
          {"empty", {false, 0, false}},
          {"huge-header.y4m", {false, 0, false}},  // 16000 x 16000 claimed: refused before allocating
          {"truncated.mp4", {false, 0, false}},    // cut inside its header boxes
          {"crop-clip.mp4", {true, 1, true}},      // cropped, a clip of one frame from 0.1 s
          {"memory-info-huge.avi", {false, 0, false}},  // as the reader's
          {"memory-info-768m.avi", {false, 0, false}},
          {"memory-info-1880m.avi", {false, 0, false}},
      });
}

// The figures the limits were chosen to hold, written here rather than read
// from limits.h, so that a limit raised there fails this test.
constexpr size_t kLargestAllocationAllowed = size_t(168) * 1024 * 1024;
constexpr size_t kProcessPeakAllowed = size_t(256) * 1024 * 1024;

// Inputs that once asked for more memory than the program may have (kept as
// memory-*): no allocation over the limit, and this process's peak under the
// ceiling, each where the build can tell (see memory_watch.h).
TEST(FuzzRegressions, MemoryInputsStayWithinTheLimits) {
  int seen = 0;
  for (const char* target : {"reader", "builtin"}) {
    for (const auto& path : inputs(target)) {
      if (fs::path(path).filename().string().rfind("memory-", 0) != 0) continue;
      ++seen;
      const std::string data = read_file(path);
      largest_allocation_since_last_call();
      if (std::string(target) == "reader") fuzz_reader(bytes(data), data.size());
      else fuzz_builtin(bytes(data), data.size());
      EXPECT_LE(largest_allocation_since_last_call(), kLargestAllocationAllowed) << path;
      if (rss_is_measurable()) {
        EXPECT_LT(peak_rss_bytes(), kProcessPeakAllowed) << path;
      }
    }
  }
  EXPECT_GE(seen, 6);
}

TEST(FuzzRegressions, VidxOutcomes) {
  expect_outcomes<VidxStatus>(
      "vidx", fuzz_vidx,
      {
          {"count-lies.vidx", VidxStatus::ok},                    // the size, not the count, says how many records
          {"grey-but-one-plane.vidx", VidxStatus::partial_record},  // grey byte 2: records are two planes
          {"bad-offset.vidx", VidxStatus::bad_lengths},
          {"cut-header.vidx", VidxStatus::short_header},
      });
}

}  // namespace
