#include "status/report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "console/console.h"
#include "timing/bound.h"
#include "timing/estimate.h"

namespace eventid {
namespace {

double seconds(std::int64_t us) {
  return static_cast<double>(us) / 1e6;
}

// The facts of the one view of the upstream: the ring's figures, the state, the rate.
void gather_ring(const SampleRing::Snapshot& snapshot, std::int64_t now_us, bool track_rate,
                 StatusFacts& f) {
  f.rate = snapshot.rate.found;
  f.rate_in_use = track_rate && snapshot.rate.in_use.has_value();
  f.rate_steps = snapshot.rate.steps;
  f.primed = snapshot.primed;
  if (!f.primed) return;
  f.connected = snapshot.connected;
  const Estimate e = estimate(snapshot.basis, now_us);
  f.state = e.state;
  f.id = e.id;
  f.micros = e.micros;
  f.jitter_s = seconds(e.jitter);
  const Bound bound = bound_at(snapshot.basis, now_us);
  f.bound_s = seconds(bound.us);
  f.holdover = bound.holdover;
  f.unsynchronised = bound.unsynchronised;
  const auto [oldest, newest] = std::minmax_element(
      snapshot.slots.begin(), snapshot.slots.end(),
      [](const Sample& a, const Sample& b) { return a.arrival_us < b.arrival_us; });
  f.last_sample_age_s = seconds(now_us - newest->arrival_us);
  f.ring_span_s = seconds(newest->arrival_us - oldest->arrival_us);
}

// One metric family's HELP and TYPE lines.
void family(std::string& out, const char* name, const char* type, const char* help) {
  for (const char* part : {"# HELP ", name, " ", help, "\n# TYPE ", name, " ", type, "\n"}) {
    out += part;
  }
}

void sample(std::string& out, const std::string& name, double value) {
  char text[64];
  std::snprintf(text, sizeof text, " %.15g\n", value);
  out += name + text;
}

void count(std::string& out, const std::string& name, std::uint64_t value) {
  out += name + " " + std::to_string(value) + "\n";
}

// A JSON string: the text in quotes, with what JSON cannot hold as it is escaped.
std::string quoted(const std::string& text) {
  std::string q(1, '"');
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      q += '\\';
      q += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      q += escape;
    } else {
      q += c;
    }
  }
  return q += '"';
}

// Members in the order they are added.
struct JsonObject {
  std::string text;
  void add(const char* name, const std::string& value) {
    text += text.empty() ? "{\"" : ", \"";
    text += name;
    text += "\": ";
    text += value;
  }
  std::string close() const { return text.empty() ? "{}" : text + "}"; }
};

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

}  // namespace

StatusFacts gather_status(const StatusSources& s) {
  StatusFacts f;
  gather_ring(s.ring.snapshot(), s.clock(), s.track_rate, f);
  f.connects = s.upstream.connects;
  f.failures = s.upstream.failures;
  f.oversize = s.upstream.oversize;
  f.unparsable = s.upstream.unparsable;
  f.samples = s.upstream.samples;
  f.held_out = s.upstream.held_out;
  f.kernel_stamped = s.upstream.kernel_stamped;
  f.bound_checks = s.upstream.bound_checks;
  f.late_misses = s.upstream.late_misses;
  f.early_misses = s.upstream.early_misses;
  f.track_rate = s.track_rate;
  f.clients = s.server.held;
  f.clients_total = s.server.accepted;
  f.lines = s.server.lines;
  f.dropped_idle = s.server.dropped_idle;
  f.dropped_gone = s.server.dropped_gone;
  f.dropped_failed = s.server.dropped_failed;
  f.left_out = console().dropped_total() + s.upstream.skips_left_out;
  f.start_time_s = seconds(s.start_time_unix_us);
  f.host = s.address.host;
  f.service = s.address.service;
  f.version = s.version;
  return f;
}

