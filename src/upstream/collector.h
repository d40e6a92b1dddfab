// The upstream collector keeps the sample ring fed from the upstream event-ID server. It runs
// on a thread of its own for the life of the process, reconnects when the connection fails or
// falls silent, and ends the process when the server stays unreachable.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "net/net.h"
#include "process/exit.h"
#include "timing/bound.h"
#include "timing/clock.h"
#include "timing/ring.h"

namespace eventid {

inline constexpr char kDefaultUpstreamService[] = "58050";
// An upstream silent this long is given up and connected to again.
inline constexpr std::int64_t kUpstreamTimeoutUs = 2000000;
// Failed attempts in a row that are each followed by a pause; one more ends the process.
inline constexpr int kMaxRetries = 20;

// The compiled-in upstream host, for a command line that names none.
const char* default_upstream_host();

struct UpstreamAddress {
  // A name, an IPv4 or IPv6 literal, or an IPv6 literal in brackets; a link-local IPv6
  // literal with its interface after a '%' ("fe80::1%eth0").
  std::string host;
  std::string service;
  bool either_family = false;  // a name's IPv6 addresses are tried too, not its IPv4 alone
};

// What the collector takes from the world outside the socket, so that tests can run the whole
// retry schedule without waiting and see the give-up without losing their process.
struct CollectorSeam {
  std::function<void(std::int64_t duration_us)> pause;
  std::function<void(ExitStatus status)> end_process;  // the real one never returns
  Clock clock;
};
CollectorSeam real_collector_seam(Clock clock);

// Told when the upstream starts delivering (the first sample on a connection) and when a
// connection that delivered fails: what turns the estimates' state to D and back.
using ConnectionWatcher = std::function<void(bool delivering)>;

// One connection attempt. Returns an invalid socket after a failure, already reported.
net::Socket ID_connect(const UpstreamAddress& upstream);

// What the collector has done, for whoever watches the relay: written by the collector thread
// alone, read by any.
struct UpstreamCounters {
  std::atomic<std::uint64_t> connects{0};        // connections made
  std::atomic<std::uint64_t> failures{0};        // failed attempts and connections that ended
  std::atomic<std::uint64_t> samples{0};         // samples stored
  std::atomic<std::uint64_t> oversize{0};        // messages rejected for filling the buffer
  std::atomic<std::uint64_t> unparsable{0};      // and for holding no ID
  std::atomic<std::uint64_t> skips_left_out{0};  // skip messages not written (repeat_limit.h)
  std::atomic<std::uint64_t> bound_checks{0};    // samples that checked the bound (bound.h)
  std::atomic<std::uint64_t> late_misses{0};     // bounds that they showed missed, each side
  std::atomic<std::uint64_t> early_misses{0};
  std::atomic<std::uint64_t> held_out{0};        // samples the estimate never counted (holdout.h)
  std::atomic<std::uint64_t> kernel_stamped{0};  // receives stamped by the system (arrival_us)
};

struct CollectorOptions {
  // Correct the estimate for the upstream's clock rate (rate.h), which is measured in every
  // mode; say when the rate found passes the bound, and when it comes back within. Hold a
  // sample far below the envelope out of the estimate until others confirm it (holdout.h),
  // and take a step of the IDs in half a second, the samples from before it left out.
  bool track_rate = false;
  ConnectionWatcher watcher;
  UpstreamCounters* counters = nullptr;  // where to count, if anywhere
  // What the error bound (bound.h) takes from the command line.
  std::int64_t resolution_us = 1000;  // of the samples' clock
  double max_drift = kDefaultMaxDriftPpm * 1e-6;
  // Stamp each receive with the time the system took its data in, where it can, rather than
  // the time the collector woke to read it: a loaded machine's wake-ups do not reach the
  // samples then.
  bool kernel_stamps = false;
};

// A receive's arrival on the relay's clock, from that clock's reading when the receive
// returned and the system's stamp of its data, an age in µs (-1: none). The age is taken to the
// nearest tick of the clock, so that the arrival lies on the clock's ticks, within half a tick
// more than a reading of its own would be (stamp_ticks). An age that no receive can have
// (below zero, or from before the upstream's timeout: the system's clock was set meanwhile) is
// ignored.
inline std::int64_t arrival_us(std::int64_t read_at_us, std::int64_t stamp_age_us,
                               std::int64_t resolution_us) {
  if (stamp_age_us < 0 || stamp_age_us >= kUpstreamTimeoutUs) return read_at_us;
  return read_at_us - (stamp_age_us + resolution_us / 2) / resolution_us * resolution_us;
}
// How many of the clock's ticks a sample's arrival and a reading's clock may be off by
// together, for the bound: one for the two readings' cuts, and half one more where the arrival
// is a reading less an age taken to the nearest tick.
inline double stamp_ticks(bool kernel_stamps) {
  return kernel_stamps ? 1.5 : 1.0;
}

// The collector thread: connects, stores every announcement, reconnects, and ends the process
// after the last retry. Returns only if seam.end_process does.
void ID_collect(SampleRing& ring, const UpstreamAddress& upstream, const CollectorSeam& seam,
                const CollectorOptions& options = {});

}  // namespace eventid
