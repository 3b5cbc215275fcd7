// The terminal a run was started from. With the mencoder engine the run
// points standard error at error.txt, where a new user seldom looks; what
// the user can act on (a missing encoder, a file that cannot be written)
// goes to the terminal's own standard error as one line after the run.
#pragma once

#include <string>
#include <vector>

#include "util/non_copyable.h"

class Terminal : NonCopyable {
 public:
  Terminal() = default;
  ~Terminal();

  // Keeps the terminal's standard error, then points standard error (ours
  // and every encoder's) at `path`, created or emptied. Returns 0, or the
  // error number if `path` could not be opened (standard error is then left
  // as it was).
  int redirect_stderr(const char* path);

  // Keeps `text` (one line, without its newline) for the end of the run;
  // an empty or repeated note is dropped.
  void note(const std::string& text);

  // Writes the notes kept so far on the terminal's standard error, each as
  // "movdith: <note>", once.
  void print_notes();

 private:
  int fd_ = -1;  // the terminal's standard error once redirected; -1 while it is still standard error
  std::vector<std::string> notes_;
};
