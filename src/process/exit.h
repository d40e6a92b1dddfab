// How the relay ends, and the one way it does. Once serving it runs until stopped, so it never
// ends with kAnswered then. Run as a Windows service (--service), it reports a status other
// than 0 as its service-specific exit code.
#pragma once

#include <string>

namespace eventid {

enum class ExitStatus : int {
  kAnswered = 0,         // --help or --version
  kStopped = 0,          // a Windows service, stopped by the Service Control Manager
  kNoSocketLibrary = 1,  // Windows Sockets failed to start
  kNoResources = 2,      // memory, a thread, a standard descriptor, or descriptors for clients
  kListenerFailed = 3,   // the listening socket could not be had, or failed
  kUpstreamGone = 4,     // the upstream stayed unreachable through every retry
  kUsageError = 64,
};

// Ends the process with status once the console has written what is queued, waiting at most a
// second for a stuck stream. Runs no destructors: other threads may still use what they would
// release.
[[noreturn]] void exit_process(ExitStatus status);
// What exit_process() runs last, before the process ends (a Windows service's final report);
// it may end the process itself.
void set_exit_hook(void (*last_words)(ExitStatus status));
// What exit_process() runs first, before anything is flushed (the published segment marked
// closed, so that its readers know at once).
void set_closing_hook(void (*closing)());
// A file that the relay made and removes as it ends (a Unix-domain listener's socket). Up to
// kMostEndingFiles of them, each at most kLongestEndingFile bytes long; false beyond.
inline constexpr int kMostEndingFiles = 16;
inline constexpr std::size_t kLongestEndingFile = 255;
bool remove_when_ending(const std::string& path);
// The closing hook, then those files removed: what exit_process() does first, and what an
// ending signal does before it ends the process. Safe in a signal handler.
void run_closing_actions();
// SIGTERM, SIGINT and SIGHUP run the closing actions, then end the process as they would have
// (POSIX; on Windows the published segment has handlers of its own).
void close_on_ending_signals();
// Removes a file, safe in a signal handler (each platform's own).
void remove_file(const char* path);

// Held while a file that the closing actions take away is made and handed to them, so that an
// ending signal meanwhile cannot leave it behind: the signal waits until the last such maker
// is done, which then ends the process as the signal would have. A maker that begins once a
// signal is ending the process never returns (the process ends under it).
class MakingEndingFile {
 public:
  MakingEndingFile();
  ~MakingEndingFile();
  MakingEndingFile(const MakingEndingFile&) = delete;
  MakingEndingFile& operator=(const MakingEndingFile&) = delete;
};
// For the signal handler: true if it may run the closing actions and end the process now;
// false if a maker holds it off and will end the process itself.
bool begin_ending(int signal_number);
// Runs the closing actions, then ends the process by the signal (each platform's own). In the
// signal's own handler, where it is blocked, it returns: the process ends as the handler does.
void end_by_signal(int signal_number);

}  // namespace eventid
