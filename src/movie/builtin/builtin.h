// The built-in engine: decodes the user's movie in this process (libavformat,
// libavcodec, libavfilter) and hands the frame loop 96 x 64 frames at 10 per
// second, shaped as the display shows them, with no temporary movie and no
// encoder process. No libav type leaves src/movie/builtin/.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "movie/frame_source.h"
#include "settings/settings.h"
#include "util/non_copyable.h"

struct BuiltinRequest {
  std::string path;          // the user's movie
  Fit fit = Fit::pad;
  int64_t start_ms = 0;      // trim: start of the clip, from the first frame's time
  int64_t duration_ms = kNoDuration;  // trim: length of the clip
  // Decodes every picture, shown or not: the slow reference that the fast
  // path's pictures are checked against. Off for real runs.
  bool exact = false;
  // Decoding threads; 0, for real runs, is one per core, fewer for large
  // pictures (see decoding_threads in limits.h). The fuzzer uses 1:
  // starting threads for every input would cost more than the input.
  int threads = 0;
  // A lower picture size limit than the engine's own (0: the engine's). The
  // fuzzer uses one, so that its time goes to the code rather than to
  // zeroing the memory of pictures as large as a movie may have.
  int64_t max_pixels = 0;
  // A lower budget of decoded pictures than the engine's own (0: the
  // engine's, kPictureBudget in limits.h), for tests of its edge.
  int64_t picture_budget = 0;
};

class BuiltinSource : public FrameSource, NonCopyable {
 public:
  explicit BuiltinSource(BuiltinRequest request);
  ~BuiltinSource() override;

  // Opens the movie, picks its video stream, readies the decoder and finds
  // the clip's first frame; on any failure everything opened is released.
  SourceStatus open() override;

  // The picture size as displayed: rotation and pixel shape applied. Valid
  // after open() has got as far as reading the stream, even if it then failed.
  FrameSize size() const override;

  // The size the picture is scaled to before it is padded or cropped to
  // 96 x 64 ("Out Width", "Out Height"); valid like size().
  FrameSize scaled() const;

  // 10 frames per second from position 0; length is an estimate of the
  // clip's frames (exact_length false): frame() says where it really ends.
  SourceTiming timing() const override;

  // The 96 x 64 frame at position `pos` (0, 1, 2, ...; repeats allowed) as a
  // packed 24-bit bottom-up DIB, valid until the next call.
  FrameStatus frame(uint32_t pos, std::span<const uint8_t>& dib) override;

  // Why the last open() failed, in a few words ("cannot open the movie: No
  // such file or directory"); empty after a success.
  const std::string& failure() const;

  // Errors met inside the movie so far (damaged or refused pictures, data
  // breaking off); each kind is also reported once on standard error.
  uint64_t decode_errors() const;

 private:
  struct Engine;  // the libav state, in engine.h
  // Opens the movie within the memory limits and picks its video stream.
  SourceStatus open_stream(Engine& e);
  BuiltinRequest request_;
  FrameSize size_;
  FrameSize scaled_;
  SourceTiming timing_;
  std::unique_ptr<Engine> engine_;
  std::string failure_;
};
