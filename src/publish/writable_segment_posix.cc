#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "process/exit.h"
#include "process/private_path.h"
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

// The closing hook marks the segment closed.
void close_on_ending_signals(Layout&) {
  eventid::close_on_ending_signals();
}

}  // namespace eventid::segment
