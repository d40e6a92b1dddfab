#include "publish/publisher.h"

#include <chrono>
#include <system_error>

namespace eventid {

Publisher::Publisher(std::unique_ptr<segment::WritableSegment> segment, std::int64_t resolution_us,
                     Clock heartbeat_clock)
    : segment_(std::move(segment)),
      resolution_us_(resolution_us),
      clock_(std::move(heartbeat_clock)) {
  publish(Basis{});
}

Publisher::~Publisher() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_asked_.notify_all();
  if (heartbeat_.joinable()) heartbeat_.join();
  mark_closed();
}

void Publisher::publish(const Basis& basis) {
  if (closed_.load(std::memory_order_acquire)) return;
  segment::write_basis(layout(), segment::to_record(basis, resolution_us_));
}

bool Publisher::start_heartbeat(std::string* why) {
  try {
    heartbeat_ = std::thread([this] { beat_until_stopped(); });
    return true;
  } catch (const std::system_error& e) {
    *why = e.code().message();
    return false;
  }
}

void Publisher::mark_closed() {
  closed_.store(true, std::memory_order_release);
  segment::mark_closed(layout());
}

// Waits on the condition with the real clock's pauses: tests end it by destroying the
// publisher, never by waiting for a beat.
void Publisher::beat_until_stopped() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_ && !closed_.load(std::memory_order_acquire)) {
    segment::beat(layout(), clock_());
    stop_asked_.wait_for(lock, std::chrono::microseconds(kBeatEveryUs));
  }
}

}  // namespace eventid
