// The two kinds of source behind eventid_source: a published segment, read at memory speed,
// and a relay's socket, asked once for each reading.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "eventid.h"
#include "platform.h"
#include "timing/bound.h"
#include "timing/estimate.h"

namespace eventid::client {

// Both kinds fill the caller's reading in place, and tell the resolution of the clock it was
// made on, so that a wait knows the steps its deadline comes in. A reading goes through no
// copy on its way: the fields stored one by one and loaded back as one would stall the read.
// A segment and every view of it this source has had. Reads never lock or allocate: they load
// the current view and copy its basis out. Only when the view reads closed or stale does a
// reader look for a new one (at most once a second, one thread at a time); views it replaces
// stay mapped until the source is closed, since another thread may still be reading them.
class SegmentReader {
 public:
  explicit SegmentReader(std::string where);
  ~SegmentReader();
  SegmentReader(const SegmentReader&) = delete;
  SegmentReader& operator=(const SegmentReader&) = delete;

  int read(eventid_reading* reading, std::int64_t* resolution_us);

 private:
  struct View {
    MappedView mapped;
    bool with_bound;       // the segment holds the bound's terms (a relay of minor version 1 on)
    View* retired_before;  // the view this one replaced
  };
  int read_view(const View& view, std::int64_t now_us, eventid_reading* reading,
                std::int64_t* resolution_us) const;
  const View* look_again(std::int64_t now_us);
  int map_new();

  const std::string where_;
  std::atomic<View*> current_{nullptr};
  std::atomic<int> failure_{EVENTID_ENORELAY};  // why there is no view, while there is none
  std::atomic<std::int64_t> looked_us_;
  std::mutex looking_;
};

// tcp:HOST[:PORT]: one connection for each reading.
class SocketReader {
 public:
  SocketReader(std::string host, std::string port)
      : host_(std::move(host)), port_(std::move(port)) {}
  ~SocketReader() {
    if (started_) stop_sockets();
  }
  SocketReader(const SocketReader&) = delete;
  SocketReader& operator=(const SocketReader&) = delete;
  // The platform's sockets, started for this source; false when they cannot be.
  bool start() { return started_ = start_sockets(); }
  int read(eventid_reading* reading, std::int64_t* resolution_us) const;

 private:
  const std::string host_, port_;
  bool started_ = false;
};

// The size of 1.0's reading, the least a caller may give; and of one with room for the bound.
inline constexpr std::uint32_t kFirstReadingSize = offsetof(eventid_reading, bound_us);
inline constexpr std::uint32_t kBoundReadingSize = offsetof(eventid_reading, flags) + 4;
// The bound's fields, where the caller's reading has room for them.
inline void set_bound(eventid_reading* reading, std::int64_t bound_us, std::uint32_t flags) {
  if (reading->size < kBoundReadingSize) return;
  reading->bound_us = bound_us;
  reading->flags = flags;
}

// "tcp:HOST:PORT", "tcp:[V6]:PORT" or "tcp:HOST" (port 58051): false for anything else.
bool parse_tcp_address(const std::string& where, std::string* host, std::string* port);
// The relay's ID line, "ID.MICROS STATE JITTER JITTER0\r\n": false for anything else.
bool parse_id_line(const char* line, Estimate* estimate);

}  // namespace eventid::client
