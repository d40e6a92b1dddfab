#include <dirent.h>
#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "process/real_time.h"

namespace eventid {
namespace {

// The threads already running (the console's writer, started before the options are read)
// take the policy too, so that none of the relay's is left under the usual one. Linux lists
// them under /proc; where it does not, the calling thread's own policy is all there is.
void also_for_running_threads(const sched_param& param) {
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return;
  while (const dirent* task = readdir(tasks)) {
    const long tid = std::strtol(task->d_name, nullptr, 10);
    if (tid > 0) sched_setscheduler(static_cast<pid_t>(tid), SCHED_FIFO, &param);
  }
  closedir(tasks);
}

}  // namespace

bool run_in_real_time(int priority, std::string* why) {
  sched_param param{};
  param.sched_priority = priority;
  // Threads started later inherit the policy (pthreads' default). Not SCHED_RESET_ON_FORK:
  // the kernel resets a new thread under it too.
  if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
    *why = std::string("sched_setscheduler failed: ") + std::strerror(errno);
    return false;
  }
  also_for_running_threads(param);
  return true;
}

}  // namespace eventid
