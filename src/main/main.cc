// eventid-relay [host [service]]
// Keeps a local copy of an upstream event-ID counter and serves it on TCP port 58051.
//
// Names: types are CamelCase, functions and variables snake_case, constants kCamelCase, all in
// namespace eventid. Three functions keep the names that the relay's messages print
// (ID_connect, ID_collect, deliver_id), so that a log line leads to its function.
#include <chrono>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "console/console.h"
#include "delivery/server.h"
#include "net/net.h"
#include "timing/ring.h"
#include "upstream/collector.h"

namespace eventid {
namespace {

// Exit statuses. The relay runs until it is stopped, so it never ends with 0.
constexpr int kNoSocketLibrary = 1;
constexpr int kNoResources = 2;
constexpr int kListenerFailed = 3;

UpstreamAddress upstream_from(int argc, char** argv) {
  return {argc > 1 ? argv[1] : default_upstream_host(),
          argc > 2 ? argv[2] : kDefaultUpstreamService};
}

bool start_collector(SampleRing& ring, const UpstreamAddress& upstream) {
  try {
    std::thread([&ring, upstream] { ID_collect(ring, upstream, real_collector_seam()); }).detach();
    return true;
  } catch (const std::system_error& e) {
    console_err("main() thread start failed: %s\r\n", e.what());
    return false;
  }
}

// The first look comes after a full second, so the server never opens sooner than that.
void wait_for_first_sample(const SampleRing& ring) {
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  } while (!ring.primed());
}

int run(int argc, char** argv) {
  // Lives as long as the process: the collector thread writes it until the very end.
  auto& ring = *new SampleRing;
  const UpstreamAddress upstream = upstream_from(argc, argv);
  const net::Library sockets;
  if (!sockets.ok()) {
    console_out("Init winsock failed\r\n");
    console_exit(kNoSocketLibrary);
  }
  if (!start_collector(ring, upstream)) console_exit(kNoResources);
  wait_for_first_sample(ring);
  deliver_id(ring, millisecond_clock);
  console_exit(kListenerFailed);
}

}  // namespace
}  // namespace eventid

int main(int argc, char** argv) {
  if (!eventid::net::prepare_standard_streams()) return eventid::kNoResources;
  try {
    return eventid::run(argc, argv);
  } catch (const std::bad_alloc&) {
    return eventid::kNoResources;  // out of memory at start-up
  }
}
