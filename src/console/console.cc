#include "console/console.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/net.h"

namespace eventid {
namespace {

// A pipe takes this much in one write: more would let other writers' text land inside it.
constexpr std::size_t kMostInOneWrite = 4096;
// After a write the writer looks again this much later instead of being woken for every
// message: while messages keep coming, the wake-ups would cost the serving thread most.
constexpr auto kBusyLook = std::chrono::milliseconds(1);

std::atomic<Console*> replacement{nullptr};

}  // namespace

struct Console::Queue {
  explicit Queue(Sink out, Sink err) : sinks{std::move(out), std::move(err)} {}
  Sink sinks[2];
  std::mutex mutex;
  std::condition_variable wake, drained;
  std::deque<std::pair<bool, std::string>> messages;  // (error stream, text)
  unsigned long dropped[2] = {0, 0};
  bool writing = false, asleep = false, stopping = false;
  std::thread writer;

  bool idle() const { return messages.empty() && !writing && !dropped[0] && !dropped[1]; }

  static std::string drop_report(unsigned long& count) {
    return std::to_string(std::exchange(count, 0)) +
           " messages dropped: the output was not being read\r\n";
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      asleep = true;
      wake.wait(lock, [&] { return !idle() || stopping; });
      asleep = false;
      if (idle()) return;  // stopping, and all written
      std::vector<std::string> batch[2];
      for (auto& [stream, text] : messages) batch[stream].push_back(std::move(text));
      messages.clear();
      for (const bool s : {false, true}) {
        if (dropped[s]) batch[s].push_back(drop_report(dropped[s]));
      }
      writing = true;
      lock.unlock();
      for (const bool s : {false, true}) {
        if (!batch[s].empty()) sinks[s](batch[s]);
      }
      lock.lock();
      writing = false;
      drained.notify_all();
      wake.wait_for(lock, kBusyLook, [&] { return stopping; });
    }
  }
};

Console::Console(Sink out, Sink err) : queue_(new Queue(std::move(out), std::move(err))) {}

Console::~Console() {
  {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    queue_->stopping = true;
    queue_->wake.notify_one();
  }
  if (queue_->writer.joinable()) queue_->writer.join();
}

bool Console::start(std::string* why) {
  try {
    queue_->writer = std::thread([q = queue_.get()] { q->run(); });
    return true;
  } catch (const std::system_error& e) {
    *why = e.code().message();
    return false;
  }
}

// After drops, their count goes in before the stream's next message, so that order holds.
void Console::post(bool error_stream, std::string text) {
  Queue& q = *queue_;
  std::lock_guard<std::mutex> lock(q.mutex);
  unsigned long& dropped = q.dropped[error_stream];
  if (q.messages.size() + (dropped ? 2 : 1) > kQueueLimit) {
    ++dropped;
    return;
  }
  if (dropped) q.messages.emplace_back(error_stream, Queue::drop_report(dropped));
  q.messages.emplace_back(error_stream, std::move(text));
  if (q.asleep) q.wake.notify_one();
}

bool Console::flush(std::int64_t limit_us) {
  std::unique_lock<std::mutex> lock(queue_->mutex);
  return queue_->drained.wait_for(lock, std::chrono::microseconds(limit_us),
                                  [&] { return queue_->idle(); });
}

Sink stdio_sink(bool error_stream) {
  FILE* const file = error_stream ? stderr : stdout;
  // A reader that has gone fails the write: that text is lost, and the next is tried.
  const auto write_now = [file](const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fflush(file)) {
      std::clearerr(file);
    }
  };
  return [write_now](const std::vector<std::string>& messages) {
    std::string chunk;
    for (const std::string& m : messages) {
      if (chunk.size() + m.size() > kMostInOneWrite) write_now(std::exchange(chunk, {}));
      chunk += m;
    }
    write_now(chunk);
  };
}

Console& console() {
  static Console* const standard = new Console(stdio_sink(false), stdio_sink(true));
  Console* const c = replacement.load(std::memory_order_acquire);
  return c ? *c : *standard;
}

Console* set_console(Console* c) {
  return replacement.exchange(c, std::memory_order_acq_rel);
}

static void post_formatted(bool error_stream, const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int len = std::vsnprintf(nullptr, 0, format, args);
  std::string text(static_cast<std::size_t>(std::max(len, 0)), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  console().post(error_stream, std::move(text));
}

void console_out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  post_formatted(false, format, args);
  va_end(args);
}

void console_err(const char* format, ...) {
  va_list args;
  va_start(args, format);
  post_formatted(true, format, args);
  va_end(args);
}

void report_error(const char* format, int err) {
  console_err(format, net::error_text(err).c_str());
}

void console_exit(ExitStatus status) {
  console().flush(1000000);
  std::_Exit(static_cast<int>(status));
}

}  // namespace eventid
