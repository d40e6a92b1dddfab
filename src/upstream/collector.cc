#include "upstream/collector.h"

#include <array>
#include <optional>
#include <vector>

#include "console/console.h"
#include "timing/holdout.h"
#include "timing/rate.h"
#include "upstream/chunk.h"
#include "upstream/repeat_limit.h"

namespace eventid {
namespace {

// The collector thread's own state, living as long as the thread.
struct Collector {
  SampleRing& ring;
  const CollectorSeam& seam;
  const CollectorOptions& options;
  UpstreamCounters& counters;
  bool delivering = false;  // a sample has come on this connection
  int failures = 0;         // failed attempts in a row since the last stored sample
  std::optional<std::uint32_t> last_id = {};
  RepeatLimit unparsable_said = {}, invalid_said = {};
  // In every mode; the estimate uses it with options.track_rate, and only then leaves the
  // samples from before a step out of the estimate itself, so that it can take steps sooner.
  // Its envelope is then a line sooner too, for the hold-out to tell early samples by.
  RateTracker rate = options.track_rate
                         ? RateTracker(RateTracker::kShortStepRun, RateTracker::kShortLineSpanUs)
                         : RateTracker();
  HoldOut hold_out = {};      // with options.track_rate
  bool beyond_bound = false;  // the rate found counts as beyond kMaxRate (rate.h)
  NoiseWindow noise = {};     // of the offsets the estimates rested on
  SilenceRecovery recovery = {};
  bool told_no_stamps = false;
  char buffer[kUpstreamBufferSize] = {};
};

void set_delivering(Collector& c, bool delivering) {
  if (c.delivering == delivering) return;
  c.delivering = delivering;
  if (c.options.watcher) c.options.watcher(delivering);
}

// Says when the rate found passes the bound, and when it comes back within.
void tell_bound(Collector& c, double found) {
  if (beyond_bound(found, c.beyond_bound) == c.beyond_bound) return;
  c.beyond_bound = !c.beyond_bound;
  console_err("%s", c.beyond_bound
                        ? "ID_collect() upstream rate beyond 1000 ppm, corrected at the bound\r\n"
                        : "ID_collect() upstream rate within 1000 ppm again\r\n");
}

// With --track-rate the tracker takes only what the hold-out lets in, and a step it sees
// leaves the samples from before it out of the estimate, with any early one among those that
// showed it.
Counting admit(Collector& c, const Sample& sample) {
  const HoldOut::Verdict v =
      c.hold_out.judge(sample, c.rate.above_envelope(sample.arrival_us, sample.offset_us));
  c.counters.held_out += static_cast<std::uint64_t>(v.held_out);
  const int steps = c.rate.steps();
  for (int i = 0; i < v.admitted_count; ++i) {
    c.rate.add(v.admitted[static_cast<std::size_t>(i)], c.hold_out.depth_us());
  }
  Counting counting{v.counts, v.confirmed, std::nullopt};
  if (c.rate.steps() != steps) {
    counting.from_us = c.rate.history_began_us();
    counting.left_out = c.rate.left_out_at_step();
    c.counters.held_out += static_cast<std::uint64_t>(counting.left_out.count);
  }
  return counting;
}

UpstreamRate measure_rate(Collector& c, const Sample& sample, Counting& counting) {
  if (c.options.track_rate) {
    counting = admit(c, sample);
  } else {
    c.rate.add(sample);
  }
  UpstreamRate rate{c.rate.measured_rate(), std::nullopt,
                    static_cast<std::uint64_t>(c.rate.steps())};
  if (c.options.track_rate) {
    rate.in_use = c.rate.rate();
    if (rate.found) tell_bound(c, *rate.found);
  }
  return rate;
}

// What a sample showed that the bound must cover from now on: itself below the estimate, or
// the estimate moving back as it came, by more than the rate allowance explains.
double shown_by(const Basis& before, const Basis& after, const Sample& sample) {
  return std::max(below_estimate_us(before, sample),
                  check_bound(before, after, sample).moved_back_us);
}

// The bound's terms, once the basis names the sample that the estimate rests on: its noise
// covers how far that sample lies from the envelope, and what the sample checking the bound
// before (if any) showed.
void complete_bound(Collector& c, Basis& b, const Basis* before, const Sample* checking,
                    std::int64_t now_us) {
  const double rested = c.rate.above_envelope(b.rest_arrival_us, b.rest_offset_us).value_or(0);
  const double shown = checking ? shown_by(*before, b, *checking) : 0;
  c.noise.add(std::max(std::abs(rested), shown));
  RateKnowledge rate;
  rate.found = c.rate.measured_rate();
  rate.uncertainty = c.rate.uncertainty();
  rate.corrected = c.options.track_rate;
  rate.max_drift = c.options.max_drift;
  b.bound_known = true;
  b.bound_fixed_us =
      static_cast<double>(c.options.resolution_us) * stamp_ticks(c.options.kernel_stamps) +
      c.noise.noise_us() + c.rate.envelope_doubt_us(b.rest_arrival_us, kMinRateUncertainty) +
      c.recovery.extra_us(b, now_us);
  b.bound_growth = rate_allowance(rate);
}

void count_check(Collector& c, const BoundCheck& check) {
  if (!check.checked) return;
  ++c.counters.bound_checks;
  if (check.late_miss) ++c.counters.late_misses;
  if (check.early_miss) ++c.counters.early_misses;
}

void store_sample(Collector& c, std::uint32_t id, std::int64_t arrival_us) {
  const Sample sample = make_sample(id, arrival_us);
  Counting counting;
  const UpstreamRate rate = measure_rate(c, sample, counting);
  if (!c.ring.primed()) {
    // Said before the ring says it is primed: serving may start right after.
    console_out("Connected to EventID server and getting data\r\n");
    c.ring.prime(sample, rate,
                 [&](Basis& b) { complete_bound(c, b, nullptr, nullptr, sample.arrival_us); });
  } else {
    const Basis before = c.ring.basis();
    c.recovery.see(before, sample);
    // A sample held back is not taken for the upstream's timing: it checks nothing.
    const Sample* checking = counting.sample ? &sample : nullptr;
    c.ring.store(
        sample, rate, [&](Basis& b) { complete_bound(c, b, &before, checking, sample.arrival_us); },
        counting);
    if (checking) count_check(c, check_bound(before, c.ring.basis(), sample));
  }
  ++c.counters.samples;
  c.last_id = id;
  c.failures = 0;
  set_delivering(c, true);
}

// Writes a skip message, unless there have been many of its kind within this second.
void say_skipped(Collector& c, RepeatLimit& limit, const char* message, std::int64_t now_us) {
  if (limit.allow(now_us)) {
    console_out("%s", message);
  } else {
    ++c.counters.skips_left_out;
  }
}

// After a second in which skip messages were left out, how many, before anything else.
void tell_left_out(Collector& c, std::int64_t now_us) {
  if (const std::uint64_t n = c.unparsable_said.left_out_before(now_us)) {
    console_out("ID_collect() %llu more unparsable messages skipped\r\n",
                static_cast<unsigned long long>(n));
  }
  if (const std::uint64_t n = c.invalid_said.left_out_before(now_us)) {
    console_out("ID_collect() %llu more invalid messages skipped\r\n",
                static_cast<unsigned long long>(n));
  }
}

void handle_chunk(Collector& c, ChunkReader& reader, std::size_t n, std::int64_t arrival_us) {
  const ChunkResult chunk = reader.read(c.buffer, n, c.last_id);
  switch (chunk.verdict) {
    case ChunkVerdict::kId:
      store_sample(c, chunk.id, arrival_us);
      break;
    case ChunkVerdict::kInvalid:
      ++c.counters.oversize;
      say_skipped(c, c.invalid_said, "ID_collect() skipping invalid message\r\n", arrival_us);
      break;
    case ChunkVerdict::kUnparsable:
      ++c.counters.unparsable;
      say_skipped(c, c.unparsable_said, "ID_collect() skipping unparsable message\r\n", arrival_us);
      break;
    case ChunkVerdict::kInvalidRest:
      break;
  }
}

// With --kernel-stamps: a system that cannot stamp a stream's data is said once, and each
// receive is stamped when it returns, as without the option.
void ask_for_stamps(Collector& c, const net::Socket& upstream) {
  if (!c.options.kernel_stamps || net::enable_receive_stamps(upstream) || c.told_no_stamps) return;
  c.told_no_stamps = true;
  console_err(
      "ID_collect() no receive stamps from the system, stamping as each receive returns: "
      "%s\r\n",
      net::error_text(net::last_error()).c_str());
}

// Receives until the connection fails, falls silent or is closed; then closes it.
void receive_until_failure(Collector& c, net::Socket& upstream) {
  ChunkReader reader;  // each connection starts clean
  for (;;) {
    std::int64_t stamp_age_us = -1;
    const long n = c.options.kernel_stamps
                       ? net::receive_stamped(upstream, c.buffer, sizeof c.buffer, &stamp_age_us)
                       : net::receive_some(upstream, c.buffer, sizeof c.buffer);
    const int err = net::last_error();
    const std::int64_t arrival_us =
        eventid::arrival_us(c.seam.clock(), stamp_age_us, c.options.resolution_us);
    c.counters.kernel_stamped += stamp_age_us >= 0;
    tell_left_out(c, arrival_us);
    if (n <= 0) {
      const std::string why = n == 0 ? "Connection closed by peer" : net::error_text(err);
      console_err("ID_collect() recv failed, %ld bytes received, closing socket: %s\r\n", n,
                  why.c_str());
      upstream.close();
      ++c.counters.failures;
      c.ring.set_connected(false);
      set_delivering(c, false);
      return;
    }
    handle_chunk(c, reader, static_cast<std::size_t>(n), arrival_us);
  }
}

// After a failed attempt: pauses 2 × n seconds, or gives up after the last retry.
// Returns false when the process is to end.
bool pause_after_failure(Collector& c) {
  ++c.failures;
  ++c.counters.failures;
  if (c.failures > kMaxRetries) {
    console_err("ID_collect() giving up to reconnect\r\n");
    c.seam.end_process(ExitStatus::kUpstreamGone);
    return false;
  }
  console_err("Connect failed, %d/%d retries left...\r\n", c.failures, kMaxRetries);
  console_err("Next retry in %dsec\r\n", c.failures * 2);
  c.seam.pause(c.failures * std::int64_t{2000000});
  return true;
}

// An upstream (or a proxy in front of one) that accepts and soon closes, with or without an
// announcement first, would otherwise be connected to thousands of times a second. So an
// attempt starts no sooner than an upstream timeout after the previous one began: the pace
// that a silent upstream sets. After a connection that lived that long, at once.
void pace_next_attempt(Collector& c, std::int64_t attempt_began_us) {
  const std::int64_t elapsed_us = c.seam.clock() - attempt_began_us;
  if (elapsed_us >= 0 && elapsed_us < kUpstreamTimeoutUs) {
    c.seam.pause(kUpstreamTimeoutUs - elapsed_us);
  }
}

}  // namespace

const char* default_upstream_host() {
  return EVENTID_DEFAULT_HOST;
}

CollectorSeam real_collector_seam(Clock clock) {
  return {sleep_us, exit_process, std::move(clock)};
}

namespace {

// A socket for the upstream, its options set; an invalid one after a failure, reported.
net::Socket upstream_socket(net::Family family) {
  net::Socket s = net::open_stream(family);
  if (!s.valid()) {
    report_error("ID_connect() socket failed: %s\r\n", net::last_error());
    return s;
  }
  if (!net::set_recv_timeout(s, kUpstreamTimeoutUs)) {
    report_error("ID_connect() setsockopt failed: %s\r\n", net::last_error());
    return net::Socket();
  }
  if (!net::set_reuse_address(s)) {  // not needed for the connection: report and go on
    report_error("ID_connect() setsockopt failed: %s\r\n", net::last_error());
  }
  return s;
}

// The host as the resolver takes it: an IPv6 literal without its brackets.
std::string bare_host(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

// IPv6, or both families: each address the resolver gives is tried in its order.
net::Socket connect_any_family(const UpstreamAddress& upstream, const std::string& host) {
  std::vector<net::Endpoint> addresses;
  std::string resolve_error;
  if (!net::resolve_stream(host.c_str(), upstream.service.c_str(), upstream.either_family,
                           &addresses, &resolve_error)) {
    console_err("ID_connect() getaddrinfo failed: %s\r\n", resolve_error.c_str());
    return net::Socket();
  }
  for (const net::Endpoint& to : addresses) {
    net::Socket s = upstream_socket(to.family);
    if (!s.valid()) continue;
    if (net::connect_to(s, to)) return s;
    report_error("ID_connect() connect failed: %s\r\n", net::last_error());
    // The resolver may give several addresses: say which one this was.
    console_err("ID_connect() address tried: %s\r\n", net::endpoint_text(to).c_str());
  }
  return net::Socket();
}

}  // namespace

net::Socket ID_connect(const UpstreamAddress& upstream) {
  const char* host = upstream.host.c_str();
  console_out("Trying to connect to %s\r\n", host);
  net::Socket s;
  if (const std::string bare = bare_host(upstream.host);
      upstream.either_family || net::is_ipv6_host(bare)) {
    s = connect_any_family(upstream, bare);
    if (!s.valid()) return s;
  } else {
    s = upstream_socket(net::Family::kIpv4);
    if (!s.valid()) return s;
    net::Endpoint to;
    std::string resolve_error;
    if (!net::resolve_ipv4(host, upstream.service.c_str(), &to, &resolve_error)) {
      console_err("ID_connect() getaddrinfo failed: %s\r\n", resolve_error.c_str());
      return net::Socket();
    }
    if (!net::connect_to(s, to)) {
      report_error("ID_connect() connect failed: %s\r\n", net::last_error());
      return net::Socket();
    }
  }
  // No canonical name is asked of the resolver: the message names the host as it was given.
  console_out("Connection to %s successful\r\n", host);
  return s;
}

void ID_collect(SampleRing& ring, const UpstreamAddress& upstream, const CollectorSeam& seam,
                const CollectorOptions& options) {
  UpstreamCounters uncounted;
  Collector c{ring, seam, options, options.counters ? *options.counters : uncounted};
  for (;;) {
    const std::int64_t attempt_began_us = seam.clock();
    net::Socket connection = ID_connect(upstream);
    if (connection.valid()) {
      ++c.counters.connects;
      ask_for_stamps(c, connection);
      receive_until_failure(c, connection);
      pace_next_attempt(c, attempt_began_us);
    } else if (!pause_after_failure(c)) {
      return;
    }
  }
}

}  // namespace eventid
