// The files a run with the encoder keeps in the current folder while it
// works (error.txt and the temporary movie), and the lock that keeps two
// runs in one folder from using them at once.
#pragma once

#include "util/non_copyable.h"

constexpr const char* kErrorFile = "error.txt";

// The working file `path` would overwrite, or nullptr if none.
const char* working_file_at(const char* path);

// An exclusive lock on the current folder, held while it exists. The kernel
// drops it when the process ends, however it ends, so a killed run never
// leaves a stale lock behind.
class FolderLock : NonCopyable {
 public:
  FolderLock();
  ~FolderLock();
  // Takes the lock if it is free; false when another run holds it.
  bool try_lock();
  // Waits for the lock (a stop signal still ends the wait).
  void lock();

 private:
  int fd_ = -1;  // the folder, opened for reading; -1 where it cannot be locked
};
