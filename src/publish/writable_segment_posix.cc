#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "publish/writable_segment.h"

namespace eventid::segment {
namespace {

std::string system_text(int error) {
  return std::strerror(error);
}

// A mapping of the relay's own, released with the object (the relay keeps it to the end).
class FileSegment final : public WritableSegment {
 public:
  explicit FileSegment(Layout* layout) : WritableSegment(layout) {}
  ~FileSegment() override { ::munmap(&layout(), sizeof(Layout)); }
};

// Whether a user other than ours or root could put a file of their own at a name in dir: it is
// theirs, or they may write it. A directory above that others may write is safe only where it
// is sticky, since then they cannot rename or remove what we own in it.
bool others_may_replace(const struct stat& dir, bool is_parent) {
  const uid_t us = ::geteuid();
  if (dir.st_uid != us && dir.st_uid != 0) return true;
  if ((dir.st_mode & (S_IWGRP | S_IWOTH)) == 0) return false;
  return !is_parent || (dir.st_mode & S_ISVTX) == 0;
}

// The directory of where, and each above it: empty when none may be replaced by another user.
std::string unsafe_directory(const std::string& where, std::string* why) {
  const std::size_t slash = where.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : where.substr(0, slash + 1);
  char real[PATH_MAX];
  if (!::realpath(dir.c_str(), real)) {
    *why = dir + ": " + system_text(errno);
    return dir;
  }
  std::string path = real;
  for (bool is_parent = false;; is_parent = true) {
    struct stat about;
    if (::stat(path.c_str(), &about) != 0) {
      *why = path + ": " + system_text(errno);
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

// Writes a new segment into a file beside where and renames it into place: a reader opens
// either the old file or the whole new one.
std::unique_ptr<WritableSegment> make_in_place(const std::string& where, std::int64_t now_us,
                                               std::string* why) {
  std::string temporary = where + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    *why = temporary + ": " + system_text(errno);
    return nullptr;
  }
  void* mapped = MAP_FAILED;
  if (::fchmod(fd, 0644) != 0 || ::ftruncate(fd, sizeof(Layout)) != 0 ||
      (mapped = ::mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) ==
          MAP_FAILED) {
    *why = temporary + ": " + system_text(errno);
    ::close(fd);
    ::unlink(temporary.c_str());
    return nullptr;
  }
  ::close(fd);
  auto segment = std::make_unique<FileSegment>(static_cast<Layout*>(mapped));
  write_header(segment->layout(), relay_clock());
  beat(segment->layout(), now_us);
  if (::rename(temporary.c_str(), where.c_str()) != 0) {
    *why = where + ": " + system_text(errno);
    ::unlink(temporary.c_str());
    return nullptr;
  }
  return segment;
}

Layout* closing_layout = nullptr;

void close_then_end(int signal_number) {
  mark_closed(*closing_layout);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

ClockId relay_clock() {
  return ClockId::kMonotonic;
}

std::unique_ptr<WritableSegment> make_segment(const std::string& where, std::int64_t now_us,
                                              std::string* why) {
  if (where.empty() || where.back() == '/') {
    *why = where + ": not a file name";
    return nullptr;
  }
  if (!unsafe_directory(where, why).empty()) return nullptr;
  return make_in_place(where, now_us, why);
}

void close_on_ending_signals(Layout& layout) {
  closing_layout = &layout;
  struct sigaction action {};
  action.sa_handler = close_then_end;
  sigemptyset(&action.sa_mask);
  for (const int s : {SIGTERM, SIGINT}) ::sigaction(s, &action, nullptr);
}

}  // namespace eventid::segment
