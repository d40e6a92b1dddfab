#include <signal.h>
#include <unistd.h>

#include "process/exit.h"

namespace eventid {
namespace {

void close_then_end(int signal_number) {
  if (begin_ending(signal_number)) end_by_signal(signal_number);
}

}  // namespace

void end_by_signal(int signal_number) {
  run_closing_actions();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void close_on_ending_signals() {
  struct sigaction action {};
  action.sa_handler = close_then_end;
  sigemptyset(&action.sa_mask);
  // A hangup ends the relay too (the terminal or session it was started from has gone): it
  // leaves no socket file or live-looking segment behind either.
  for (const int s : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction before {};
    // A signal the relay was started with ignored (a background job's SIGINT) stays ignored.
    if (::sigaction(s, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    ::sigaction(s, &action, nullptr);
  }
}

void remove_file(const char* path) {
  ::unlink(path);
}

}  // namespace eventid
