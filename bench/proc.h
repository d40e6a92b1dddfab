// What /proc tells of a process, for the benchmarks (Linux only).
#pragma once

#include <sched.h>

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

// Keeps this thread, and the processes it starts from now on, on one CPU. Where the scheduler
// puts a server's thread otherwise (beside its client, or across from it) moves a round trip
// on a two-core virtual machine by more than anything the servers do (here 16 or 57 µs from
// one run to the next), so the servers compared and their client share one CPU.
inline void pin_to_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

// Every CPU again, for what is started from now on.
inline void unpin() {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}
