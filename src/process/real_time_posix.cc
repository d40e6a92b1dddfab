#include <sched.h>

#include <cerrno>
#include <cstring>

#include "process/real_time.h"

namespace eventid {

bool run_in_real_time(int priority, std::string* why) {
  sched_param param{};
  param.sched_priority = priority;
  // Threads started later inherit the policy (pthreads' default). Not SCHED_RESET_ON_FORK:
  // the kernel resets a new thread under it too.
  if (sched_setscheduler(0, SCHED_FIFO, &param) == 0) return true;
  *why = std::string("sched_setscheduler failed: ") + std::strerror(errno);
  return false;
}

}  // namespace eventid
