// eventid-relay [host [service]]
// Keeps a local copy of an upstream event-ID counter and serves it on TCP port 58051.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "console/console.h"
#include "delivery/server.h"
#include "net/net.h"
#include "timing/context.h"
#include "upstream/collector.h"

namespace {

// Exit statuses. The relay runs until it is stopped, so it never ends with 0.
constexpr int kNoSocketLibrary = 1;
constexpr int kNoResources = 2;
constexpr int kListenerFailed = 3;

bool start_collector(context_t* ctx) {
  try {
    std::thread(ID_collect, ctx).detach();
    return true;
  } catch (const std::system_error& e) {
    console_err("main() thread start failed: %s\r\n", e.what());
    return false;
  }
}

// The first look comes after a full second, so the server never opens sooner than that.
void wait_for_first_sample(const context_t* ctx) {
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  } while (ctx->ever_got_id.load(std::memory_order_acquire) != 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (!net::prepare_standard_streams()) return kNoResources;
  context_ptr ctx(context_create());
  if (!ctx) return kNoResources;
  if (argc > 1) ctx->host = argv[1];
  if (argc > 2) ctx->service = argv[2];

  const net::Library sockets;
  if (!sockets.ok()) {
    console_out("Init winsock failed\r\n");
    console_exit(kNoSocketLibrary);
  }
  if (!start_collector(ctx.get())) console_exit(kNoResources);
  wait_for_first_sample(ctx.get());
  deliver_id(ctx.get());
  // The collector thread still runs and still uses the context.
  console_exit(kListenerFailed);
}
