// movdith: converts a movie into a 96 x 64 video file for a calculator screen.
#include "settings/settings.h"

int main(int argc, char* argv[]) {
  ConversionSettings settings = parse(argc, argv);
  (void)settings;
  return 0;
}
