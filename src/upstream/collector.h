// The upstream collector: keeps the context's ring fed from the upstream event-ID server.
// It runs on a thread of its own for the life of the process, reconnects when the connection
// fails or falls silent, and ends the process when the server stays unreachable.
#pragma once

#include <functional>

#include "net/net.h"
#include "timing/context.h"

inline constexpr char kDefaultUpstreamService[] = "58050";
inline constexpr int kUpstreamTimeoutMs = 2000;
// Failed attempts in a row that are each followed by a pause; one more ends the process.
inline constexpr int kMaxRetries = 20;
// The exit status when the collector gives up.
inline constexpr int kGiveUpStatus = 4;

// The compiled-in upstream host, used when the command line names none.
const char* default_upstream_host();

// What the collector takes from the world outside the socket, so that tests can run the whole
// retry schedule without waiting and see the give-up without losing their process.
struct collector_seam_t {
  std::function<void(int milliseconds)> pause;
  std::function<void(int status)> end_process;  // the real one never returns
  std::function<void(time_value_t*)> read_clock;
};
collector_seam_t collector_real_seam();

// One connection attempt. Returns an invalid socket after a failure, already reported.
net::Socket ID_connect_to(const char* address, const char* service);
// An attempt to the context's upstream, filling in the default host and service first.
net::Socket ID_connect(context_t* ctx);

// The thread's start routine; nyx is the context_t. Never returns.
void ID_collect(void* nyx);
// The collector's loop. Returns only if seam.end_process does.
void ID_collect_with(context_t* ctx, const collector_seam_t& seam);
