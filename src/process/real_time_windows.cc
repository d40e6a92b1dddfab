#include <windows.h>

#include <cstdio>

#include "process/real_time.h"

namespace eventid {

// REALTIME_PRIORITY_CLASS would take the CPU from the system's own input and disk threads:
// HIGH is the class that time-critical services run in.
bool run_in_real_time(int /*priority*/, std::string* why) {
  if (SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS)) return true;
  char text[64];
  std::snprintf(text, sizeof text, "SetPriorityClass failed: error %lu", GetLastError());
  *why = text;
  return false;
}

}  // namespace eventid
