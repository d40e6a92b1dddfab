// Waiting for what another thread or process does, with a generous bound: the machines that
// run the tests are shared and noisy.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

using namespace std::chrono_literals;

// Whether cond became true within limit, looking every few milliseconds.
inline bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = 15s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}
