// Progress and failure messages. Each is formatted whole and queued; a thread of the console's
// own hands the queue to two sinks, one per stream, so that nothing that serves ever waits on
// an output. While a sink is stuck, up to kQueueLimit messages wait in order; later ones are
// dropped and counted, and the count goes out in their place once the sink moves again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/exit_status.h"

namespace eventid {

// Where one stream's messages go: whole messages, in order, from the writer thread alone.
using Sink = std::function<void(const std::vector<std::string>& messages)>;

// Standard output or error: several messages to a write but never one split between two,
// flushed at once. A stream whose reader has gone loses what it is given.
Sink stdio_sink(bool error_stream);

class Console {
 public:
  static constexpr std::size_t kQueueLimit = 1024;
  Console(Sink out, Sink err);
  ~Console();  // after writing what is queued
  // Starts the writer thread, before which messages only queue. False, with the system's
  // text in *why, when it cannot.
  bool start(std::string* why);
  void post(bool error_stream, std::string text);
  // Waits until everything queued has been written, at most limit_us; true if it was.
  bool flush(std::int64_t limit_us);

 private:
  struct Queue;
  std::unique_ptr<Queue> queue_;
};

// The process's console: standard output and error, unless another is set (null: back to
// those). set_console returns the one it replaces.
Console& console();
Console* set_console(Console* replacement);

void console_out(const char* format, ...) [[gnu::format(printf, 1, 2)]];  // progress
void console_err(const char* format, ...) [[gnu::format(printf, 1, 2)]];  // failures
// A failure whose format's one %s is the system's text for the socket error err.
void report_error(const char* format, int err);

// Ends the process with status once what is queued is written, waiting at most a second for a
// stuck stream. Runs no destructors: other threads may still use what they would release.
[[noreturn]] void console_exit(ExitStatus status);

}  // namespace eventid
