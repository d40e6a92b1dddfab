#include "process/exit.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "console/console.h"

namespace eventid {
namespace {

constexpr std::int64_t kFlushLimitUs = 1000000;

std::atomic<void (*)(ExitStatus)> exit_hook{nullptr};
std::atomic<void (*)()> closing_hook{nullptr};

}  // namespace

void exit_process(ExitStatus status) {
  if (const auto closing = closing_hook.load(std::memory_order_acquire)) closing();
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
