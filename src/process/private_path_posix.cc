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

// A link on the way to where, as it is given, that another user owns: they may point it
// elsewhere whenever they like, after every directory it led to was found safe.
std::string foreign_link(const std::string& where, std::string* why) {
  const uid_t us = ::geteuid();
  for (std::size_t slash = where.find('/', 1); slash != std::string::npos;
       slash = where.find('/', slash + 1)) {
    const std::string step = where.substr(0, slash);
    struct stat about;
    if (::lstat(step.c_str(), &about) == 0 && S_ISLNK(about.st_mode) && about.st_uid != us &&
        about.st_uid != 0) {
      *why = step + ": a link that another user owns";
      return step;
    }
  }
  return "";
}

// The text of an error, with errno left as the error for the caller to report.
std::string failed(const std::string& what, int error) {
  std::string text = what + ": " + std::strerror(error);
  errno = error;
  return text;
}

}  // namespace

std::string unsafe_directory(const std::string& where, std::string* why) {
  if (std::string link = foreign_link(where, why); !link.empty()) {
    errno = EACCES;
    return link;
  }
  const std::size_t slash = where.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : where.substr(0, slash + 1);
  char real[PATH_MAX];
  if (!::realpath(dir.c_str(), real)) {
    *why = failed(dir, errno);
    return dir;
  }
  std::string path = real;
  for (bool is_parent = false;; is_parent = true) {
    struct stat about;
    if (::stat(path.c_str(), &about) != 0) {
      *why = failed(path, errno);
      return path;
    }
    if (others_may_replace(about, is_parent)) {
      *why = path + ": another user may write this directory";
      errno = EACCES;
      return path;
    }
    if (path == "/") return "";
    const std::size_t up = path.rfind('/');
    path = up == 0 ? "/" : path.substr(0, up);
  }
}

}  // namespace eventid
