// The run's working files and the folder lock (see working_files.h). The
// lock is flock(2) on the folder itself, so it needs no file of its own.
#include "run/working_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "movie/mencoder/encoder.h"
#include "util/paths.h"

const char* working_file_at(const char* path) {
  for (const char* working : {kTempMovie, kErrorFile})
    if (same_place(path, working)) return working;
  return nullptr;
}

FolderLock::FolderLock() : fd_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

FolderLock::~FolderLock() {
  if (fd_ >= 0) close(fd_);
}

bool FolderLock::try_lock() {
  // A folder that cannot be locked at all (some network file systems) is
  // worked in unlocked, as before there was a lock.
  return fd_ < 0 || flock(fd_, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

void FolderLock::lock() {
  while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}
