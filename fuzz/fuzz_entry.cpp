// The fuzzed entry points. Inputs reach the code under test the way the
// program's own do: as an argument vector, or as a file the code opens by
// path (a memory file reached through /proc/self/fd, so no disk is touched).
#include "fuzz_entry.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "frame/frame.h"
#include "frame/dib.h"
#include "movie/builtin/builtin.h"
#include "movie/mencoder/reader.h"
#include "movie/sizing.h"
#include "settings/settings.h"

namespace {

constexpr size_t kMaxArgs = 64;     // argv entries after argv[0]
constexpr int kMaxPositions = 30;   // reader positions asked per input
constexpr uint32_t kMaxFrames = 40;  // built-in engine frames asked per input
// The largest picture decoded per input: larger ones take the refusal path
// (the full limit's arithmetic is the same), and the fuzzer's time goes to
// the code rather than to zeroing the memory of huge pictures.
constexpr int64_t kFuzzPixels = int64_t{1} << 18;  // 512 x 512
constexpr int kSequential = 24;     // of which from the start onwards
// Frame bytes handed out per input before the positions stop: a damaged
// header can make every frame megabytes, and the fuzzer breeds such inputs
// for their novelty until they are all it runs.
constexpr size_t kFrameBytesBudget = size_t{16} << 20;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
  }
}

