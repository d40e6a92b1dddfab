// Starting the relay and the simulator from end-to-end tests.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "process/exit.h"

namespace eventid::test {

// The number that a process ending with status exits with.
inline int code(ExitStatus status) {
  return static_cast<int>(status);
}

// Where a child's standard output or error goes.
enum class Output {
  kFile,        // a file of its own, read by out() and err()
  kClosed,      // nowhere: the descriptor (or handle) is closed when the child starts
  kUnreadPipe,  // a pipe of 4 KiB, read only by take_piped() (POSIX only)
  kBrokenPipe,  // a pipe whose reader has gone (POSIX only)
};
struct Outputs {
  Output out = Output::kFile;
  Output err = Output::kFile;
};

// A child process whose standard output and error go where outputs says. Ended (killed) when
// the object goes, if it still runs.
class Process {
 public:
  // environment: "NAME=value" entries added to this process's own (POSIX only).
  Process(const std::string& program, const std::vector<std::string>& args, Outputs outputs = {},
          const std::vector<std::string>& environment = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const;
  int pid() const;
  std::string out() const;
  std::string err() const;
  // The exit status, or nothing if it still runs after limit.
  std::optional<int> wait_exit(std::chrono::milliseconds limit);
  // What has come through an unread pipe of standard output (1) or error (2) since the last
  // call, without waiting; reading it lets the child write more.
  std::string take_piped(int stream);
  void kill();
  // Asks the child to end as a service manager does (SIGTERM), and waits; false where
  // processes have no such signal (Windows).
  bool terminate();
  // Stops the child for a moment and lets it go on, as job control or a debugger does; false
  // where processes have no such signals (Windows).
  bool stop_and_continue();

 private:
  struct Impl;
  Impl* impl_;
  std::string out_path_, err_path_;  // files that the child's output goes to
};

}  // namespace eventid::test
