#include "upstream/collector.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "console/console.h"
#include "timing/clock.h"
#include "upstream/chunk.h"

namespace {

// The collector thread's own state, living as long as the thread.
struct collector_t {
  context_t* ctx;
  const collector_seam_t& seam;
  int recon_retry = 0;  // failed attempts in a row since the last stored sample
  bool first_entry = true;
  std::optional<std::uint32_t> last_id = {};
  char buffer[kUpstreamBufferSize] = {};
};

void store_sample(collector_t& c, std::uint32_t id, const time_value_t& arrival) {
  const ID_event_t sample{arrival, id,
                          to_microseconds(arrival) - static_cast<std::int64_t>(id) * kIdDurationUs};
  c.last_id = id;
  if (c.first_entry) {
    context_prime(c.ctx, sample);
  } else {
    context_store(c.ctx, sample);
  }
  c.ctx->connected.store(1);
  c.recon_retry = 0;
  if (c.first_entry) {
    c.first_entry = false;
    console_out("Connected to EventID server and getting data\r\n");
    c.ctx->ever_got_id.store(1, std::memory_order_release);
  }
}

// Returns whether the chunk gave a sample.
bool handle_chunk(collector_t& c, std::size_t n, const time_value_t& arrival) {
  const chunk_result_t chunk = parse_chunk(c.buffer, n, c.last_id);
  switch (chunk.verdict) {
    case chunk_verdict::id:
      store_sample(c, chunk.id, arrival);
      return true;
    case chunk_verdict::invalid:
      console_out("ID_collect() skipping invalid message\r\n");
      break;
    case chunk_verdict::unparsable:
      console_out("ID_collect() skipping unparsable message\r\n");
      break;
  }
  return false;
}

// Receives until the connection fails, falls silent or is closed; then closes it. Returns
// whether the connection gave at least one sample.
bool receive_until_failure(collector_t& c, net::Socket& upstream) {
  bool delivered = false;
  for (;;) {
    const long n = net::receive_some(upstream, c.buffer, sizeof c.buffer);
    const int err = net::last_error();
    time_value_t arrival;
    c.seam.read_clock(&arrival);
    if (n <= 0) {
      const std::string why = n == 0 ? "Connection closed by peer" : net::error_text(err);
      console_err("ID_collect() recv failed, %ld bytes received, closing socket: %s\r\n", n,
                  why.c_str());
      upstream.close();
      c.ctx->connected.store(0);
      return delivered;
    }
    delivered |= handle_chunk(c, static_cast<std::size_t>(n), arrival);
  }
}

std::int64_t now_us(const collector_t& c) {
  time_value_t now;
  c.seam.read_clock(&now);
  return to_microseconds(now);
}

// A connection that ends before its first sample (an upstream, or a proxy in front of one
// that is down, accepting and closing at once) would otherwise be retried thousands of times
// a second. The next attempt then starts no sooner than an upstream timeout after this one
// began: the pace that a silent upstream already sets.
void pace_after_fruitless_connection(collector_t& c, std::int64_t attempt_began_us) {
  const std::int64_t elapsed_ms = (now_us(c) - attempt_began_us) / 1000;
  if (elapsed_ms >= 0 && elapsed_ms < kUpstreamTimeoutMs) {
    c.seam.pause(static_cast<int>(kUpstreamTimeoutMs - elapsed_ms));
  }
}

// After a failed attempt: pauses 2 × n seconds, or gives up after the last retry.
// Returns false when the process is to end.
bool pause_after_failure(collector_t& c) {
  ++c.recon_retry;
  if (c.recon_retry > kMaxRetries) {
    console_err("ID_collect() giving up to reconnect\r\n");
    c.seam.end_process(kGiveUpStatus);
    return false;
  }
  console_err("Connect failed, %d/%d retries left...\r\n", c.recon_retry, kMaxRetries);
  console_err("Next retry in %dsec\r\n", c.recon_retry * 2);
  c.seam.pause(c.recon_retry * 2000);
  return true;
}

}  // namespace

const char* default_upstream_host() {
  return EVENTID_DEFAULT_HOST;
}

collector_seam_t collector_real_seam() {
  return {[](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }, console_exit,
          read_clock};
}

net::Socket ID_connect_to(const char* address, const char* service) {
  console_out("Trying to connect to %s\r\n", address);
  net::Socket s = net::open_tcp4();
  if (!s.valid()) {
    console_err("ID_connect() socket failed: %s\r\n", net::error_text(net::last_error()).c_str());
    return s;
  }
  if (!net::set_recv_timeout(s, kUpstreamTimeoutMs)) {
    console_err("ID_connect() setsockopt failed: %s\r\n",
                net::error_text(net::last_error()).c_str());
    return net::Socket();
  }
  if (!net::set_reuse_address(s)) {  // not needed for the connection: report and go on
    console_err("ID_connect() setsockopt failed: %s\r\n",
                net::error_text(net::last_error()).c_str());
  }
  net::Endpoint upstream;
  std::string resolve_error;
  if (!net::resolve_ipv4(address, service, &upstream, &resolve_error)) {
    console_err("ID_connect() getaddrinfo failed: %s\r\n", resolve_error.c_str());
    return net::Socket();
  }
  if (!net::connect_to(s, upstream)) {
    console_err("ID_connect() connect failed: %s\r\n", net::error_text(net::last_error()).c_str());
    return net::Socket();
  }
  const std::string& name = upstream.canonical_name;
  console_out("Connection to %s successful\r\n", name.empty() ? address : name.c_str());
  return s;
}

net::Socket ID_connect(context_t* ctx) {
  if (!ctx->host) ctx->host = default_upstream_host();
  if (!ctx->service) ctx->service = kDefaultUpstreamService;
  return ID_connect_to(ctx->host->c_str(), ctx->service->c_str());
}

void ID_collect_with(context_t* ctx, const collector_seam_t& seam) {
  collector_t c{ctx, seam};
  for (;;) {
    const std::int64_t attempt_began_us = now_us(c);
    net::Socket upstream = ID_connect(ctx);
    if (upstream.valid()) {
      if (!receive_until_failure(c, upstream)) pace_after_fruitless_connection(c, attempt_began_us);
    } else if (!pause_after_failure(c)) {
      return;
    }
  }
}

void ID_collect(void* nyx) {
  ID_collect_with(static_cast<context_t*>(nyx), collector_real_seam());
}
