// The fresh-root check's clean-up: scripts/fresh-check.sh --self-test runs
// the check on a tiny root made from this machine's programs and ends runs
// that pass, fail, and are interrupted half-way by SIGINT and by SIGTERM.
// Whatever it says, nothing may stay mounted or running in its folder.
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

bool at_or_under(const std::string& path, const std::string& dir) {
  return path == dir || path.rfind(dir + "/", 0) == 0;
}

// Mount points at or under `dir`, in the order they were made.
std::vector<std::string> mounts_under(const std::string& dir) {
  std::ifstream table("/proc/self/mounts");
  std::vector<std::string> found;
  std::string source, target, rest;
  while (table >> source >> target && std::getline(table, rest))
    if (at_or_under(target, dir)) found.push_back(target);
  return found;
}

// Processes whose root directory is `dir` or under it.
std::vector<std::string> processes_in(const std::string& dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string root = std::filesystem::read_symlink(entry.path() / "root", ec).string();
    if (!ec && at_or_under(root.substr(0, root.find(" (deleted)")), dir)) found.push_back(entry.path());
  }
  return found;
}

TEST(FreshCheck, EveryExitPathStopsWhatRanAndUndoesItsMounts) {
  if (geteuid() != 0) GTEST_SKIP() << "the check mounts and chroots: it needs root";
  TempDir dir;
  const std::string work = dir / "work";
  Launch self_test;
  self_test.argv = {"bash", std::string(MOVDITH_SOURCE_DIR) + "/scripts/fresh-check.sh", "--self-test", work};
  const RunResult result = run_program(self_test, 180);

  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "self-test: success: passed\n"
            "self-test: failure: passed\n"
            "self-test: half-way: the probe runs in its root, 5 mounts: passed\n"
            "self-test: a second run on the same cache is refused: passed\n"
            "self-test: interrupted by SIGINT: passed\n"
            "self-test: half-way: the probe runs in its root, 5 mounts: passed\n"
            "self-test: interrupted by SIGTERM: passed\n"
            "self-test: what a killed run left: passed\n"
            "self-test: passed\n");
  EXPECT_EQ(processes_in(dir.path()), std::vector<std::string>{});
  const std::vector<std::string> left = mounts_under(dir.path());
  EXPECT_EQ(left, std::vector<std::string>{});
  // Detached before the folder is removed: removing it would otherwise go
  // through a bound /dev into the machine's own.
  for (auto point = left.rbegin(); point != left.rend(); ++point) umount2(point->c_str(), MNT_DETACH);
  EXPECT_FALSE(file_exists(work + "/cache"));
}

}  // namespace
