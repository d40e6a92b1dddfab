// A real-time scheduling policy for the relay's threads, asked for with --sched-priority: on a
// busy host a line waits for no other program's turn on the CPU.
#pragma once

#include <string>

namespace eventid {

inline constexpr int kLowestRealTimePriority = 1;
inline constexpr int kHighestRealTimePriority = 99;

// Puts the process's threads, and every thread they start from now on, under the real-time policy
// at priority (kLowestRealTimePriority to kHighestRealTimePriority): SCHED_FIFO on POSIX, the
// process's HIGH_PRIORITY_CLASS on Windows, where the priority is not used. False, with what
// failed and why in *why, when the system refuses (on Linux, without CAP_SYS_NICE or an
// RLIMIT_RTPRIO that allows it).
bool run_in_real_time(int priority, std::string* why);

}  // namespace eventid
