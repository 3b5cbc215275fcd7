// movdith: converts a movie into a 96 x 64 video file for a calculator screen.
// main only wires the stages: the settings, the run, the way the process ends.
#include "run/run.h"
#include "settings/settings.h"
#include "util/stop_signals.h"

int main(int argc, char* argv[]) {
  const ConversionSettings settings = parse(argc, argv);
  const RunEnd end = run_conversion(settings);
  // A stop signal ends the process by that signal, as a shell expects.
  if (end.signal) end_by_signal(end.signal);
  return end.status;
}
