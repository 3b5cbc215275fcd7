// Catching the stop signals and passing them on to a child (see
// stop_signals.h). The handler only touches sig_atomic_t state and calls
// async-signal-safe functions.
#include "util/stop_signals.h"

#include <cerrno>
#include <cstdlib>
#include <iterator>

namespace {

// The child to pass signals on to (0 when there is none) and the first stop
// signal caught.
volatile sig_atomic_t child_pid = 0;
volatile sig_atomic_t caught_signal = 0;
// A SIGPIPE caught by the whole run's watch.
volatile sig_atomic_t pipe_broken = 0;

extern "C" void on_broken_pipe(int sig) { pipe_broken = sig; }

extern "C" void on_stop(int sig) {
  const int saved = errno;
  const pid_t pid = child_pid;
  // A second signal, from a user whose child does not end, kills it.
  if (pid > 0) kill(pid, caught_signal ? SIGKILL : sig);
  if (!caught_signal) caught_signal = sig;
  errno = saved;
}

}  // namespace

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kStopSignals) sigaddset(&set, sig);
  return set;
}

StopSignals::StopSignals() {
  caught_signal = 0;
  child_pid = 0;
  sigprocmask(SIG_SETMASK, nullptr, &mask_);
  const sigset_t set = stop_signal_set();
  struct sigaction action {};
  action.sa_handler = on_stop;
  action.sa_mask = set;
  for (size_t i = 0; i < std::size(kStopSignals); ++i) {
    installed_[i] = sigaction(kStopSignals[i], nullptr, &old_[i]) == 0 && old_[i].sa_handler != SIG_IGN &&
                    sigaction(kStopSignals[i], &action, nullptr) == 0;
  }
}

StopSignals::~StopSignals() {
  const sigset_t set = stop_signal_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
  child_pid = 0;
  for (size_t i = 0; i < std::size(kStopSignals); ++i)
    if (installed_[i]) sigaction(kStopSignals[i], &old_[i], nullptr);
  sigprocmask(SIG_SETMASK, &mask_, nullptr);
}

void StopSignals::hold() {
  const sigset_t set = stop_signal_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
  holding_ = true;
}

void StopSignals::forward_to(pid_t pid) {
  // A signal caught before hold() found no child to pass it to; nothing can
  // be caught while holding, so this reads only those.
  const int earlier = caught_signal;
  child_pid = pid;
  if (holding_) sigprocmask(SIG_SETMASK, &mask_, nullptr);
  holding_ = false;
  if (earlier && pid > 0) kill(pid, earlier);
}

void StopSignals::child_ended() {
  // Blocked around the store so that a handler running now cannot pass a
  // signal on to a pid that is about to be reaped and reused.
  const sigset_t set = stop_signal_set();
  sigset_t old;
  sigprocmask(SIG_BLOCK, &set, &old);
  child_pid = 0;
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

int StopSignals::caught() const { return caught_signal; }

BrokenPipeWatch::BrokenPipeWatch() {
  pipe_broken = 0;
  struct sigaction action {};
  action.sa_handler = on_broken_pipe;
  sigemptyset(&action.sa_mask);
  installed_ = sigaction(SIGPIPE, nullptr, &old_) == 0 && old_.sa_handler != SIG_IGN &&
               sigaction(SIGPIPE, &action, nullptr) == 0;
}

BrokenPipeWatch::~BrokenPipeWatch() {
  if (installed_) sigaction(SIGPIPE, &old_, nullptr);
}

int broken_pipe() { return pipe_broken; }

void end_by_signal(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  std::exit(128 + sig);
}
