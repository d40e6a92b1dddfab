#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex console_mutex;
bool capturing = false;
std::string captured_out;
std::string captured_err;

// Formats into a buffer first, so that the message leaves in one write. Only a message that
// carries a very long command-line argument needs more than the stack buffer.
void write_message(FILE* stream, std::string& captured, const char* format, va_list args) {
  char small[512];
  std::string large;
  va_list again;
  va_copy(again, args);
  const int len = std::vsnprintf(small, sizeof small, format, args);
  const char* text = small;
  if (len >= static_cast<int>(sizeof small)) {
    large.resize(static_cast<size_t>(len) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    text = large.data();
  }
  va_end(again);
  if (len < 0) return;
  std::lock_guard<std::mutex> lock(console_mutex);
  if (capturing) {
    captured.append(text, static_cast<size_t>(len));
    return;
  }
  std::fwrite(text, 1, static_cast<size_t>(len), stream);
  std::fflush(stream);
}

}  // namespace

void console_out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_message(stdout, captured_out, format, args);
  va_end(args);
}

void console_err(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_message(stderr, captured_err, format, args);
  va_end(args);
}

void console_capture_begin() {
  std::lock_guard<std::mutex> lock(console_mutex);
  capturing = true;
  captured_out.clear();
  captured_err.clear();
}

void console_capture_end() {
  std::lock_guard<std::mutex> lock(console_mutex);
  capturing = false;
}

std::string console_captured_out() {
  std::lock_guard<std::mutex> lock(console_mutex);
  return captured_out;
}

std::string console_captured_err() {
  std::lock_guard<std::mutex> lock(console_mutex);
  return captured_err;
}
