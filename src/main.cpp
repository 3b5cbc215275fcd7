// movdith: converts a movie into a 96 x 64 video file for a calculator screen.
// The run: settings, the two encoder runs, then every frame of the temporary
// movie through the pipeline into the output file, with progress on the way.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "frame/frame.h"
#include "movie/encoder.h"
#include "movie/reader.h"
#include "raster.h"
#include "settings/settings.h"
#include "videofile/videofile.h"

namespace {

constexpr const char* kErrorFile = "error.txt";
constexpr const char* kWriteError = "Write error: the output file could not be written";
constexpr uint32_t kOutputFps = 10;  // output frames per second of movie

// Everything the run owns, so that one failure path can release it all. The
// frame buffers live here too: nothing is allocated once frames flow.
struct Run {
  ConversionSettings settings;
  GreyBuffer graybuf, ditherbuf;
  Plane final, final2;
  AviFile* vidfile = nullptr;
  AviStream* vidstream = nullptr;
  AviGetFrame* gf = nullptr;
  VideoFile outfile;
  bool avi_started = false;
} run;

// Releases what is open, in teardown order; the output file stays on disk.
// False if the output file could not be flushed and closed whole.
bool release() {
  AVIStreamGetFrameClose(run.gf);
  run.gf = nullptr;
  AVIFileRelease(run.vidfile);
  run.vidfile = nullptr;
  run.vidstream = nullptr;
  if (run.avi_started) AVIFileExit();
  run.avi_started = false;
  return videofile_close(run.outfile);
}

// The one way out of a failed run: the message, the releases, status 1.
// Temporary files stay on disk so the user can look at them.
[[noreturn]] void die(const char* message) {
  std::puts(message);
  release();
  std::fflush(stdout);
  std::exit(1);
}

// The way out after a stop signal reached us and the encoder during an
// encoder run: the line, the releases, then the signal's own default action,
// so that the parent sees the signal (a shell's status 128 + its number) and
// a shell script running us stops too. Temporary files stay, as on failure.
[[noreturn]] void interrupted(int sig) {
  std::puts("\nInterrupted");
  release();
  std::fflush(stdout);
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  std::exit(128 + sig);  // only if the signal could not end the process
}

// The design's terse line on the console; error.txt says what to do.
[[noreturn]] void encoder_not_started() {
  std::fputs("mencoder could not be started: is it installed (apt-get install mencoder) and on PATH?\n", stderr);
  die("Error pipe");
}

// Points standard error, ours and the encoder's, at error.txt for the run.
void redirect_stderr() {
  std::fflush(stderr);
  int fd = open(kErrorFile, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return;
  dup2(fd, STDERR_FILENO);
  close(fd);
}

// Probe run, sizing rule, transcoding run: leaves a 96 x 64, 10 frames per
// second temporary movie, or ends the process.
void prepare_movie() {
  const char* moviepath = run.settings.moviepath.c_str();
  std::fflush(stdout);
  EncoderStatus probe = probe_run(moviepath);
  if (probe == EncoderStatus::Interrupted) interrupted(interrupting_signal());
  if (probe == EncoderStatus::SpawnFailed) encoder_not_started();

  AVIFileInit();
  run.avi_started = true;
  if (AVIFileOpenA(&run.vidfile, kTempMovie) != 0) die("Open error");
  AVIFILEINFO vidinfo;
  if (AVIFileInfoA(run.vidfile, &vidinfo) != 0) die("Info error");
  std::printf("In Width: %d\nIn Height: %d\n", static_cast<int>(vidinfo.dwWidth),
              static_cast<int>(vidinfo.dwHeight));
  OutputSize size;
  if (!output_size(vidinfo.dwWidth, vidinfo.dwHeight, size))
    die("Size error: the picture cannot be fitted to 96 x 64");
  std::printf("Out Width: %d\nOut Height: %d\n", static_cast<int>(size.outw),
              static_cast<int>(size.outh));
  AVIFileRelease(run.vidfile);
  run.vidfile = nullptr;

  std::puts("Please Wait, this may take a few minutes...");
  std::fflush(stdout);
  EncoderStatus status = transcode_run(moviepath, size, [](int complete) {
    std::printf("Phase 1: %d%%\r", complete);
    std::fflush(stdout);
  });
  std::fflush(stdout);
  if (status == EncoderStatus::Interrupted) interrupted(interrupting_signal());
  if (status == EncoderStatus::SpawnFailed) encoder_not_started();
  if (status == EncoderStatus::Failed) die("\nEncoder error: mencoder failed (see error.txt)");
  if (status == EncoderStatus::Killed) die("\nEncoder error: mencoder was killed by a signal (see error.txt)");
}

// One output frame: the pipeline from the decoded frame to its record.
void convert_frame(std::span<const uint8_t> frame) {
  const ConversionSettings& s = run.settings;
  if (!sample(frame, run.graybuf)) die("nomoreframes");
  reduce(run.graybuf, s.reduction);
  dither(run.graybuf, s.grey, s.matrix, run.ditherbuf);
  pack(run.ditherbuf, s.grey, run.final, run.final2);
  if (!videofile_write_record(run.outfile, run.final, run.final2, s.grey)) {
    std::putchar('\n');  // ends the progress line the message would overwrite
    die(kWriteError);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  run.settings = parse(argc, argv);
  redirect_stderr();
  prepare_movie();

  if (AVIFileOpenA(&run.vidfile, kTempMovie) != 0) die("\nOpen error");
  std::printf("Phase 1: 100%%\n");

  AVIFILEINFO vidinfo;
  AVISTREAMINFO streaminfo;
  if (AVIFileInfoA(run.vidfile, &vidinfo) != 0) die("Info error");
  if (AVIFileGetStream(run.vidfile, &run.vidstream) != 0) die("Stream error");
  if (AVIStreamInfoA(run.vidstream, &streaminfo) != 0) die("Stream Info error");
  run.gf = AVIStreamGetFrameOpen(run.vidstream);
  if (!run.gf) die("Frame Open error");

  // A rate below one frame per second has no cadence: the loop would never
  // advance. The encoder always writes 10; anything else is a broken movie.
  const uint32_t fps = streaminfo.dwScale ? streaminfo.dwRate / streaminfo.dwScale : 0;
  const uint64_t frameskip64 = uint64_t{fps} * kFixedOne / kOutputFps;
  if (fps == 0 || frameskip64 > INT32_MAX) die("Frame Rate error: the movie has no usable frame rate");
  const uint32_t frameskip = static_cast<uint32_t>(frameskip64);  // source frames per output frame, 16.16

  uint64_t curframe = streaminfo.dwStart;
  if (!videofile_open(run.outfile, run.settings.outpath.c_str()))
    die("Output error: the output file could not be created");

  const double rate = static_cast<double>(streaminfo.dwRate) / streaminfo.dwScale;
  std::printf("Frame Rate = %02.2f hz\nLength = %0.0f seconds\n", rate, streaminfo.dwLength / rate);

  // Tenths of a second of movie; 64-bit so that a long stream cannot wrap.
  const uint64_t framecount = uint64_t{streaminfo.dwLength} * kOutputFps / fps;
  if (!videofile_write_header(run.outfile, run.settings.grey,
                              static_cast<uint32_t>(framecount > UINT32_MAX ? UINT32_MAX : framecount)))
    die(kWriteError);

  const uint64_t end = uint64_t{streaminfo.dwStart} + streaminfo.dwLength;
  uint32_t skipcount = 0;  // the fraction carried between steps, below 1.0
  while (curframe < end) {
    std::span<const uint8_t> frame;
    if (curframe <= INT32_MAX) frame = AVIStreamGetFrame(run.gf, static_cast<int32_t>(curframe));
    if (frame.empty()) die("nomoreframes");
    convert_frame(frame);
    std::printf("Phase 2: %d%%\r",
                static_cast<int>(uint64_t{100} * (curframe - streaminfo.dwStart) / streaminfo.dwLength));
    std::fflush(stdout);

    skipcount += frameskip;
    curframe += skipcount >> kFixedShift;
    skipcount &= kFixedOne - 1;
  }
  std::printf("Phase 2: 100%%\n");

  if (!release()) die(kWriteError);
  std::fclose(stderr);
  std::remove(kErrorFile);

  if (std::remove(kTempMovie) != 0) std::puts("You may delete movdithtemp.avi if you wish.");
  std::puts("Success!");
  return std::fflush(stdout) == 0 ? 0 : 1;
}
