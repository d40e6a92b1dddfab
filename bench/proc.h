// What /proc tells of a process, for the benchmarks (Linux only).
#pragma once

#include <fstream>
#include <string>

// The process's peak resident memory (VmHWM), in KiB; 0 where it cannot be read.
inline long peak_rss_kib(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  long kib = 0;
  for (std::string key; status >> key;) {
    if (key == "VmHWM:") status >> kib;
  }
  return kib;
}
