#include "loop/precise_timers.h"

#include <windows.h>

#include <mmsystem.h>

namespace eventid {

// The loop waits in WSAPoll, to the ms; the system's timer ticks every 15.6 ms unless a process
// asks for more, and a wait ends only at a tick. Asked once, for as long as the process runs
// (Wine keeps 1 ms whatever is asked).
bool ask_for_precise_timers() {
  static const bool done = timeBeginPeriod(1) == TIMERR_NOERROR;
  return done;
}

}  // namespace eventid
