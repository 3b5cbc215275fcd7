// scripts/setup.sh's package step with stand-ins for dpkg-query (every
// package missing) and apt-get: apt waits for the package lock, and a failed
// update or install stops the script with apt's last lines and its log's
// path on standard error.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// `lines` numbered lines, the last of them `last`.
std::string apt_output(const std::string& step, int lines, const std::string& last) {
  std::string text;
  for (int i = 1; i < lines; ++i) text += step + " line " + std::to_string(i) + "\n";
  return text + last + "\n";
}

// The last `count` lines of `text`.
std::string last_lines(const std::string& text, int count) {
  size_t from = text.size();
  for (int newlines = 0; from > 0; --from)
    if (text[from - 1] == '\n' && ++newlines > count) break;
  return text.substr(from);
}

void write_script(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0755);
}

constexpr const char* kLockLine =
    "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)";

TEST(SetupScript, AptWaitsForTheLockAndAFailureSaysWhy) {
  const struct {
    const char* name;
    int update_status, install_status;
    std::string update_says, install_says;
  } cases[] = {
      {"update fails", 100, 0, apt_output("update", 25, kLockLine), ""},
      {"install fails", 0, 100, apt_output("update", 3, "Reading package lists..."),
       apt_output("install", 30, "E: Unable to locate package gtest")},
      {"install fails quietly", 0, 1, "", ""},
      {"both succeed", 0, 0, apt_output("update", 2, "Done"), apt_output("install", 2, "Done")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string bin = dir / "bin";
    mkdir(bin.c_str(), 0755);
    write_bytes(dir / "update.txt", c.update_says);
    write_bytes(dir / "install.txt", c.install_says);
    write_script(bin + "/dpkg-query", "exit 1\n");
    // Its arguments, one call a line; then what the step says, and its status.
    write_script(bin + "/apt-get", "echo \"$*\" >> '" + dir / "calls.txt" + "'\n"
                                   "case \" $* \" in\n"
                                   "*\" update \"*) cat '" + dir / "update.txt" + "'; exit " +
                                       std::to_string(c.update_status) + ";;\n"
                                   "*) cat '" + dir / "install.txt" + "'; exit " +
                                       std::to_string(c.install_status) + ";;\n"
                                   "esac\n");
    Launch launch{{"env", "TMPDIR=" + dir.path(), "bash", std::string(MOVDITH_SOURCE_DIR) + "/scripts/setup.sh",
                   "--packages-only"},
                  dir.path(), bin};
    const RunResult r = run_program(launch, 60);

    // The log is the one file the script made in TMPDIR.
    std::string log;
    for (const std::string& name : folder_names(dir.path()))
      if (name.rfind("movdith-apt.", 0) == 0) log = dir / name;
    const bool ok = c.update_status == 0 && c.install_status == 0;
    EXPECT_EQ(log.empty(), ok) << "the log is kept only when apt failed";
    EXPECT_EQ(r.out.rfind("Installing: ", 0), 0u) << r.out;
    if (!ok) {
      EXPECT_NE(r.out.find("(apt-get's output goes to " + log + ")\n"), std::string::npos) << r.out;
    }

    const std::string options = "-o DPkg::Lock::Timeout=600 ";
    const std::string calls = read_file(dir / "calls.txt");
    EXPECT_EQ(calls.rfind(options + "update -q\n", 0), 0u) << calls;
    EXPECT_EQ(calls.find(options + "install -y -q --no-install-recommends ") != std::string::npos,
              c.update_status == 0)
        << calls;
    if (ok) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      continue;
    }
    EXPECT_EQ(r.status, 1);
    const std::string step = c.update_status ? "update" : "install";
    const int status = c.update_status ? c.update_status : c.install_status;
    const std::string written = read_file(log);
    EXPECT_EQ(written, c.update_says + (c.update_status ? "" : c.install_says));
    EXPECT_EQ(r.err, "setup.sh: apt-get " + step + " failed (status " + std::to_string(status) +
                         "); the last lines of its output (" + log + "):\n" + last_lines(written, 20));
  }
}

}  // namespace
