#include "process/exit.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "console/console.h"

namespace eventid {
namespace {

constexpr std::int64_t kFlushLimitUs = 1000000;

std::atomic<void (*)(ExitStatus)> exit_hook{nullptr};
std::atomic<void (*)()> closing_hook{nullptr};

// Written before the count that shows them, and never changed after: a handler reads them.
char ending_files[kMostEndingFiles][kLongestEndingFile + 1];
std::atomic<int> ending_file_count{0};
std::mutex ending_files_mutex;

}  // namespace

bool remove_when_ending(const std::string& path) {
  std::lock_guard<std::mutex> lock(ending_files_mutex);
  const int n = ending_file_count.load(std::memory_order_relaxed);
  if (n == kMostEndingFiles || path.size() > kLongestEndingFile) return false;
  std::memcpy(ending_files[n], path.c_str(), path.size() + 1);
  ending_file_count.store(n + 1, std::memory_order_release);
  return true;
}

void run_closing_actions() {
  if (const auto closing = closing_hook.load(std::memory_order_acquire)) closing();
  const int n = ending_file_count.load(std::memory_order_acquire);
  for (int i = 0; i < n; ++i) remove_file(ending_files[i]);
}

void exit_process(ExitStatus status) {
  run_closing_actions();
  console().flush(kFlushLimitUs);
  if (const auto last_words = exit_hook.load(std::memory_order_acquire)) last_words(status);
  std::_Exit(static_cast<int>(status));
}

void set_exit_hook(void (*last_words)(ExitStatus status)) {
  exit_hook.store(last_words, std::memory_order_release);
}

}  // namespace eventid

namespace eventid {
void set_closing_hook(void (*closing)()) {
  closing_hook.store(closing, std::memory_order_release);
}
}  // namespace eventid
