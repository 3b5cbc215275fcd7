// Helpers shared by the tests (see test_support.h).
#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd,
                      const std::string& path_prefix) {
  RunResult result;
  char outname[] = "/tmp/movdith_out_XXXXXX";
  char errname[] = "/tmp/movdith_err_XXXXXX";
  int outfd = mkstemp(outname);
  int errfd = mkstemp(errname);
  if (outfd < 0 || errfd < 0) return result;

  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(outfd, 1);
    dup2(errfd, 2);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (!path_prefix.empty()) {
      const char* old = getenv("PATH");
      std::string path = path_prefix + ":" + (old ? old : "/usr/bin:/bin");
      setenv("PATH", path.c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int wstatus = 0;
  if (pid > 0) {
    while (waitpid(pid, &wstatus, 0) < 0) {
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  }
  close(outfd);
  close(errfd);
  result.out = read_file(outname);
  result.err = read_file(errname);
  unlink(outname);
  unlink(errname);
  return result;
}

TempDir::TempDir() {
  char name[] = "/tmp/movdith_test_XXXXXX";
  if (mkdtemp(name)) path_ = name;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool make_movie(const std::string& path, const std::string& lavfi,
                const std::vector<std::string>& output_options) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", lavfi};
  argv.insert(argv.end(), output_options.begin(), output_options.end());
  argv.push_back(path);
  return run_program(argv).status == 0 && file_exists(path);
}