std::string metrics_text(const StatusFacts& f) {
  std::string m;
  family(m, "eventid_relay_build_info", "gauge", "The relay's version, in its label; always 1.");
  count(m, std::string("eventid_relay_build_info{version=\"") + f.version + "\"}", 1);
  family(m, "eventid_relay_start_time_seconds", "gauge", "When the relay started, in unix time.");
  sample(m, "eventid_relay_start_time_seconds", f.start_time_s);
  family(m, "eventid_relay_state", "gauge",
         "1 for the state a line would show now (O fresh, S stale, D disconnected), 0 for the "
         "others; all 0 before the first sample.");
  for (const char state : {'O', 'S', 'D'}) {
    count(m, std::string("eventid_relay_state{state=\"") + state + "\"}", f.state == state);
  }
  family(m, "eventid_relay_upstream_connected", "gauge",
         "1 while the upstream connection delivers samples.");
  count(m, "eventid_relay_upstream_connected", f.connected);
  family(m, "eventid_relay_upstream_connects_total", "counter", "Connections made upstream.");
  count(m, "eventid_relay_upstream_connects_total", f.connects);
  family(m, "eventid_relay_upstream_failures_total", "counter",
         "Failed connection attempts, and upstream connections that ended.");
  count(m, "eventid_relay_upstream_failures_total", f.failures);
  family(m, "eventid_relay_upstream_messages_rejected_total", "counter",
         "Upstream messages rejected: oversize (10000 bytes or more) or unparsable.");
  count(m, "eventid_relay_upstream_messages_rejected_total{reason=\"oversize\"}", f.oversize);
  count(m, "eventid_relay_upstream_messages_rejected_total{reason=\"unparsable\"}", f.unparsable);
  family(m, "eventid_relay_samples_total", "counter", "Upstream samples stored.");
  count(m, "eventid_relay_samples_total", f.samples);
  family(m, "eventid_relay_samples_held_out_total", "counter",
         "Samples held out of the estimate (--track-rate): further below the envelope than the "
         "delays' noise explains, and not confirmed by the samples after them.");
  count(m, "eventid_relay_samples_held_out_total", f.held_out);
  family(m, "eventid_relay_receives_kernel_stamped_total", "counter",
         "Upstream receives stamped with the time the system took their data in "
         "(--kernel-stamps).");
  count(m, "eventid_relay_receives_kernel_stamped_total", f.kernel_stamped);
  family(m, "eventid_relay_last_sample_age_seconds", "gauge", "Age of the newest sample.");
  if (f.primed) sample(m, "eventid_relay_last_sample_age_seconds", f.last_sample_age_s);
  family(m, "eventid_relay_ring_span_seconds", "gauge",
         "Time from the oldest to the newest of the 40 samples.");
  if (f.primed) sample(m, "eventid_relay_ring_span_seconds", f.ring_span_s);
  family(m, "eventid_relay_jitter_seconds", "gauge", "The ID line's jitter figure.");
  if (f.primed) sample(m, "eventid_relay_jitter_seconds", f.jitter_s);
  family(m, "eventid_relay_estimate_bound_seconds", "gauge",
         "How far the estimate may be off now, against the upstream as its fastest "
         "announcements reach the relay.");
  if (f.primed) sample(m, "eventid_relay_estimate_bound_seconds", f.bound_s);
  family(m, "eventid_relay_holdover", "gauge",
         "1 while the upstream is lost or its newest sample is over 0.5 s old, and the bound "
         "is under 50 ms.");
  count(m, "eventid_relay_holdover", f.holdover);
  family(m, "eventid_relay_unsynchronised", "gauge",
         "1 while the bound is 50 ms or more: the ID itself may be wrong.");
  count(m, "eventid_relay_unsynchronised", f.unsynchronised);
  family(m, "eventid_relay_bound_checks_total", "counter",
         "Samples that checked the bound given just before them.");
  count(m, "eventid_relay_bound_checks_total", f.bound_checks);
  family(m, "eventid_relay_bound_misses_total", "counter",
         "Bounds that a sample showed missed: late (a sample below the estimate by more than "
         "the bound) or early (the estimate moving back by more than it).");
  count(m, "eventid_relay_bound_misses_total{side=\"late\"}", f.late_misses);
  count(m, "eventid_relay_bound_misses_total{side=\"early\"}", f.early_misses);
  family(m, "eventid_relay_upstream_rate_deviation_ratio", "gauge",
         "How much faster the upstream's ID clock runs than the relay's (0.0002: 200 ppm).");
  if (f.rate) sample(m, "eventid_relay_upstream_rate_deviation_ratio", *f.rate);
  family(m, "eventid_relay_upstream_rate_in_use", "gauge",
         "1 while the estimates are corrected for the upstream's rate (--track-rate).");
  count(m, "eventid_relay_upstream_rate_in_use", f.rate_in_use);
  family(m, "eventid_relay_rate_steps_total", "counter",
         "Steps of the upstream's IDs (a restart, a jump), each of which began the rate's "
         "measure afresh.");
  count(m, "eventid_relay_rate_steps_total", f.rate_steps);
  family(m, "eventid_relay_clients", "gauge", "Clients held now.");
  count(m, "eventid_relay_clients", f.clients);
  family(m, "eventid_relay_clients_total", "counter", "Clients accepted.");
  count(m, "eventid_relay_clients_total", f.clients_total);
  family(m, "eventid_relay_client_lines_total", "counter", "ID lines sent to clients.");
  count(m, "eventid_relay_client_lines_total", f.lines);
  family(m, "eventid_relay_clients_dropped_total", "counter",
         "Clients dropped: idle (the idle timeout), gone (closed or reset by the client), "
         "failed (a send or receive failed otherwise).");
  count(m, "eventid_relay_clients_dropped_total{reason=\"idle\"}", f.dropped_idle);
  count(m, "eventid_relay_clients_dropped_total{reason=\"gone\"}", f.dropped_gone);
  count(m, "eventid_relay_clients_dropped_total{reason=\"failed\"}", f.dropped_failed);
  family(m, "eventid_relay_messages_left_out_total", "counter",
         "Messages not written: dropped while the output was not read, or skip messages "
         "beyond ten a second.");
  count(m, "eventid_relay_messages_left_out_total", f.left_out);
  return m;
}