// One memory file per process, rewritten for every input; its path is what
// the code under test opens.
class MemFile {
 public:
  explicit MemFile(const char* name) : fd_(memfd_create(name, MFD_CLOEXEC)) {
    check(fd_ >= 0, "memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  const char* fill(const uint8_t* data, size_t size) {
    check(ftruncate(fd_, 0) == 0, "ftruncate failed");
    size_t done = 0;
    while (done < size) {
      ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      check(n > 0, "pwrite failed");
      done += static_cast<size_t>(n);
    }
    return path_.c_str();
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace

bool fuzz_settings(const uint8_t* data, size_t size) {
  // Usage text, errors and the kernel display all go here.
  static std::FILE* console = std::fopen("/dev/null", "w");
  check(console != nullptr, "cannot open /dev/null");

  std::vector<std::string> args;
  size_t begin = 0;
  for (size_t i = 0; i <= size && args.size() < kMaxArgs; ++i) {
    if (i == size || data[i] == 0) {
      args.emplace_back(reinterpret_cast<const char*>(data) + begin, i - begin);
      begin = i + 1;
    }
  }
  std::vector<const char*> argv = {"movdith"};
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  ConversionSettings settings;
  const bool ok = parse_settings(static_cast<int>(argv.size() - 1), argv.data(), settings, console);
  if (ok) {
    check(settings.reduction == 0 || (settings.reduction >= 2 && settings.reduction <= 255),
          "reduction out of range");
    check(settings.grey >= 0, "negative grey count");
    for (int k = 0; k < kKernelSize; ++k)
      check(settings.matrix[k] == static_cast<int32_t>(double{settings.fmat[k]} * kFixedOne),
            "fixed-point kernel differs from the weights");
  }
  return ok;
}

ReaderOutcome fuzz_reader(const uint8_t* data, size_t size) {
  static MemFile movie("movie.avi");
  static const bool initialised = [] {
    AVIFileInit();
    av_log_set_level(AV_LOG_QUIET);  // damaged input is the point; keep the output readable
    return true;
  }();
  (void)initialised;

  ReaderOutcome outcome;
  AviFile* file = nullptr;
  AviStream* stream = nullptr;
  AviGetFrame* getter = nullptr;
  AVIFILEINFO info;
  AVISTREAMINFO sinfo;
  if (AVIFileOpenA(&file, movie.fill(data, size)) == 0 && AVIFileInfoA(file, &info) == 0 &&
      AVIFileGetStream(file, &stream) == 0 &&
      AVIStreamInfoA(stream, &sinfo) == 0 && (getter = AVIStreamGetFrameOpen(stream, kFuzzPixels)) != nullptr) {
    check(info.dwWidth > 0 && info.dwHeight > 0, "zero picture size reported");
    check(sinfo.dwScale > 0 && sinfo.dwRate > 0, "zero frame rate reported");
    outcome.opened = true;

    // The positions a run asks for, and the awkward ones: a repeat, a step
    // back, the first past the end, and before the start.
    const int64_t start = sinfo.dwStart;
    const int64_t end = start + sinfo.dwLength;
    std::vector<int64_t> positions;
    for (int64_t p = start; p < std::min<int64_t>(end, start + kSequential); ++p) positions.push_back(p);
    const int64_t last = positions.empty() ? start : positions.back();
    positions.push_back(last);
    positions.push_back(start + (last - start) / 2);
    positions.push_back(end);
    positions.push_back(start - 1);
    positions.push_back(start);
    if (positions.size() > size_t{kMaxPositions}) positions.resize(kMaxPositions);

    // Past sampling every frame is a 96 x 64 grey picture whatever the
    // movie was, so the later stages add nothing here but time.
    GreyBuffer grey;
    size_t budget = kFrameBytesBudget;
    for (int64_t p : positions) {
      if (p < 0 || p > INT32_MAX) continue;
      std::span<const uint8_t> frame = AVIStreamGetFrame(getter, static_cast<int32_t>(p));
      if (frame.empty()) continue;
      if (frame.size() > budget) break;
      budget -= frame.size();
      if (!sample(frame, grey)) {
        ++outcome.refused;
        continue;
      }
      ++outcome.frames;
    }
  }
  AVIStreamGetFrameClose(getter);
  AVIFileRelease(file);
  return outcome;
}

BuiltinOutcome fuzz_builtin(const uint8_t* data, size_t size) {
  static MemFile movie("movie");
  BuiltinOutcome outcome;
  // The first byte, when there is more, picks a fit and a clip, so that the
  // seeking and cropping paths are fuzzed too; the rest is the movie.
  BuiltinRequest request;
  request.threads = 1;
  request.max_pixels = kFuzzPixels;
  if (size > 1) {
    const uint8_t pick = data[0];
    request.fit = static_cast<Fit>(pick % 3);
    if (pick & 0x04) request.start_ms = 100 * (pick >> 4);
    if (pick & 0x08) request.duration_ms = 100 + 100 * (pick >> 5);
    ++data;
    --size;
  }
  request.path = movie.fill(data, size);
  BuiltinSource source(request);
  if (source.open() != SourceStatus::ok) return outcome;
  outcome.opened = true;
  const FrameSize shown = source.size(), scaled = source.scaled();
  check(shown.width > 0 && shown.height > 0, "zero picture size reported");
  check(scaled.width >= 1 && scaled.height >= 1 && scaled.width <= kMaxScaledSide && scaled.height <= kMaxScaledSide,
        "scaled size out of bounds");
  const SourceTiming t = source.timing();
  check(t.rate == 10 && t.scale == 1 && t.start == 0 && !t.exact_length, "not the engine's timing");
  GreyBuffer grey;
  for (uint32_t pos = 0; pos < kMaxFrames; ++pos) {
    std::span<const uint8_t> dib;
    const FrameStatus status = source.frame(pos, dib);
    if (status != FrameStatus::ok) {
      outcome.ended = status == FrameStatus::ended;
      break;
    }
    check(dib.size() == dib_bytes(kWidth, kHeight), "a frame that is not 96 x 64");
    check(sample(dib, grey), "a frame sample cannot read");
    ++outcome.frames;
  }
  return outcome;
}

VidxStatus fuzz_vidx(const uint8_t* data, size_t size) {
  static MemFile video("video.8xx");
  VidxFile v;
  const VidxStatus status = vidx_open(v, video.fill(data, size));
  if (status != VidxStatus::ok) {
    check(v.file == nullptr, "file left open after a refusal");
    return status;
  }
  check(kHeaderBytes + v.records * record_bytes(v.shades) == static_cast<int64_t>(size),
        "records do not account for the size");
  GreyBuffer frame;
  for (int64_t i = 0; i < v.records; ++i) {
    check(vidx_read_frame(v, i, frame) == VidxStatus::ok, "a counted record could not be read");
    for (uint8_t g : frame)
      check(g == kBlack || g == kWhite || (v.shades == Shades::four && (g == kDarkGrey || g == kLightGrey)),
            "a shade outside the file's levels");
  }
  check(vidx_read_frame(v, v.records, frame) == VidxStatus::read_error, "a record past the end was read");
  vidx_close(v);
  return status;
}
