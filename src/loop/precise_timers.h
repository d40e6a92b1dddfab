// Wake-ups kept as close to their deadlines as the platform lets a thread keep them: for the
// push listener's thread, whose lines are as late as its wake-up at each boundary.
#pragma once

namespace eventid {

// For the calling thread (Linux: its timer slack to 1 ns) or the process (Windows: the system
// timer's period to 1 ms, as long as the process runs). False where it could not be done; the
// thread then works as before, its wake-ups only later.
bool ask_for_precise_timers();

}  // namespace eventid