std::string status_json(const StatusFacts& f) {
  const auto known = [&](double v) { return f.primed ? number(v) : "null"; };
  const auto flag = [](bool b) { return std::string(b ? "true" : "false"); };
  const auto whole = [](std::uint64_t n) { return std::to_string(n); };
  JsonObject upstream;
  upstream.add("host", quoted(f.host));
  upstream.add("service", quoted(f.service));
  upstream.add("connected", flag(f.connected));
  upstream.add("last_sample_age_seconds", known(f.last_sample_age_s));
  upstream.add("connects_total", whole(f.connects));
  upstream.add("failures_total", whole(f.failures));
  JsonObject rejected;
  rejected.add("oversize", whole(f.oversize));
  rejected.add("unparsable", whole(f.unparsable));
  upstream.add("messages_rejected_total", rejected.close());
  upstream.add("rate_deviation_ratio", f.rate ? number(*f.rate) : "null");
  upstream.add("rate_in_use", flag(f.rate_in_use));
  upstream.add("rate_steps", whole(f.rate_steps));
  JsonObject dropped;
  dropped.add("idle", whole(f.dropped_idle));
  dropped.add("gone", whole(f.dropped_gone));
  dropped.add("failed", whole(f.dropped_failed));
  JsonObject status;
  status.add("version", quoted(f.version));
  status.add("start_time_seconds", number(f.start_time_s));
  status.add("state", quoted(f.primed ? std::string(1, f.state) : "none"));
  status.add("id", f.primed ? whole(f.id) : "null");
  status.add("micros", f.primed ? whole(f.micros) : "null");
  status.add("jitter_seconds", known(f.jitter_s));
  status.add("ring_span_seconds", known(f.ring_span_s));
  status.add("bound_seconds", known(f.bound_s));
  status.add("holdover", flag(f.holdover));
  status.add("unsynchronised", flag(f.unsynchronised));
  JsonObject misses;
  misses.add("late", whole(f.late_misses));
  misses.add("early", whole(f.early_misses));
  status.add("bound_checks_total", whole(f.bound_checks));
  status.add("bound_misses_total", misses.close());
  status.add("samples_total", whole(f.samples));
  status.add("samples_held_out_total", whole(f.held_out));
  status.add("receives_kernel_stamped_total", whole(f.kernel_stamped));
  status.add("upstream", upstream.close());
  status.add("clients", whole(f.clients));
  status.add("clients_total", whole(f.clients_total));
  status.add("client_lines_total", whole(f.lines));
  status.add("clients_dropped_total", dropped.close());
  status.add("messages_left_out_total", whole(f.left_out));
  return status.close() + "\n";
}

}  // namespace eventid
