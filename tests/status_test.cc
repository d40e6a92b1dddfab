#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "status/http.h"
#include "status/report.h"
#include "status/status_server.h"
#include "support/captured_console.h"
#include "support/clients.h"
#include "support/eventually.h"

namespace eventid {
namespace {

using test::http_exchange;

// The facts of a relay that the test sets by hand, on a clock that it moves.
struct Relay {
  SampleRing ring;
  UpstreamCounters upstream;
  ServerCounters server;
  UpstreamAddress address{"up.\"example\"", "58050"};
  std::atomic<std::int64_t> now_us{1300000};
  StatusSources sources(bool track_rate = false) {
    return {ring,
            upstream,
            server,
            address,
            [this] { return now_us.load(); },
            1'700'000'000'250'000,
            track_rate,
            "9.8.7"};
  }
};

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(StatusReport, BeforeTheFirstSampleTheStateIsNone) {
  Relay relay;
  relay.upstream.failures = 3;
  const StatusFacts facts = gather_status(relay.sources());
  const std::string metrics = metrics_text(facts);
  for (const char* line :
       {"eventid_relay_build_info{version=\"9.8.7\"} 1",
        "eventid_relay_start_time_seconds 1700000000.25", "eventid_relay_state{state=\"O\"} 0",
        "eventid_relay_state{state=\"S\"} 0", "eventid_relay_state{state=\"D\"} 0",
        "eventid_relay_upstream_failures_total 3", "eventid_relay_upstream_connected 0"}) {
    EXPECT_TRUE(has_line(metrics, line)) << line << "\n" << metrics;
  }
  EXPECT_EQ(metrics.find("\neventid_relay_last_sample_age_seconds "), std::string::npos);
  const std::string json = status_json(facts);
  EXPECT_NE(json.find("\"state\": \"none\", \"id\": null, \"micros\": null"), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"host\": \"up.\\\"example\\\"\""), std::string::npos) << json;
}

// ID 42 arrived at 1 s and 40 samples span 3.9 s; the relay asked at 1.3 s sees ID 45.
TEST(StatusReport, TheFactsAsTheRelayMovesThem) {
  Relay relay;
  const auto bound = [](Basis& b) {
    b.bound_known = true, b.bound_fixed_us = 1000, b.bound_growth = 1e-4;
  };
  relay.ring.prime(make_sample(3, -2900000), {}, bound);
  for (std::uint32_t id = 4; id <= 42; ++id) {
    relay.ring.store(make_sample(id, (static_cast<std::int64_t>(id) - 32) * 100000),
                     {0.0002, std::nullopt, 3}, bound);
  }
  relay.upstream.samples = 40;
  relay.upstream.bound_checks = 39;
  relay.upstream.early_misses = 1;
  relay.upstream.oversize = 2;
  relay.upstream.held_out = 5;
  relay.server.held = 1;
  relay.server.lines = 7;
  relay.server.dropped_idle = 4;
  const StatusFacts facts = gather_status(relay.sources(true));
  const std::string metrics = metrics_text(facts);
  for (const char* line :
       {"eventid_relay_state{state=\"O\"} 1", "eventid_relay_state{state=\"D\"} 0",
        "eventid_relay_upstream_connected 1", "eventid_relay_samples_total 40",
        "eventid_relay_samples_held_out_total 5",
        "eventid_relay_upstream_messages_rejected_total{reason=\"oversize\"} 2",
        "eventid_relay_last_sample_age_seconds 0.3", "eventid_relay_ring_span_seconds 3.9",
        "eventid_relay_upstream_rate_deviation_ratio 0.0002",
        "eventid_relay_upstream_rate_in_use 0", "eventid_relay_rate_steps_total 3",
        "eventid_relay_clients 1", "eventid_relay_client_lines_total 7",
        "eventid_relay_clients_dropped_total{reason=\"idle\"} 4",
        "eventid_relay_estimate_bound_seconds 0.00103", "eventid_relay_holdover 0",
        "eventid_relay_unsynchronised 0", "eventid_relay_bound_checks_total 39",
        "eventid_relay_bound_misses_total{side=\"late\"} 0",
        "eventid_relay_bound_misses_total{side=\"early\"} 1"}) {
    EXPECT_TRUE(has_line(metrics, line)) << line << "\n" << metrics;
  }
  const std::string json = status_json(facts);
  for (const char* field :
       {"\"state\": \"O\", \"id\": 45, \"micros\": 0", "\"connected\": true",
        "\"last_sample_age_seconds\": 0.3", "\"rate_deviation_ratio\": 0.0002", "\"rate_steps\": 3",
        "\"clients\": 1,", "\"clients_dropped_total\": {\"idle\": 4,",
        "\"bound_seconds\": 0.00103, \"holdover\": false, \"unsynchronised\": false, "
        "\"bound_checks_total\": 39, \"bound_misses_total\": {\"late\": 0, \"early\": 1}",
        "\"samples_held_out_total\": 5,"}) {
    EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
  }
  relay.now_us = 1600000;  // the newest sample 0.6 s old: holdover, the bound grown
  const std::string later = metrics_text(gather_status(relay.sources(true)));
  for (const char* line :
       {"eventid_relay_estimate_bound_seconds 0.00106", "eventid_relay_holdover 1"}) {
    EXPECT_TRUE(has_line(later, line)) << line << "\n" << later;
  }
}

TEST(StatusHttp, RequestHeads) {
  EXPECT_EQ(request_head_length("GET / HTTP/1.1\r\nHost: x\r\n"), 0u);
  EXPECT_EQ(request_head_length("GET / HTTP/1.1\r\n\r\nmore"), 18u);
  EXPECT_EQ(request_head_length("GET / HTTP/1.0\n\n"), 16u);
  EXPECT_EQ(request_head_length("GET / HTTP/1.1\nA: b\r\n\r\n"), 23u);
}

// The status listener on a free loopback port, in this process.
struct StatusRun {
  test::CapturedConsole console;
  Relay relay;
  net::Socket listener = open_status_listener({net::kLoopback, 0});
  EventLoop loop{"main() status", relay.sources().clock};
  std::atomic<int> accepted{0};  // connections taken from the listen queue
  std::unique_ptr<StatusServer> server = std::make_unique<StatusServer>(
      loop, listener, relay.sources(), [this](auto& l, auto* peer, int* err) {
        net::Socket s = system_acceptor()(l, peer, err);
        if (s.valid()) ++accepted;
        return s;
      });
  std::thread thread{[this] { loop.run(); }};

