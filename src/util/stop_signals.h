// The signals that ask a console program to stop (Ctrl-C, kill's default,
// the terminal going away, the reader of its output going away), caught for a
// stretch of work so that it can end cleanly, and passed on to a child
// process that works for us meanwhile.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "util/non_copyable.h"

// SIGPIPE: whatever read standard output (`| head`) has closed it; the
// write that found it closed fails with EPIPE, and the run stops as for the
// others.
inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The stop signals as a set, for blocking them around work that must not be
// cut in two.
sigset_t stop_signal_set();

// Catches the stop signals for its lifetime and restores the earlier handlers
// afterwards; only one may exist at a time. Signals that were ignored when we
// started (a background job, nohup) stay ignored. The handlers are installed
// without SA_RESTART, so a blocked read, wait or sleep returns with EINTR.
class StopSignals : NonCopyable {
 public:
  StopSignals();
  ~StopSignals();

  // Holds the signals back until forward_to, so that none is lost between
  // starting a child and the handler learning whom to pass it to.
  void hold();
  // Passes the first stop signal on to `pid` from now on (a second one kills
  // it outright) and lets held signals through.
  void forward_to(pid_t pid);
  // The child has ended (it is not yet reaped): nothing more is passed on.
  void child_ended();

  // The first stop signal caught, 0 if none.
  int caught() const;
  // The signal mask from before hold(), for a child to start with.
  const sigset_t& mask() const { return mask_; }

 private:
  sigset_t mask_;
  bool holding_ = false;
  struct sigaction old_[sizeof kStopSignals / sizeof kStopSignals[0]] = {};
  bool installed_[sizeof kStopSignals / sizeof kStopSignals[0]] = {};
};

// SIGPIPE caught for a whole run, between the stretches a StopSignals
// covers (which catch it as they catch the others): a write to a closed
// standard output (the first one, say, before any encoder has run) then
// fails with EPIPE instead of ending the process before its files are
// settled and it has said why, and the run stops at its next look at
// broken_pipe(). What is written after that fails the same way;
// end_by_signal ends the process by the signal afterwards. Left ignored if it
// was ignored at the start; only one may exist at a time.
class BrokenPipeWatch : NonCopyable {
 public:
  BrokenPipeWatch();
  ~BrokenPipeWatch();

 private:
  struct sigaction old_ = {};
  bool installed_ = false;
};

// SIGPIPE once a write outside a StopSignals stretch found standard output
// closed, 0 before.
int broken_pipe();

// Ends the process by `sig`'s default action, so that the parent sees the
// signal (a shell's status 128 + its number) and a script running us stops
// too; exits with 128 + sig only if the signal could not end the process.
[[noreturn]] void end_by_signal(int sig);
