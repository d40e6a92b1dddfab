#include "main/options.h"

#include <string_view>

#include "service/service.h"

namespace eventid {
namespace {

using Action = CommandLine::Action;

constexpr char kServiceUsage[] =
    "  --service          run as the service eventid-relay under the Service Control Manager";

// A whole number from low to high in decimal digits only: no sign, no prefix, no space.
bool parse_number(std::string_view text, long low, long high, long* out) {
  if (text.empty() || text.size() > 9) return false;
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

constexpr char kNotAListenAddress[] =
    "not ADDR:PORT, a dotted-quad IPv4 address and a port from 0 to 65535";

// Where a listener of its own listens (--status, --push): ADDR:PORT.
bool parse_listen_address(std::string_view text, net::Endpoint* where) {
  const std::size_t colon = text.rfind(':');
  long port = 0;
  if (colon == std::string_view::npos ||
      !net::parse_address(text.substr(0, colon), &where->address) ||
      !parse_number(text.substr(colon + 1), 0, 65535, &port)) {
    return false;
  }
  where->port = static_cast<std::uint16_t>(port);
  return true;
}

// Sets what one option says; the problem with its value otherwise.
bool apply(std::string_view name, std::string_view value, Options& o, std::string* problem) {
  long n = 0;
  if (name == "--clients") {
    if (!parse_number(value, 1, kMostClients, &n)) {
      *problem = "not a whole number from 1 to 1024";
      return false;
    }
    o.server.clients = static_cast<int>(n);
    o.clients_given = true;
  } else if (name == "--idle-timeout") {
    if (!parse_number(value, 1, 86400, &n)) {
      *problem = "not a whole number from 1 to 86400";
      return false;
    }
    o.server.idle_timeout_us = n * std::int64_t{1000000};
  } else if (name == "--listen") {
    if (!net::parse_address(value, &o.server.local.address)) {
      *problem = "not a dotted-quad IPv4 address";
      return false;
    }
    o.server.say_where = true;
  } else if (name == "--max-drift") {
    if (!parse_number(value, 1, 1000, &n)) {
      *problem = "not a whole number from 1 to 1000";
      return false;
    }
    o.max_drift_ppm = static_cast<int>(n);
  } else if (name == "--port") {
    if (!parse_number(value, 0, 65535, &n)) {
      *problem = "not a whole number from 0 to 65535";
      return false;
    }
    o.server.local.port = static_cast<std::uint16_t>(n);
    o.server.say_where = true;
  } else if (name == "--status" || name == "--push") {
    net::Endpoint where;
    if (!parse_listen_address(value, &where)) {
      *problem = kNotAListenAddress;
      return false;
    }
    (name == "--status" ? o.status : o.push) = where;
  } else if (name == "--push-clients") {
    if (!parse_number(value, 1, kMostPushClients, &n)) {
      *problem = "not a whole number from 1 to 1024";
      return false;
    }
    o.push_config.clients = static_cast<int>(n);
  } else if (name == "--publish") {
    if (value.empty()) {
      *problem = "empty";
      return false;
    }
    o.publish = std::string(value);
  } else if (name == "--resolution") {
    if (value != "ms" && value != "us") {
      *problem = "neither ms nor us";
      return false;
    }
    o.resolution = value == "us" ? Resolution::kMicroseconds : Resolution::kMilliseconds;
  }
  return true;
}

bool takes_value(std::string_view name) {
  return name == "--clients" || name == "--idle-timeout" || name == "--listen" ||
         name == "--max-drift" || name == "--port" || name == "--publish" || name == "--push" ||
         name == "--push-clients" || name == "--resolution" || name == "--status";
}

// What is wrong with the upstream's host (position 0) or service (1), if anything. A service
// of digits only is a port number; anything else is a name for the resolver.
const char* upstream_problem(int position, std::string_view arg) {
  if (arg.empty()) return "empty";
  if (position == 0 || arg.find_first_not_of("0123456789") != std::string_view::npos) {
    return nullptr;
  }
  long port = 0;
  return parse_number(arg, 1, 65535, &port) ? nullptr : "not a port number from 1 to 65535";
}

CommandLine usage_error(std::string_view option, const char* problem) {
  CommandLine c;
  c.action = Action::kUsageError;
  c.problem = std::string(option) + ": " + problem;
  return c;
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine c;
  std::string_view positional[2];
  int positionals = 0;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      if (positionals < 2) {
        if (const char* problem = upstream_problem(positionals, arg)) {
          return usage_error(positionals == 0 ? "HOST" : "SERVICE", problem);
        }
        positional[positionals] = arg;
      }
      ++positionals;  // further ones are ignored
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    const std::size_t equals = arg.substr(0, 2) == "--" ? arg.find('=') : std::string_view::npos;
    const std::string_view name = arg.substr(0, equals);
    const bool inline_value = equals != std::string_view::npos;
    if (name == "-h" || name == "--help" || name == "-V" || name == "--version") {
      if (inline_value) return usage_error(name, "takes no value");
      c.action = name == "-h" || name == "--help" ? Action::kHelp : Action::kVersion;
      return c;
    }
    if (name == "--service") {
      if (!service_available()) return usage_error(name, "only on Windows");
      if (inline_value) return usage_error(name, "takes no value");
      c.options.service = true;
      continue;
    }
    if (name == "--kernel-stamps") {
      if (inline_value) return usage_error(name, "takes no value");
      c.options.kernel_stamps = true;
      continue;
    }
    if (name == "--track-rate") {
      if (inline_value) return usage_error(name, "takes no value");
      c.options.track_rate = true;
      continue;
    }
    if (!takes_value(name)) return usage_error(name, "unknown option");
    std::string_view value;
    if (inline_value) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return usage_error(name, "missing value");
    }
    std::string problem;
    if (!apply(name, value, c.options, &problem)) return usage_error(name, problem.c_str());
  }
  c.options.upstream.host = positionals > 0 ? positional[0] : default_upstream_host();
  c.options.upstream.service = positionals > 1 ? positional[1] : kDefaultUpstreamService;
  return c;
}

std::string usage_text() {
  static const char* const kLines[] = {
      "",
      "  --clients N        serve up to N clients at once, 1 to 1024 (default 1: one at a time)",
      "  --idle-timeout S   drop a client that has sent nothing for S seconds, 1 to 86400 "
      "(default: never)",
      "  --kernel-stamps    stamp each announcement with the time the system took it in, not",
      "                     the time the relay woke to read it (Linux; elsewhere said once)",
      "  --listen ADDR      serve on this IPv4 address only, dotted quad (default: every local "
      "address)",
      "  --max-drift PPM    how far apart the two clocks' rates may lie, in parts per million,",
      "                     for the error bound until a rate is measured: 1 to 1000 (100)",
      "  --port N           serve on this port, 0 for any free one (default 58051)",
      "  --publish WHERE    keep the estimate's basis in a shared-memory segment that programs",
      "                     read with libeventid: a file at WHERE (a mapping name on Windows)",
      "  --push ADDR:PORT   push an ID line to each client as each new ID begins, unasked, on",
      "                     this IPv4 address and port (0: any free one); what clients send is",
      "                     ignored",
      "  --push-clients N   push to up to N clients at once, 1 to 1024 (default 64)",
      "  --resolution R     clock resolution of samples and estimates: ms (default) or us",
      service_available() ? kServiceUsage : nullptr,
      "  --status ADDR:PORT serve Prometheus metrics at /metrics and a JSON status at /status",
      "                     over HTTP, on this IPv4 address and port (0: any free one)",
      "  --track-rate       measure how fast the upstream's clock runs against this one's and",
      "                     correct the estimate for it, once 10 s of samples are in",
      "  -h, --help         print this usage to standard output and exit with status 0",
      "  -V, --version      print \"eventid-relay VERSION\" and exit with status 0",
  };
  std::string text =
      "Usage: eventid-relay [OPTION]... [HOST [SERVICE]]\r\n"
      "Keeps a local copy of an upstream event-ID counter and serves its current value to\r\n"
      "local clients over TCP. HOST and SERVICE name the upstream event-ID server (default ";
  text.append(default_upstream_host()).append(" and ").append(kDefaultUpstreamService);
  text += ").\r\n";
  for (const char* line : kLines) {
    if (line) text.append(line).append("\r\n");
  }
  return text;
}

}  // namespace eventid
