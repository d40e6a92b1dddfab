#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "process/private_path.h"

namespace eventid {
namespace {

// Whether a user other than ours or root could put a file of their own at a name in dir: it is
// theirs, or they may write it. A directory above that others may write is safe only where it
// is sticky, since then they cannot rename or remove what we own in it.
bool others_may_replace(const struct stat& dir, bool is_parent) {
  const uid_t us = ::geteuid();
  if (dir.st_uid != us && dir.st_uid != 0) return true;
  if ((dir.st_mode & (S_IWGRP | S_IWOTH)) == 0) return false;
  return !is_parent || (dir.st_mode & S_ISVTX) == 0;
}

}  // namespace

std::string unsafe_directory(const std::string& where, std::string* why) {
  const std::size_t slash = where.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : where.substr(0, slash + 1);
  char real[PATH_MAX];
  if (!::realpath(dir.c_str(), real)) {
    *why = dir + ": " + std::strerror(errno);
    return dir;
  }
  std::string path = real;
  for (bool is_parent = false;; is_parent = true) {
    struct stat about;
    if (::stat(path.c_str(), &about) != 0) {
      *why = path + ": " + std::strerror(errno);
      return path;
    }
    if (others_may_replace(about, is_parent)) {
      *why = path + ": another user may write this directory";
      return path;
    }
    if (path == "/") return "";
    const std::size_t up = path.rfind('/');
    path = up == 0 ? "/" : path.substr(0, up);
  }
}

}  // namespace eventid
