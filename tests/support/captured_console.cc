#include "support/captured_console.h"

#include <gtest/gtest.h>

namespace eventid::test {

CapturedConsole::CapturedConsole()
    : console_([this](const auto& messages) { keep(0, messages); },
               [this](const auto& messages) { keep(1, messages); }) {
  std::string why;
  EXPECT_TRUE(console_.start(&why)) << why;
  replaced_ = set_console(&console_);
}

CapturedConsole::~CapturedConsole() {
  set_console(replaced_);
}

void CapturedConsole::keep(int stream, const std::vector<std::string>& messages) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& m : messages) text_[stream] += m;
}

std::string CapturedConsole::said(int stream) {
  EXPECT_TRUE(console_.flush(10000000));
  std::lock_guard<std::mutex> lock(mutex_);
  return text_[stream];
}

}  // namespace eventid::test
