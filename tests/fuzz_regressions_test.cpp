// Replays every saved fuzzing input (fuzz/regressions/<target>/) through the
// same entry points the libFuzzer targets call, so an input that once broke
// something keeps being run, under the sanitizers too (scripts/sanitize.sh).
// Inputs with a known outcome are also checked against it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_entry.h"
#include "test_support.h"

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
  for (const char* target : {"settings", "reader", "vidx"}) {
    const auto files = inputs(target);
    EXPECT_FALSE(files.empty()) << target;
    for (const auto& path : files) {
      SCOPED_TRACE(path);
      const std::string data = read_file(path);
      if (std::string(target) == "settings") fuzz_settings(bytes(data), data.size());
      if (std::string(target) == "reader") fuzz_reader(bytes(data), data.size());
      if (std::string(target) == "vidx") fuzz_vidx(bytes(data), data.size());
    }
  }
}

TEST(FuzzRegressions, SettingsOutcomes) {
  const struct {
    const char* name;
    bool accepted;
  } cases[] = {
      {"huge-weight", false},     // 1e39 overflows a float: refused, not undefined
      {"nan-weight", false},      // no fixed-point form
      {"long-reduction", true},   // 400 digits: reduction off, no overflow
      {"dash-only", false},       // a lone "-" and an empty argument, then -r without a value
  };
  for (const auto& c : cases) {
    const std::string data = input("settings", c.name);
    EXPECT_EQ(fuzz_settings(bytes(data), data.size()), c.accepted) << c.name;
  }
}

TEST(FuzzRegressions, ReaderOutcomes) {
  const struct {
    const char* name;
    bool opened;
    int frames;
    int refused;
  } cases[] = {
      {"empty.avi", false, 0, 0},
      {"headers-only.avi", false, 0, 0},  // an encoder's file cut before its first frame
      {"truncated.avi", true, 2, 0},      // cut after two frames: no index, the rest missing
      {"size-lies.avi", true, 0, 0},      // 8 x 6 frames in a header claiming 2000 x 2000
      {"top-down.avi", true, 8, 0},       // negative height: rows stored top first
      // Found by the fuzzer: a damaged header makes the frames 24 x 65552,
      // taller than `sample` reads; refused, which the run reports as
      // "nomoreframes", and slow enough that the fuzzer kept breeding them.
      {"tall-frames.avi", true, 0, 2},
  };
  for (const auto& c : cases) {
    const std::string data = input("reader", c.name);
    const ReaderOutcome o = fuzz_reader(bytes(data), data.size());
    EXPECT_EQ(o.opened, c.opened) << c.name;
    EXPECT_EQ(o.frames, c.frames) << c.name;
    EXPECT_EQ(o.refused, c.refused) << c.name;
  }
}

TEST(FuzzRegressions, VidxOutcomes) {
  const struct {
    const char* name;
    VidxStatus status;
  } cases[] = {
      {"count-lies.vidx", VidxStatus::ok},                 // the size, not the count, says how many records
      {"grey-but-one-plane.vidx", VidxStatus::partial_record},  // grey byte 2: records are two planes
      {"bad-offset.vidx", VidxStatus::bad_lengths},
      {"cut-header.vidx", VidxStatus::short_header},
  };
  for (const auto& c : cases) {
    const std::string data = input("vidx", c.name);
    EXPECT_EQ(fuzz_vidx(bytes(data), data.size()), c.status) << c.name;
  }
}

}  // namespace
