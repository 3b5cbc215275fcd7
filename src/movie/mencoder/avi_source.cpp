// The temporary movie through the reader's calls (see avi_source.h).
#include "movie/mencoder/avi_source.h"

#include <climits>
#include <utility>

AviSource::AviSource(std::string path) : path_(std::move(path)) {}

AviSource::~AviSource() {
  getter_.reset();
  file_.reset();
  if (started_) AVIFileExit();
}

SourceStatus AviSource::open() {
  if (!started_) AVIFileInit();
  started_ = true;
  AviFile* file = nullptr;
  if (AVIFileOpenA(&file, path_.c_str()) != 0) return SourceStatus::open_failed;
  file_.reset(file);
  AVIFILEINFO vidinfo;
  if (AVIFileInfoA(file, &vidinfo) != 0) return SourceStatus::info_failed;
  size_ = {vidinfo.dwWidth, vidinfo.dwHeight};
  AviStream* vidstream = nullptr;
  if (AVIFileGetStream(file, &vidstream) != 0) return SourceStatus::stream_failed;
  AVISTREAMINFO streaminfo;
  if (AVIStreamInfoA(vidstream, &streaminfo) != 0) return SourceStatus::stream_info_failed;
  timing_ = {streaminfo.dwRate, streaminfo.dwScale, streaminfo.dwStart, streaminfo.dwLength, true};
  getter_.reset(AVIStreamGetFrameOpen(vidstream));
  if (!getter_) return SourceStatus::getter_failed;
  return SourceStatus::ok;
}

FrameStatus AviSource::frame(uint32_t pos, std::span<const uint8_t>& dib) {
  dib = {};
  if (getter_ && pos <= INT32_MAX) dib = AVIStreamGetFrame(getter_.get(), static_cast<int32_t>(pos));
  return dib.empty() ? FrameStatus::failed : FrameStatus::ok;
}

SourceStatus read_movie_size(const char* path, FrameSize& size) {
  AVIFileInit();
  AviFile* opened = nullptr;
  SourceStatus status = SourceStatus::open_failed;
  if (AVIFileOpenA(&opened, path) == 0) {
    AviFileHandle file(opened);
    AVIFILEINFO vidinfo;
    status = SourceStatus::info_failed;
    if (AVIFileInfoA(file.get(), &vidinfo) == 0) {
      size = {vidinfo.dwWidth, vidinfo.dwHeight};
      status = SourceStatus::ok;
    }
  }
  AVIFileExit();
  return status;
}
