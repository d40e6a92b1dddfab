#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "main/options.h"
#include "main/systemd_notify.h"
#include "net/net.h"
#include "service/service.h"
#include "support/notify_socket.h"

namespace eventid {
namespace {

using Action = CommandLine::Action;

CommandLine parse(std::vector<const char*> args) {
  args.insert(args.begin(), "eventid-relay");
  return parse_command_line(static_cast<int>(args.size()), args.data());
}

// --- the command line ---

// The one address served on, where there is one.
net::Endpoint only(const Options& o) {
  return o.server.listen.size() == 1 ? o.server.listen[0] : net::Endpoint{1, 1};
}

struct Good {
  const char* rule;
  std::vector<const char*> args;
  std::function<bool(const Options&)> holds;
};

TEST(CommandLine, GoodLines) {
  const std::vector<Good> good = {
      {"no arguments: the defaults",
       {},
       [](const Options& o) {
         return o.upstream.host == default_upstream_host() && o.upstream.service == "58050" &&
                o.server.clients == 1 && !o.clients_given && o.server.idle_timeout_us == 0 &&
                only(o).address == 0 && only(o).port == kDeliveryPort && !o.server.say_where &&
                o.resolution == Resolution::kMilliseconds && !o.track_rate && o.sched_priority == 0;
       }},
      {"host and service, further ones ignored",
       {"h", "s", "extra", ""},
       [](const Options& o) { return o.upstream.host == "h" && o.upstream.service == "s"; }},
      {"a service of digits is a port, anything else a name",
       {"h", "65535"},
       [](const Options& o) { return o.upstream.service == "65535"; }},
      {"a link-local IPv6 host with its interface, bare or in brackets",
       {"[fe80::1%eth0]", "1"},
       [](const Options& o) { return o.upstream.host == "[fe80::1%eth0]"; }},
      {"a service name",
       {"h", "http"},
       [](const Options& o) { return o.upstream.service == "http"; }},
      {"options anywhere among them",
       {"h", "--port", "1", "s"},
       [](const Options& o) {
         return o.upstream.host == "h" && o.upstream.service == "s" && only(o).port == 1 &&
                o.server.say_where;
       }},
      {"--opt=value", {"--port=0"}, [](const Options& o) { return only(o).port == 0; }},
      {"the last of a repeated option wins",
       {"--port", "5", "--port=6"},
       [](const Options& o) { return only(o).port == 6; }},
      {"--listen keeps the default port",
       {"--listen", "127.0.0.1"},
       [](const Options& o) {
         return only(o).address == 0x7f000001u && only(o).port == kDeliveryPort &&
                o.server.say_where;
       }},
      {"--listen takes up to 8 addresses; --port gives those without one theirs",
       {"--listen", "127.0.0.1:5,[::1],unix:/run/r.sock,0.0.0.0,[::]:0,1.2.3.4,5.6.7.8,[::2]",
        "--port", "7", "--socket-mode", "600", "--upstream-family", "any", "--status", "unix:s"},
       [](const Options& o) {
         const auto& l = o.server.listen;
         return l.size() == 8 && l[0].port == 5 && l[1].family == net::Family::kIpv6 &&
                l[1].port == 7 && l[2].path == "/run/r.sock" && l[4].port == 0 && l[7].port == 7 &&
                o.server.socket_mode == 0600 && o.upstream.either_family;
       }},
      {"the widest values",
       {"--clients", "1024", "--idle-timeout=86400", "--resolution", "us", "--port", "65535",
        "--track-rate", "--kernel-stamps", "--sched-priority", "99"},
       [](const Options& o) {
         return o.server.clients == 1024 && o.clients_given && o.sched_priority == 99 &&
                o.server.idle_timeout_us == 86400000000 &&
                o.resolution == Resolution::kMicroseconds && only(o).port == 65535 &&
                o.track_rate && o.kernel_stamps;
       }},
      {"the narrowest values",
       {"--clients=1", "--idle-timeout", "1", "--resolution=ms", "--sched-priority=1"},
       [](const Options& o) {
         return o.server.clients == 1 && o.clients_given && o.server.idle_timeout_us == 1000000 &&
                o.sched_priority == 1 && o.resolution == Resolution::kMilliseconds;
       }},
      {"-- ends the options",
       {"--", "--port"},
       [](const Options& o) {
         return o.upstream.host == "--port" && only(o).port == kDeliveryPort;
       }},
      {"a lone - is an argument", {"-"}, [](const Options& o) { return o.upstream.host == "-"; }},
      {"an IPv6 host in brackets",
       {"[::1]", "s"},
       [](const Options& o) { return o.upstream.host == "[::1]"; }},
      {"--push as --status, and its places",
       {"--push", "127.0.0.1:0", "--push-clients", "1024"},
       [](const Options& o) {
         return o.push && o.push->address == net::kLoopback && o.push->port == 0 &&
                o.push_config.clients == 1024 && !o.status;
       }},
  };
  for (const Good& g : good) {
    const CommandLine c = parse(g.args);
    EXPECT_EQ(c.action, Action::kRun) << g.rule << ": " << c.problem;
    EXPECT_TRUE(g.holds(c.options)) << g.rule;
  }
}

TEST(CommandLine, TheFirstOfHelpVersionOrAProblemDecides) {
  EXPECT_EQ(parse({"--help"}).action, Action::kHelp);
  EXPECT_EQ(parse({"host", "-h", "--bogus"}).action, Action::kHelp);
  EXPECT_EQ(parse({"-V"}).action, Action::kVersion);
  EXPECT_EQ(parse({"--version", "--help"}).action, Action::kVersion);
  EXPECT_EQ(parse({"--port", "x", "--help"}).action, Action::kUsageError);
  EXPECT_EQ(parse({"--", "--help"}).action, Action::kRun);
}

TEST(CommandLine, BadLines) {
  const std::string kBadListen =
      "--listen: not up to 8 addresses between commas, each A.B.C.D[:PORT], [IPV6][:PORT] or "
      "unix:PATH";
  const std::string kBadStatus =
      "--status: not A.B.C.D:PORT, [IPV6]:PORT or unix:PATH, with a port from 0 to 65535";
  const std::vector<std::pair<std::vector<const char*>, std::string>> bad = {
      {{"--bogus"}, "--bogus: unknown option"},
      {{"--bogus=1"}, "--bogus: unknown option"},
      {{"-x"}, "-x: unknown option"},
      {{"-hV"}, "-hV: unknown option"},           // short options are not bundled
      {{"--por", "1"}, "--por: unknown option"},  // no abbreviations
      {{"--help=1"}, "--help: takes no value"},
      {{"--track-rate=1"}, "--track-rate: takes no value"},
      {{"--kernel-stamps=1"}, "--kernel-stamps: takes no value"},
      {{"h", "--port"}, "--port: missing value"},
      {{"--port", "-1"}, "--port: not a whole number from 0 to 65535"},
      {{"--port", "+1"}, "--port: not a whole number from 0 to 65535"},
      {{"--port", "0x10"}, "--port: not a whole number from 0 to 65535"},
      {{"--port", " 1"}, "--port: not a whole number from 0 to 65535"},
      {{"--port", "65536"}, "--port: not a whole number from 0 to 65535"},
      {{"--port="}, "--port: not a whole number from 0 to 65535"},
      {{"--port", "99999999999999999999"}, "--port: not a whole number from 0 to 65535"},
      {{"--clients", "0"}, "--clients: not a whole number from 1 to 1024"},
      {{"--clients", "1025"}, "--clients: not a whole number from 1 to 1024"},
      {{"--idle-timeout", "0"}, "--idle-timeout: not a whole number from 1 to 86400"},
      {{"--idle-timeout", "86401"}, "--idle-timeout: not a whole number from 1 to 86400"},
      {{"--listen", "127.1"}, kBadListen},
      {{"--listen", "localhost"}, kBadListen},
      {{"--listen", "1.2.3.4,"}, kBadListen},
      {{"--listen", "1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1,1.1.1.1"},
       kBadListen},
      {{"--status", "1.2.3.4"}, kBadStatus},
      {{"--status", "[::1]"}, kBadStatus},
      {{"--socket-mode", "8"}, "--socket-mode: not an octal mode from 0 to 0777"},
      {{"--socket-mode", "-1"}, "--socket-mode: not an octal mode from 0 to 0777"},
      {{"--upstream-family", "ipv6"}, "--upstream-family: neither ipv4 nor any"},
      {{"--resolution", "ns"}, "--resolution: neither ms nor us"},
      {{"--sched-priority", "0"}, "--sched-priority: not a whole number from 1 to 99"},
      {{"--sched-priority", "100"}, "--sched-priority: not a whole number from 1 to 99"},
      {{"--push", "[::1]"},
       "--push: not A.B.C.D:PORT, [IPV6]:PORT or unix:PATH, with a port from 0 to 65535"},
      {{"--push-clients", "0"}, "--push-clients: not a whole number from 1 to 1024"},
      {{"--push-clients", "1025"}, "--push-clients: not a whole number from 1 to 1024"},
      {{"h", "0"}, "SERVICE: not a port number from 1 to 65535"},
      {{"h", "65536"}, "SERVICE: not a port number from 1 to 65535"},
      {{"h", "99999"}, "SERVICE: not a port number from 1 to 65535"},
      {{"h", "123586"}, "SERVICE: not a port number from 1 to 65535"},
      {{"h", "0000000000058050"}, "SERVICE: not a port number from 1 to 65535"},
      {{"h", ""}, "SERVICE: empty"},
      {{""}, "HOST: empty"},
      {{"[127.0.0.1]"}, "HOST: brackets hold an IPv6 address alone"},
      {{"[::1]:58050"}, "HOST: brackets hold an IPv6 address alone"},
      {{"[::1"}, "HOST: brackets hold an IPv6 address alone"},
      {{"[fe80::1%]"}, "HOST: brackets hold an IPv6 address alone"},
      {{"", "--help"}, "HOST: empty"},  // the first problem decides
  };
  for (const auto& [args, problem] : bad) {
    const CommandLine c = parse(args);
    EXPECT_EQ(c.action, Action::kUsageError) << problem;
    EXPECT_EQ(c.problem, problem);
  }
}

// --service where a Service Control Manager runs programs as services; elsewhere a usage error.
TEST(CommandLine, ServiceOnlyOnWindows) {
  const bool windows = service_available();
  const CommandLine c = parse({"--service", "h"});
  EXPECT_EQ(c.action, windows ? Action::kRun : Action::kUsageError);
  EXPECT_EQ(c.options.service, windows);
  EXPECT_EQ(c.problem, windows ? "" : "--service: only on Windows");
  EXPECT_EQ(parse({"--service=1"}).problem,
            windows ? "--service: takes no value" : "--service: only on Windows");
  EXPECT_EQ(usage_text().find("\r\n  --service          run as") != std::string::npos, windows);
}

TEST(CommandLine, EveryUsageLineEndsInCrLf) {
  const std::string usage = usage_text();
  EXPECT_EQ(usage.rfind("Usage: eventid-relay [OPTION]... [HOST [SERVICE]]\r\n", 0), 0u);
  for (std::size_t at = usage.find('\n'); at != std::string::npos; at = usage.find('\n', at + 1)) {
    EXPECT_EQ(usage[at - 1], '\r') << at;
  }
  for (const char* option : {"--clients N", "--idle-timeout S", "--listen ADDR", "--port N",
                             "--resolution R", "--track-rate", "-h, --help", "-V, --version"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

// --- readiness in systemd's notify protocol ---

TEST(SystemdNotifier, ReadyOnceThenStatusOnlyWhenTheUpstreamChanges) {
  for (const bool abstract : {false, true}) {
    test::NotifySocket socket(abstract);
    if (!socket.open()) GTEST_SKIP() << "no service manager sockets here";
    SystemdNotifier notifier(socket.name(), {"up.example", "58050"});
    notifier.upstream(false);  // before ready: nothing
    notifier.ready(true);
    EXPECT_EQ(socket.receive(), "READY=1\nSTATUS=serving; upstream up.example:58050 connected");
    notifier.upstream(true);  // no change
    notifier.upstream(false);
    EXPECT_EQ(socket.receive(), "STATUS=serving; upstream up.example:58050 disconnected");
    notifier.upstream(false);
    notifier.upstream(true);
    EXPECT_EQ(socket.receive(), "STATUS=serving; upstream up.example:58050 connected");
  }
}

TEST(SystemdNotifier, AnIPv6UpstreamIsNamedInBrackets) {
  test::NotifySocket socket;
  if (!socket.open()) GTEST_SKIP() << "no service manager sockets here";
  for (const std::string host : {"::1", "[::1]", "fe80::1%eth0"}) {
    SystemdNotifier notifier(socket.name(), {host, "58050"});
    notifier.ready(false);
    const std::string bracketed = host[0] == '[' ? host : "[" + host + "]";
    EXPECT_EQ(socket.receive(),
              "READY=1\nSTATUS=serving; upstream " + bracketed + ":58050 disconnected");
  }
}

// A service manager that does not read: nothing waits on it, READY=1 is tried again every
// second until it goes, and of the statuses only the latest is kept.
TEST(SystemdNotifier, AFullSocketHoldsUpNothingAndGetsTheLatestOnceItReads) {
  test::NotifySocket socket;
  if (!socket.open()) GTEST_SKIP() << "no service manager sockets here";
  SystemdNotifier notifier(socket.name(), {"up.example", "58050"});
  const std::string status = "STATUS=serving; upstream up.example:58050";
  ASSERT_GT(socket.fill(), 0);
  notifier.ready(true);
  notifier.upstream(false);
  EXPECT_EQ(socket.receive_past_filler(), "READY=1\n" + status + " disconnected");
  ASSERT_GT(socket.fill(), 0);
  notifier.upstream(true);
  notifier.upstream(false);
  EXPECT_EQ(socket.receive_past_filler(), status + " disconnected");
}

TEST(SystemdNotifier, UnusableSocketsAreFoundBeforehand) {
  test::NotifySocket socket;
  if (!socket.open()) GTEST_SKIP() << "no service manager sockets here";
  std::string why;
  EXPECT_TRUE(net::notify_socket_usable(socket.name(), &why)) << why;
  const std::string dir = socket.name().substr(0, socket.name().rfind('/'));
  const std::vector<std::pair<std::string, std::string>> unusable = {
      {dir + "/missing", "No such file or directory"},
      {"/dev/null", "Connection refused"},  // not a socket
      {"/" + std::string(200, 'n'), "File name too long"},
  };
  for (const auto& [name, text] : unusable) {
    EXPECT_FALSE(net::notify_socket_usable(name, &why)) << name;
    EXPECT_EQ(why, text) << name;
  }
}

}  // namespace
}  // namespace eventid
