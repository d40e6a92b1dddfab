#include "main/options.h"

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "process/real_time.h"
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

constexpr char kAddressForms[] = "A.B.C.D[:PORT], [IPV6][:PORT] or unix:PATH";

// A --listen address, and whether it named its port: --port gives the port of one that did not.
struct ListenEntry {
  net::Endpoint where;
  bool has_port = false;
};

// What the options say, as far as they have been read.
struct Reading {
  Options& options;
  std::vector<ListenEntry> listen;  // the latest --listen's
  std::uint16_t port = kDeliveryPort;
};

bool parse_listen_list(std::string_view value, std::vector<ListenEntry>* out) {
  out->clear();
  for (std::size_t begin = 0;;) {
    const std::size_t comma = value.find(',', begin);
    ListenEntry entry;
    const std::string_view item = value.substr(begin, comma - begin);
    if (!net::parse_listen_address(item, &entry.where, &entry.has_port)) return false;
    out->push_back(std::move(entry));
    if (out->size() > kMostListeners) return false;
    if (comma == std::string_view::npos) return true;
    begin = comma + 1;
  }
}

// A mode in octal digits, as chmod takes it: "660", "0660".
bool parse_mode(std::string_view text, int* mode) {
  while (text.size() > 1 && text[0] == '0') text.remove_prefix(1);
  if (text.empty() || text.size() > 3) return false;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '7') return false;
    value = value * 8 + (c - '0');
  }
  if (value > 0777) return false;
  *mode = value;
  return true;
}

// Sets what one option says; the problem with its value otherwise.
bool apply(std::string_view name, std::string_view value, Reading& r, std::string* problem) {
  Options& o = r.options;
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
    if (!parse_listen_list(value, &r.listen)) {
      *problem = std::string("not up to 8 addresses between commas, each ") + kAddressForms;
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
    r.port = static_cast<std::uint16_t>(n);
    o.server.say_where = true;
  } else if (name == "--sched-priority") {
    if (!parse_number(value, kLowestRealTimePriority, kHighestRealTimePriority, &n)) {
      *problem = "not a whole number from 1 to 99";
      return false;
    }
    o.sched_priority = static_cast<int>(n);
  } else if (name == "--socket-mode") {
    if (!parse_mode(value, &o.server.socket_mode)) {
      *problem = "not an octal mode from 0 to 0777";
      return false;
    }
  } else if (name == "--status" || name == "--push") {
    net::Endpoint where;
    bool has_port = false;
    if (!net::parse_listen_address(value, &where, &has_port) ||
        (!has_port && where.family != net::Family::kUnix)) {
      *problem = "not A.B.C.D:PORT, [IPV6]:PORT or unix:PATH, with a port from 0 to 65535";
      return false;
    }
    (name == "--status" ? o.status : o.push) = where;
  } else if (name == "--push-clients") {
    if (!parse_number(value, 1, kMostPushClients, &n)) {
      *problem = "not a whole number from 1 to 1024";
      return false;
    }
    o.push_config.clients = static_cast<int>(n);
  } else if (name == "--upstream-family") {
    if (value != "ipv4" && value != "any") {
      *problem = "neither ipv4 nor any";
      return false;
    }
    o.upstream.either_family = value == "any";
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
         name == "--push-clients" || name == "--resolution" || name == "--sched-priority" ||
         name == "--socket-mode" || name == "--status" || name == "--upstream-family";
}

// Brackets round an IPv6 address and nothing else: no name or service resolves to one that
// still has them, so the relay would only try it in vain.
bool bracketed_ipv6(std::string_view host) {
  return host.size() > 2 && host.back() == ']' &&
         net::is_ipv6_host(host.substr(1, host.size() - 2));
}

// What is wrong with the upstream's host (position 0) or service (1), if anything. A service
// of digits only is a port number; anything else is a name for the resolver.
const char* upstream_problem(int position, std::string_view arg) {
  if (arg.empty()) return "empty";
  if (position == 0) {
    return arg[0] == '[' && !bracketed_ipv6(arg) ? "brackets hold an IPv6 address alone" : nullptr;
  }
  if (arg.find_first_not_of("0123456789") != std::string_view::npos) return nullptr;
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

// Each --listen address without a port of its own takes --port's, or the default.
void resolve_listeners(const Reading& r, ServerConfig* server) {
  if (r.listen.empty()) {
    server->listen = {net::Endpoint{0, r.port}};
    return;
  }
  server->listen.clear();
  server->listen_given = true;
  for (const ListenEntry& entry : r.listen) {
    server->listen.push_back(entry.where);
    if (!entry.has_port) server->listen.back().port = r.port;
  }
}

CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine c;
  Reading reading{c.options, {}, kDeliveryPort};
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
    if (!apply(name, value, reading, &problem)) return usage_error(name, problem.c_str());
  }
  resolve_listeners(reading, &c.options.server);
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
      "  --listen ADDR[,ADDR]...",
      "                     serve on these addresses only, up to 8: A.B.C.D[:PORT],",
      "                     [IPV6][:PORT] or unix:PATH (default: every local IPv4 address)",
      "  --max-drift PPM    how far apart the two clocks' rates may lie, in parts per million,",
      "                     for the error bound until a rate is measured: 1 to 1000 (100)",
      "  --port N           serve on this port where --listen names none, 0 for any free one",
      "                     (default 58051)",
      "  --publish WHERE    keep the estimate's basis in a shared-memory segment that programs",
      "                     read with libeventid: a file at WHERE (a mapping name on Windows)",
      "  --push ADDR:PORT   push an ID line to each client as each new ID begins, unasked, at",
      "                     A.B.C.D:PORT, [IPV6]:PORT (0: any free port) or unix:PATH; what",
      "                     clients send is ignored",
      "  --push-clients N   push to up to N clients at once, 1 to 1024 (default 64)",
      "  --resolution R     clock resolution of samples and estimates: ms (default) or us",
      "  --sched-priority N run the relay's threads under the real-time SCHED_FIFO policy at",
      "                     priority N, 1 to 99, so that other programs never delay a line",
      "                     (Windows: the high priority class)",
      service_available() ? kServiceUsage : nullptr,
      "  --socket-mode MODE the mode of a unix:PATH listener's socket, octal (default 0660)",
      "  --status ADDR:PORT serve Prometheus metrics at /metrics and a JSON status at /status",
      "                     over HTTP: A.B.C.D:PORT, [IPV6]:PORT (0: any free port) or unix:PATH",
      "  --track-rate       measure how fast the upstream's clock runs against this one's and",
      "                     correct the estimate for it, once 10 s of samples are in",
      "  --upstream-family F",
      "                     ipv4 (default): a HOST name is looked up for IPv4 addresses only;",
      "                     any: for IPv6 ones too, each tried in the resolver's order",
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
