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

}  // namespace eventid
