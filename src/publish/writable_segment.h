// The relay's own mapping of the segment, made in the platform's way (writable_segment_posix.cc,
// writable_segment_windows.cc): only the relay's user may write it or put another in its place,
// and no reader ever finds one that is half made.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "publish/segment.h"

namespace eventid::segment {

class WritableSegment {
 public:
  virtual ~WritableSegment() = default;
  Layout& layout() { return *layout_; }

 protected:
  explicit WritableSegment(Layout* layout) : layout_(layout) {}

 private:
  Layout* layout_;
};

// The segment at where, its header written and its heartbeat begun at now_us; the basis not
// primed. Null and why not otherwise.
std::unique_ptr<WritableSegment> make_segment(const std::string& where, std::int64_t now_us,
                                              std::string* why);

// The clock the relay's readings are on, as the header names it.
ClockId relay_clock();

// From now on, a signal that would end the relay (SIGTERM, SIGINT, SIGHUP; Ctrl+C on Windows) marks
// the segment closed first, and then ends it as it would have.
void close_on_ending_signals(Layout& layout);

}  // namespace eventid::segment
