// What the library needs from the system, one file per platform (platform_posix.cc,
// platform_windows.cc): the clock that the relay's basis is on, an absolute sleep on it, a
// read-only view of a segment and one line from a relay's socket.
#pragma once

#include <cstddef>
#include <cstdint>

#include "publish/segment.h"

namespace eventid::client {

// The clock the relay publishes on, in µs; and its name in the segment's header.
std::int64_t clock_us();
segment::ClockId clock_id();

// Sleeps until clock_us() reaches deadline_us (at once when it has).
void sleep_until_us(std::int64_t deadline_us);

// A segment mapped for reading. The system's handles stay inside the platform's file.
struct MappedView {
  const void* data = nullptr;
  std::size_t size = 0;
  std::uintptr_t handle = 0;       // what the view needs released besides itself
  std::uint64_t identity[2] = {};  // which file it is, to tell one renamed over it
};
// 0 and the view, or a negative library code: EVENTID_ENORELAY where nothing is there,
// EVENTID_EUNUSABLE for what is not a segment file, EVENTID_EIO where the system failed.
int map_segment(const char* where, MappedView* view);
void unmap_segment(const MappedView& view);
// Whether where now names something other than the view's file (a relay that restarted made a
// new one). Costs a system call: only for a segment that reads closed or stale.
bool segment_replaced(const char* where, const MappedView& view);

// Sockets: the platform's library, started once for each source that uses it.
bool start_sockets();
void stop_sockets();
// The first line that host:port sends, with its end of line, NUL-terminated in buffer: 0, or
// EVENTID_ENORELAY (refused, unreachable, silent for timeout_us), EVENTID_EUNUSABLE (no line
// that fits), EVENTID_EIO.
int fetch_line(const char* host, const char* port, std::int64_t timeout_us, char* buffer,
               std::size_t size);

}  // namespace eventid::client
