// The relay's side of the published segment: made at start-up, the basis written at each of its
// changes, the heartbeat kept by a thread of its own (the collector may wait 40 s between
// attempts), and marked closed however the relay ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "publish/writable_segment.h"
#include "timing/basis.h"
#include "timing/clock.h"

namespace eventid {

class Publisher {
 public:
  // How often the heartbeat is refreshed; readers call a relay gone after 3 s without one.
  static constexpr std::int64_t kBeatEveryUs = 250000;

  Publisher(std::unique_ptr<segment::WritableSegment> segment, std::int64_t resolution_us,
            Clock heartbeat_clock);
  ~Publisher();  // marks the segment closed
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // The writer's side: one thread at a time (the ring calls it under its lock).
  void publish(const Basis& basis);
  // Starts the heartbeat's thread; false, and why, when it cannot.
  bool start_heartbeat(std::string* why);
  void mark_closed();
  segment::Layout& layout() { return segment_->layout(); }

 private:
  void beat_until_stopped();

  const std::unique_ptr<segment::WritableSegment> segment_;
  const std::int64_t resolution_us_;
  const Clock clock_;
  // Once set, this relay writes nothing more: on Windows a relay that starts while this one
  // ends may take the segment over.
  std::atomic<bool> closed_{false};
  std::mutex mutex_;
  std::condition_variable stop_asked_;
  bool stopping_ = false;
  std::thread heartbeat_;
};

}  // namespace eventid
