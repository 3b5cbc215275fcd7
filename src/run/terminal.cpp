// The terminal's standard error, kept across the run's redirection, and the
// notes for it (see terminal.h).
#include "run/terminal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

Terminal::~Terminal() {
  if (fd_ >= 0) close(fd_);
}

int Terminal::redirect_stderr(const char* path) {
  std::fflush(stderr);
  // Close-on-exec: the encoders write to the file, never to the terminal.
  if (fd_ < 0) fd_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  dup2(fd, STDERR_FILENO);  // the copy is inherited, unlike the original
  close(fd);
  return 0;
}

void Terminal::note(const std::string& text) {
  if (!text.empty() && std::find(notes_.begin(), notes_.end(), text) == notes_.end()) notes_.push_back(text);
}

void Terminal::print_notes() {
  // After the run's own last line. Standard error needs no flush (it is
  // unbuffered), and after a success it is already closed.
  std::fflush(stdout);
  const int fd = fd_ >= 0 ? fd_ : STDERR_FILENO;
  for (const std::string& text : notes_) {
    const std::string line = "movdith: " + text + "\n";
    // A terminal that is gone cannot be told; the status still says it.
    for (size_t done = 0; done < line.size();) {
      const ssize_t n = write(fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += size_t(n);
    }
  }
  notes_.clear();
}
