// The command line: eventid-relay [OPTION]... [HOST [SERVICE]]
#pragma once

#include <optional>
#include <string>

#include "delivery/push.h"
#include "delivery/server.h"
#include "upstream/collector.h"

namespace eventid {

enum class Resolution { kMilliseconds, kMicroseconds };

struct Options {
  UpstreamAddress upstream;  // the defaults filled in
  ServerConfig server;
  bool clients_given = false;  // --clients: the descriptors it needs are checked at start
  Resolution resolution = Resolution::kMilliseconds;
  bool track_rate = false;                  // --track-rate
  bool kernel_stamps = false;               // --kernel-stamps
  int max_drift_ppm = kDefaultMaxDriftPpm;  // --max-drift: for the bound before a rate is found
  std::optional<net::Endpoint> status;      // --status: where the status listener listens
  std::optional<std::string> publish;       // --publish: where the segment is kept
  std::optional<net::Endpoint> push;        // --push: where the push listener listens
  PushConfig push_config;                   // --push-clients
  int sched_priority = 0;                   // --sched-priority: 0 leaves the system's policy
  bool service = false;  // --service: under the Service Control Manager (Windows only)
};

struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  Options options;
  std::string problem;  // for kUsageError: "OPTION: PROBLEM"
};

// Reads the arguments left to right; the first of --help, --version or a usage error decides.
// Options may stand anywhere among the positional arguments, "--" ends them, and a repeated
// option's last value wins.
CommandLine parse_command_line(int argc, const char* const* argv);

// The text of --help, every line ending in "\r\n".
std::string usage_text();

}  // namespace eventid
