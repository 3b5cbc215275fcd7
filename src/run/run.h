// The conversion run: from the parsed settings to the finished video file,
// with every console line on the way and one exit status at the end.
#pragma once

#include "settings/settings.h"

// How a run ended: the exit status, or the stop signal that interrupted it
// and must now end the process (0 if none).
struct RunEnd {
  int status = 0;
  int signal = 0;
};

// Runs the encoders, then steps through the temporary movie at 10 frames per
// second, each frame through the pipeline into the output file. Prints the
// progress and either "Success!" or one line saying what went wrong.
RunEnd run_conversion(const ConversionSettings& settings);
