#include "console/console.h"

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "net/net.h"

namespace eventid {
namespace {

// Messages waiting for a stream that is not being read; beyond this they are dropped.
constexpr std::size_t kQueueLimit = 1024;
// After a write the writer looks again this much later, instead of being woken for each new
// message: while messages keep coming, a wake-up would cost the thread that serves more than
// the message itself. A look that finds nothing puts it back to sleep.
constexpr auto kBusyLook = std::chrono::milliseconds(1);

enum Stream { kOut, kErr };

struct Message {
  Stream stream;
  std::string text;
};

FILE* file_of(Stream stream) {
  return stream == kOut ? stdout : stderr;
}

// Messages go out whole, in order, several to a write as long as the write stays within what
// a pipe takes at once: a message is never split between two writes, so that what other
// writers to the same pipe or terminal write never lands inside it.
constexpr std::size_t kMostInOneWrite = 4096;

// One write, flushed at once. A stream whose reader has gone fails it: what it held is
// dropped, and the next write is tried again.
void write_now(Stream stream, const std::string& text) {
  FILE* file = file_of(stream);
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fflush(file) != 0) {
    std::clearerr(file);
  }
}

void write_all(Stream stream, const std::vector<std::string>& messages) {
  std::string chunk;
  for (const std::string& m : messages) {
    if (!chunk.empty() && chunk.size() + m.size() > kMostInOneWrite) {
      write_now(stream, chunk);
      chunk.clear();
    }
    chunk += m;
  }
  if (!chunk.empty()) write_now(stream, chunk);
}

// The queue and the thread that drains it, so that no thread that serves ever waits on a
// stream. Never destroyed: the thread may still be waiting on it while the process ends.
struct Console {
  std::mutex mutex;
  std::condition_variable wake;     // for the drainer: a message, or drops to report
  std::condition_variable drained;  // for console_exit: nothing left to write
  std::deque<Message> queue;
  unsigned long dropped[2] = {0, 0};
  bool writing = false;  // the drainer is in a write
  bool asleep = false;   // the drainer waits to be woken
  enum { kNotStarted, kRunning, kNoThread } drainer = kNotStarted;
  bool capturing = false;
  std::string captured[2];
};

Console& console() {
  static Console* const c = new Console;
  return *c;
}

Message drop_report(Stream stream, unsigned long count) {
  char text[96];
  std::snprintf(text, sizeof text, "%lu messages dropped: the output was not being read\r\n",
                count);
  return {stream, text};
}

bool idle(const Console& c) {
  return c.queue.empty() && !c.writing && c.dropped[kOut] == 0 && c.dropped[kErr] == 0;
}

using Batch = std::vector<std::string>[2];

// What there is to write, with the lock held, by stream and in order: the queued messages,
// then the count of what was dropped since.
bool take_all(Console& c, Batch& batch) {
  for (Message& m : c.queue) batch[m.stream].push_back(std::move(m.text));
  c.queue.clear();
  for (Stream s : {kOut, kErr}) {
    if (c.dropped[s] == 0) continue;
    batch[s].push_back(drop_report(s, c.dropped[s]).text);
    c.dropped[s] = 0;
  }
  return !batch[kOut].empty() || !batch[kErr].empty();
}

void drain(Console& c) {
  bool wrote = false;
  std::unique_lock<std::mutex> lock(c.mutex);
  for (;;) {
    Batch batch;
    if (!take_all(c, batch)) {
      if (wrote) {
        wrote = false;
        c.wake.wait_for(lock, kBusyLook);
      } else {
        c.asleep = true;
        c.wake.wait(lock, [&] { return !idle(c); });
        c.asleep = false;
      }
      continue;
    }
    c.writing = true;
    lock.unlock();
    for (Stream s : {kOut, kErr}) write_all(s, batch[s]);
    wrote = true;
    lock.lock();
    c.writing = false;
    if (idle(c)) c.drained.notify_all();
  }
}

bool start_drainer(Console& c) {
  if (c.drainer == Console::kNotStarted) {
    try {
      std::thread(drain, std::ref(c)).detach();
      c.drainer = Console::kRunning;
    } catch (const std::system_error&) {
      c.drainer = Console::kNoThread;
    }
  }
  return c.drainer == Console::kRunning;
}

// Keeps the order of each stream: after drops, the count goes in before the next message.
void enqueue(Console& c, Message m) {
  unsigned long& dropped = c.dropped[m.stream];
  const std::size_t needed = dropped > 0 ? 2 : 1;
  if (c.queue.size() + needed > kQueueLimit) {
    ++dropped;
    return;
  }
  if (dropped > 0) {
    c.queue.push_back(drop_report(m.stream, dropped));
    dropped = 0;
  }
  c.queue.push_back(std::move(m));
  if (c.asleep) c.wake.notify_one();
}

void post(Stream stream, std::string text) {
  Console& c = console();
  std::unique_lock<std::mutex> lock(c.mutex);
  if (c.capturing) {
    c.captured[stream] += text;
    return;
  }
  if (start_drainer(c)) {
    enqueue(c, {stream, std::move(text)});
    return;
  }
  // Without a thread of its own the console writes in place, one message at a time.
  write_now(stream, text);
}

// Formats the whole message first, so that it leaves in one write.
std::string format(const char* format, va_list args) {
  char small[512];
  va_list again;
  va_copy(again, args);
  const int len = std::vsnprintf(small, sizeof small, format, args);
  std::string text;
  if (len >= static_cast<int>(sizeof small)) {
    text.resize(static_cast<std::size_t>(len) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<std::size_t>(len));
  } else if (len > 0) {
    text.assign(small, static_cast<std::size_t>(len));
  }
  va_end(again);
  return text;
}

std::string captured(Stream stream) {
  Console& c = console();
  std::lock_guard<std::mutex> lock(c.mutex);
  return c.captured[stream];
}

}  // namespace

void console_out(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  post(kOut, format(fmt, args));
  va_end(args);
}

void console_err(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  post(kErr, format(fmt, args));
  va_end(args);
}

void report_error(const char* format, int err) {
  console_err(format, net::error_text(err).c_str());
}

void console_exit(int status) {
  Console& c = console();
  {
    std::unique_lock<std::mutex> lock(c.mutex);
    c.wake.notify_one();
    c.drained.wait_for(lock, kExitFlushLimit, [&] { return idle(c); });
  }
  // No destructors: another thread may still be using what they would release.
  std::_Exit(status);
}

void console_capture_begin() {
  Console& c = console();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.capturing = true;
  c.captured[kOut].clear();
  c.captured[kErr].clear();
}

void console_capture_end() {
  Console& c = console();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.capturing = false;
}

std::string console_captured_out() {
  return captured(kOut);
}

std::string console_captured_err() {
  return captured(kErr);
}

}  // namespace eventid
