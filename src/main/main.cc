// eventid-relay [OPTION]... [HOST [SERVICE]]
// Keeps a local copy of an upstream event-ID counter and serves it to local clients.
//
// Names: types are CamelCase, functions and variables snake_case, constants kCamelCase, all in
// namespace eventid. Three functions keep the names that the relay's messages print
// (ID_connect, ID_collect, deliver_id), so that a log line leads to its function.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "console/console.h"
#include "delivery/push.h"
#include "delivery/server.h"
#include "main/options.h"
#include "main/systemd_notify.h"
#include "net/net.h"
#include "process/exit.h"
#include "process/real_time.h"
#include "publish/publisher.h"
#include "service/service.h"
#include "status/status_server.h"
#include "timing/ring.h"
#include "upstream/collector.h"

namespace eventid {
namespace {

// Descriptors besides the clients' and the listeners': standard streams, upstream, name
// lookups.
constexpr int kDescriptorsBesideClients = 15;

// What the relay's threads share: made once, and never released, since the collector thread
// uses it until the process ends.
struct Shared {
  SampleRing ring;
  UpstreamCounters upstream;
  ServerCounters server;
};

[[noreturn]] void answer(const CommandLine& command) {
  switch (command.action) {
    case CommandLine::Action::kHelp:
      console_out("%s", usage_text().c_str());
      exit_process(ExitStatus::kAnswered);
    case CommandLine::Action::kVersion:
      console_out("eventid-relay %s\r\n", EVENTID_VERSION);
      exit_process(ExitStatus::kAnswered);
    default:
      console_err("eventid-relay: %s\r\n", command.problem.c_str());
      console_err("Try 'eventid-relay --help' for more information.\r\n");
      exit_process(ExitStatus::kUsageError);
  }
}

// Before anything connects: enough descriptors for the clients asked for, or the end.
void check_descriptors(const Options& options) {
  const int push_clients = options.push ? options.push_config.clients : 0;
  const int clients = options.server.clients + push_clients;
  const int listeners = static_cast<int>(options.server.listen.size());
  const int needed = clients + listeners + kDescriptorsBesideClients +
                     (options.status ? kStatusDescriptors : 0) +
                     (options.push ? kPushDescriptors : 0);
  const int allowed = net::raise_descriptor_limit(needed);
  if (allowed >= needed) return;
  console_err("main() too few descriptors for %d clients: %d needed, %d allowed\r\n", clients,
              needed, allowed);
  exit_process(ExitStatus::kNoResources);
}

std::int64_t resolution_us(const Options& options) {
  return options.resolution == Resolution::kMicroseconds ? 1 : 1000;
}

// The status listener, open before anything connects, on a thread of its own.
void start_status(const Options& options, const Shared& shared, const Clock& clock) {
  auto* listener =
      new net::Socket(open_status_listener(*options.status, options.server.socket_mode));
  if (!listener->valid()) exit_process(ExitStatus::kListenerFailed);
  const StatusSources sources{shared.ring, shared.upstream, shared.server,      options.upstream,
                              clock,       unix_time_us(),  options.track_rate, EVENTID_VERSION};
  try {
    std::thread([listener, sources] { serve_status(*listener, sources); }).detach();
  } catch (const std::system_error& e) {
    console_err("main() thread start failed: %s\r\n", e.code().message().c_str());
    exit_process(ExitStatus::kNoResources);
  }
}

// The push listener, open before anything connects; its thread starts once the ring is primed.
net::Socket* open_push(const Options& options) {
  auto* listener = new net::Socket(open_push_listener(*options.push, options.server.socket_mode));
  if (!listener->valid()) exit_process(ExitStatus::kListenerFailed);
  return listener;
}

void start_push(const PushConfig& config, const net::Socket& listener, Shared& shared,
                const Clock& clock) {
  try {
    std::thread([&listener, config, &shared, clock] {
      push_id(listener, config, shared.ring, clock, shared.server);
    }).detach();
  } catch (const std::system_error& e) {
    console_err("main() thread start failed: %s\r\n", e.code().message().c_str());
    exit_process(ExitStatus::kNoResources);
  }
}

Publisher* closing_publisher = nullptr;

// The segment and its publisher, handed to the closing actions as the segment is made.
Publisher* make_publisher(const Options& options) {
  const MakingEndingFile making;
  std::string why;
  auto segment = segment::make_segment(*options.publish, microsecond_clock(), &why);
  if (!segment) {
    console_err("main() publish failed: %s\r\n", why.c_str());
    exit_process(ExitStatus::kListenerFailed);
  }
  closing_publisher = new Publisher(std::move(segment), resolution_us(options), microsecond_clock);
  set_closing_hook([] { closing_publisher->mark_closed(); });
  segment::close_on_ending_signals(closing_publisher->layout());
  return closing_publisher;
}

// The segment, made before the first connection attempt so that its readers can tell a relay
// waiting for its upstream from no relay. However the relay ends, the segment reads closed.
void start_publishing(const Options& options, SampleRing& ring) {
  Publisher* publisher = make_publisher(options);
  std::string why;
  if (!publisher->start_heartbeat(&why)) {
    console_err("main() thread start failed: %s\r\n", why.c_str());
    exit_process(ExitStatus::kNoResources);
  }
  ring.set_observer([publisher](const Basis& basis) { publisher->publish(basis); });
}

// Whether the relay makes files that it must take away as it ends: the segment, Unix-domain
// sockets.
bool makes_files(const Options& options) {
  const auto is_unix = [](const net::Endpoint& e) { return e.family == net::Family::kUnix; };
  return options.publish || (options.status && is_unix(*options.status)) ||
         (options.push && is_unix(*options.push)) ||
         std::any_of(options.server.listen.begin(), options.server.listen.end(), is_unix);
}

void start_collector(Shared& shared, const Options& options, const Clock& clock,
                     SystemdNotifier& notifier) {
  try {
    std::thread([&shared, &options, clock, &notifier] {
      CollectorOptions collecting{options.track_rate,
                                  [&notifier](bool delivering) { notifier.upstream(delivering); },
                                  &shared.upstream};
      collecting.resolution_us = resolution_us(options);
      collecting.max_drift = options.max_drift_ppm * 1e-6;
      collecting.kernel_stamps = options.kernel_stamps;
      ID_collect(shared.ring, options.upstream, real_collector_seam(clock), collecting);
    }).detach();
  } catch (const std::system_error& e) {
    console_err("main() thread start failed: %s\r\n", e.code().message().c_str());
    exit_process(ExitStatus::kNoResources);
  }
}

// NOTIFY_SOCKET, where it is set and can be sent to. One that cannot is said once, before
// anything connects, and the relay serves on without readiness.
std::string usable_notify_socket() {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (!name || !*name) return "";
  std::string why;
  if (net::notify_socket_usable(name, &why)) return name;
  console_err("main() NOTIFY_SOCKET unusable: %s\r\n", why.c_str());
  return "";
}

// Before the threads that stamp, serve and push start, so that they inherit the policy. A
// system that refuses it is said once, and the relay runs on under the usual policy: false.
bool enter_real_time(int priority) {
  std::string why;
  if (run_in_real_time(priority, &why)) return true;
  console_err("main() %s\r\n", why.c_str());
  return false;
}

// The first look comes after a full second, so the server never opens sooner than that.
void wait_for_first_sample(const SampleRing& ring) {
  do {
    sleep_us(1000000);
  } while (!ring.primed());
}

[[noreturn]] void run(const Options& options) {
  auto& shared = *new Shared;
  auto& notifier = *new SystemdNotifier(usable_notify_socket(), options.upstream);
  const Clock clock =
      options.resolution == Resolution::kMicroseconds ? microsecond_clock : millisecond_clock;
  if (options.clients_given || options.status || options.push || options.server.listen.size() > 1) {
    check_descriptors(options);
  }
  const net::Library sockets;
  if (!sockets.ok()) {
    console_out("Init winsock failed\r\n");
    exit_process(ExitStatus::kNoSocketLibrary);
  }
  // Before the first file is made: a signal meanwhile would leave it behind.
  if (makes_files(options)) close_on_ending_signals();
  PushConfig push_config = options.push_config;
  push_config.real_time = options.sched_priority > 0 && enter_real_time(options.sched_priority);
  if (options.publish) start_publishing(options, shared.ring);
  if (options.status) start_status(options, shared, clock);
  const net::Socket* push_listener = options.push ? open_push(options) : nullptr;
  start_collector(shared, options, clock, notifier);
  wait_for_first_sample(shared.ring);
  if (push_listener) start_push(push_config, *push_listener, shared, clock);
  const auto on_listening = [&] {
    notifier.ready(shared.ring.snapshot().connected);
    service_listening();
  };
  deliver_id(options.server, shared.ring, clock, shared.server, on_listening, service_stop());
  exit_process(ExitStatus::kListenerFailed);
}

}  // namespace
}  // namespace eventid

int main(int argc, char** argv) {
  using eventid::CommandLine;
  using eventid::ExitStatus;
  const int no_resources = static_cast<int>(ExitStatus::kNoResources);
  if (!eventid::net::prepare_standard_streams()) return no_resources;
  try {
    // Messages go through the console's thread; without one there is nothing to say them with.
    std::string why;
    if (!eventid::console().start(&why)) {
      std::fprintf(stderr, "main() thread start failed: %s\r\n", why.c_str());
      return no_resources;
    }
    const CommandLine command = eventid::parse_command_line(argc, argv);
    if (command.action != CommandLine::Action::kRun) eventid::answer(command);
    if (command.options.service) eventid::run_service([&] { eventid::run(command.options); });
    eventid::run(command.options);
  } catch (const std::bad_alloc&) {
    return no_resources;  // out of memory at start-up
  }
}
