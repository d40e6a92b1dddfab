// Progress and failure messages. Each is formatted whole and queued; a thread of the console's
// own hands the queue to two sinks, one per stream, so that nothing that serves ever waits on
// an output. While a sink is stuck, up to kQueueLimit messages wait in order; later ones are
// dropped and counted, and the count goes out in their place once the sink moves again.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace eventid {

// Where one stream's messages go: whole messages, in order, from the writer thread alone.
using Sink = std::function<void(const std::vector<std::string>& messages)>;

// Standard output or error: several messages to a write but never one split between two,
// flushed at once. A stream whose reader has gone loses what it is given.
Sink stdio_sink(bool error_stream);

class Console {
 public:
  static constexpr std::size_t kQueueLimit = 1024;
  Console(Sink out, Sink err) : sinks_{std::move(out), std::move(err)} {}
  ~Console();  // after writing what is queued
  // Starts the writer thread, before which messages only queue. False, with the system's
  // text in *why, when it cannot.
  bool start(std::string* why);
  void post(bool error_stream, std::string text);
  // Waits until everything queued has been written, at most limit_us; true if it was.
  bool flush(std::int64_t limit_us);
  // Messages dropped so far, on both streams.
  std::uint64_t dropped_total();

 private:
  bool idle() const { return queue_.empty() && !writing_ && !dropped_[0] && !dropped_[1]; }
  void write_queued(std::unique_lock<std::mutex>& lock);
  void run();

  const Sink sinks_[2];
  std::mutex mutex_;
  std::condition_variable wake_, drained_;
  std::deque<std::pair<bool, std::string>> queue_;  // (error stream, text)
  unsigned long dropped_[2] = {0, 0};
  std::uint64_t dropped_total_ = 0;
  bool writing_ = false, asleep_ = false, stopping_ = false;
  std::thread writer_;
};

// The process's console: standard output and error, unless another is set (null: back to
// those). set_console returns the one it replaces.
Console& console();
Console* set_console(Console* replacement);

[[gnu::format(printf, 1, 2)]] void console_out(const char* format, ...);  // progress
[[gnu::format(printf, 1, 2)]] void console_err(const char* format, ...);  // failures
// A failure whose format's one %s is the system's text for the socket error err.
void report_error(const char* format, int err);

}  // namespace eventid
