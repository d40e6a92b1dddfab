// What the relay tells of itself: its state, its upstream and its clients, as Prometheus
// metrics and as one JSON object, both made from one gathering of the facts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "delivery/server.h"
#include "timing/clock.h"
#include "timing/ring.h"
#include "upstream/collector.h"

namespace eventid {

// Where the facts come from; all of it outlives the status listener.
struct StatusSources {
  const SampleRing& ring;
  const UpstreamCounters& upstream;
  const ServerCounters& server;
  const UpstreamAddress& address;
  Clock clock;  // the lines' clock
  std::int64_t start_time_unix_us;
  bool track_rate;
  std::string version;
};

struct StatusFacts {
  bool primed = false;  // before the first sample, the state and the ring's figures are unknown
  char state = 0;       // 'O', 'S' or 'D' once primed
  std::uint32_t id = 0, micros = 0;
  double last_sample_age_s = 0, ring_span_s = 0, jitter_s = 0;
  double bound_s = 0;  // how far the estimate may be off now (bound.h)
  bool holdover = false, unsynchronised = false;
  std::uint64_t bound_checks = 0, late_misses = 0, early_misses = 0;
  bool connected = false;
  std::uint64_t connects = 0, failures = 0, oversize = 0, unparsable = 0, samples = 0;
  std::uint64_t held_out = 0;        // samples the estimate never counted (--track-rate)
  std::uint64_t kernel_stamped = 0;  // receives stamped by the system (--kernel-stamps)
  bool track_rate = false;
  std::optional<double> rate;  // found, in every mode
  bool rate_in_use = false;
  std::uint64_t rate_steps = 0;
  std::uint64_t clients = 0, clients_total = 0, lines = 0;
  std::uint64_t dropped_idle = 0, dropped_gone = 0, dropped_failed = 0;
  std::uint64_t left_out = 0;  // messages: the console's drops and the skip messages' omissions
  double start_time_s = 0;
  std::string host, service, version;
};

StatusFacts gather_status(const StatusSources& sources);

// The Prometheus text exposition format (version 0.0.4).
std::string metrics_text(const StatusFacts& facts);
std::string status_json(const StatusFacts& facts);

}  // namespace eventid
