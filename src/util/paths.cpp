// Same file, same place (see paths.h).
#include "util/paths.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace {

// The name a path resolves to: links followed as far as they lead, the rest
// taken as written. A dangling link stands for the file it would create.
std::filesystem::path resolved(const char* path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(p, ec)); ++hops) {
    const fs::path target = fs::read_symlink(p, ec);
    if (ec) break;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  return fs::weakly_canonical(p, ec);
}

}  // namespace

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool same_place(const char* a, const char* b) {
  if (same_file(a, b)) return true;
  struct stat st;
  // Two existing files that are not one file are two places.
  if (stat(a, &st) == 0 && stat(b, &st) == 0) return false;
  return resolved(a) == resolved(b);
}
