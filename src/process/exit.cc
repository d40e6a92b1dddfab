#include "process/exit.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

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

// Sequentially consistent, as a pair: either the handler sees a maker at work, or the maker
// sees the signal; never neither.
std::atomic<int> makers{0};
std::atomic<int> ending_signal{0};

}  // namespace

MakingEndingFile::MakingEndingFile() {
  makers.fetch_add(1);
  const int ending = ending_signal.load();
  if (ending == 0) return;
  // Too late to make anything: whoever is last of the makers ends the process.
  if (makers.fetch_sub(1) == 1) end_by_signal(ending);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));  // the process ends meanwhile
}

MakingEndingFile::~MakingEndingFile() {
  if (makers.fetch_sub(1) != 1) return;
  if (const int held_off = ending_signal.load()) end_by_signal(held_off);
}

bool begin_ending(int signal_number) {
  ending_signal.store(signal_number);
  return makers.load() == 0;
}

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
