// Starting the relay and the simulator from end-to-end tests.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// A child process whose standard output and error go to files of its own. Ended (killed) when
// the object goes, if it still runs.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const;
  int pid() const;
  std::string out() const;
  std::string err() const;
  // The exit status, or nothing if it still runs after limit.
  std::optional<int> wait_exit(std::chrono::milliseconds limit);
  void kill();

 private:
  struct Impl;
  Impl* impl_;
  std::string out_path_, err_path_;  // files that the child's output goes to
};