  std::uint16_t port() const {
    net::Endpoint bound;
    net::local_endpoint(listener, &bound);
    return bound.port;
  }
  ~StatusRun() {
    loop.stop();
    thread.join();
  }
  // The loop reads the clock again when woken.
  void advance(std::int64_t us) {
    relay.now_us += us;
    loop.wake();
  }
};

struct Exchange {
  const char* rule;
  std::string request;
  std::string status_line;
  const char* content_type;  // nullptr: any
  bool body;
};

TEST(StatusListener, AnswersByTable) {
  StatusRun run;
  const std::string metrics_type = "text/plain; version=0.0.4; charset=utf-8";
  const std::vector<Exchange> table = {
      {"metrics", "GET /metrics HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n\r\n", "HTTP/1.1 200 OK",
       "text/plain; version=0.0.4; charset=utf-8", true},
      {"status, bare LF, HTTP/1.0, a query", "GET /status?pretty=1 HTTP/1.0\n\n", "HTTP/1.1 200 OK",
       "application/json", true},
      {"HEAD: the head alone", "HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK",
       "text/plain; version=0.0.4; charset=utf-8", false},
      {"another path", "GET /metricsx HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", nullptr, true},
      {"another method", "POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed",
       nullptr, true},
      {"no version", "GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request", nullptr, true},
      {"a header without a colon", "GET /metrics HTTP/1.1\r\nHost h\r\n\r\n",
       "HTTP/1.1 400 Bad Request", nullptr, true},
      {"a target that is not a path", "GET metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request",
       nullptr, true},
      {"the absolute form", "GET http://127.0.0.1:9/status?x HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK",
       "application/json", true},
      {"the absolute form without a path", "GET HTTP://h HTTP/1.1\r\n\r\n",
       "HTTP/1.1 404 Not Found", nullptr, true},
      {"a scheme without an authority", "GET http:///status HTTP/1.1\r\n\r\n",
       "HTTP/1.1 400 Bad Request", nullptr, true},
      {"a head over 8 KiB", "GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'x'),
       "HTTP/1.1 400 Bad Request", nullptr, true},
  };
  for (const Exchange& e : table) {
    const std::string response = http_exchange(run.port(), e.request);
    EXPECT_EQ(response.substr(0, response.find("\r\n")), e.status_line) << e.rule;
    const std::size_t end = response.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << e.rule;
    const std::string head = response.substr(0, end + 2), body = response.substr(end + 4);
    if (e.content_type) {
      EXPECT_NE(head.find("\r\nContent-Type: " + std::string(e.content_type) + "\r\n"),
                std::string::npos)
          << e.rule;
    }
    EXPECT_NE(head.find("\r\nConnection: close\r\n"), std::string::npos) << e.rule;
    EXPECT_EQ(!body.empty(), e.body) << e.rule;
  }
  EXPECT_EQ(run.console.out().rfind("Status on 127.0.0.1:", 0), 0u);
  EXPECT_EQ(run.console.err(), "");
}

// Whether the server has closed c (a reset, when it left what c sent unread) rather than the
// 300 ms timeout.
bool closed_by_server(test::RelayClient& c) {
  net::set_recv_timeout(c.socket, 300000);
  char buf[4096];
  long n;
  while ((n = net::receive_some(c.socket, buf, sizeof buf)) > 0) {
  }
  return n == 0 || net::is_peer_gone(net::last_error());
}

// No number of connections keeps monitoring out. Every place taken by a head that has not
// ended: a newcomer takes the place of the one that came first, unless one is draining its
// answer, which goes first. A head not whole 2 s after it came is dropped.
TEST(StatusListener, NoConnectionsKeepMonitoringOut) {
  StatusRun run;
  std::vector<std::unique_ptr<test::RelayClient>> slow;
  for (int i = 0; i < kMostStatusClients; ++i) {
    slow.push_back(std::make_unique<test::RelayClient>(run.port()));
    ASSERT_TRUE(slow.back()->connected());
    slow.back()->send("GET /metrics HTTP/1.1\r\n");  // and no end
  }
  ASSERT_TRUE(eventually([&] { return run.accepted == kMostStatusClients; }));
  const std::string request = "GET /status HTTP/1.1\r\n\r\n";
  EXPECT_EQ(http_exchange(run.port(), request).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_TRUE(closed_by_server(*slow[0]));

  test::RelayClient draining(run.port());  // answered, and never closing
  draining.send(request);
  EXPECT_EQ(draining.read_line(), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(http_exchange(run.port(), request).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_FALSE(closed_by_server(*slow[2]));

  run.advance(kStatusHeadTimeoutUs - 1);
  EXPECT_FALSE(closed_by_server(*slow[2]));
  run.advance(1);
  for (std::size_t i = 2; i < slow.size(); ++i) EXPECT_TRUE(closed_by_server(*slow[i])) << i;
}

// An answer ends in an orderly close, never a reset, however much the client sent beyond its
// head: a reset can destroy the answer before the client has read it.
TEST(StatusListener, AnAnswerIsNeverCutByAReset) {
  StatusRun run;
  const std::string get = "GET /metrics HTTP/1.1\r\n\r\n";
  const std::vector<std::pair<std::string, std::string>> table = {
      {"POST /metrics HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'x'),
       "HTTP/1.1 405 Method Not Allowed"},
      {get + get + get + std::string(3000, 'x'), "HTTP/1.1 200 OK"},
  };
  for (const auto& [request, status_line] : table) {
    bool closed = false;
    const std::string response = http_exchange(run.port(), request, &closed);
    EXPECT_EQ(response.substr(0, response.find("\r\n")), status_line);
    EXPECT_TRUE(closed) << status_line;
  }
}

}  // namespace
}  // namespace eventid
