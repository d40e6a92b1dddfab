// The relay's messages kept for a test instead of written: while one of these lives, it is the
// process's console.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "console/console.h"

namespace eventid::test {

class CapturedConsole {
 public:
  CapturedConsole();
  ~CapturedConsole();
  // What has been said so far on standard output or error, once the queue has been written.
  std::string out() { return said(0); }
  std::string err() { return said(1); }

 private:
  void keep(int stream, const std::vector<std::string>& messages);
  std::string said(int stream);
  std::mutex mutex_;
  std::string text_[2];
  Console console_;
  Console* replaced_;
};

}  // namespace eventid::test
