// bound: the estimate against an upstream at and beyond the rate tracker's bound of 1000 ppm,
// as the goal asks: from 15 s after start-up on, no line in state O more than 1 ms off.
//   - three simulators, at -1000, -1100 and +1100 ppm, each feeding one relay with
//     --track-rate --resolution us; each relay asked in turns every 25 ms, from start-up for
//     SECONDS (60 by default); the error of each line is taken against the truth at the middle
//     of its round trip, as in rate.cc, and a round trip over 1 ms is dropped;
//   - per relay, from 15 s on: the O lines, those more than 1 ms off, the worst and the mean
//     error; the rate found (from its /metrics) and what the relay said of the bound.
//
//   bound [SECONDS]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/e2e.h"
#include "support/loopback.h"

namespace {

using namespace eventid::test;
using Steady = std::chrono::steady_clock;

constexpr double kSettleS = 15;
constexpr double kGoalUs = 1000;

struct Relay {
  int ppm = 0;
  std::unique_ptr<Simulator> sim;
  std::unique_ptr<eventid::test::Process> process;
  std::unique_ptr<RelayClient> client;
  std::uint16_t status = 0;
  int lines = 0, off = 0;
  double worst_us = 0, sum_us = 0;
};

// One line's error against the truth at the middle of its round trip, in µs, with its state;
// nothing if the round trip took more than 1 ms.
std::optional<std::pair<double, char>> error_us(Relay& r) {
  const double before = r.sim->truth_as_read();
  const auto t0 = Steady::now();
  r.client->send("x");
  const std::string line = r.client->read_line();
  const double rtt_us = std::chrono::duration<double, std::micro>(Steady::now() - t0).count();
  const double after = r.sim->truth_as_read();
  if (rtt_us > 1000 || !well_formed(line)) return std::nullopt;
  return std::pair{(line_position(line) - (before + after) / 2) * 1e5, line_state(line)};
}

void count(Relay& r, double e) {
  ++r.lines;
  r.sum_us += e;
  if (std::fabs(e) > kGoalUs) ++r.off;
  if (std::fabs(e) > std::fabs(r.worst_us)) r.worst_us = e;
}

// What the relay wrote of the bound, one message a line, without its line end.
std::string bound_messages(const Relay& r) {
  std::string said, err = r.process->err();
  for (std::size_t at = 0; (at = err.find("upstream rate", at)) != std::string::npos; ++at) {
    const std::size_t begin = err.rfind('\n', at) + 1, end = err.find('\r', at);
    said += "  " + err.substr(begin, end - begin) + "\n";
  }
  return said;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  std::vector<Relay> relays;
  for (const int ppm : {-1000, -1100, 1100}) {
    Relay r;
    r.ppm = ppm;
    r.sim =
        std::make_unique<Simulator>(std::vector<std::string>{"--rate-ppm", std::to_string(ppm)});
    r.process = std::make_unique<eventid::test::Process>(
        EVENTID_RELAY, on_a_free_port({"--track-rate", "--resolution", "us", "--status",
                                       "127.0.0.1:0", "127.0.0.1", std::to_string(r.sim->port)}));
    relays.push_back(std::move(r));
  }
  const auto started = Steady::now();
  for (Relay& r : relays) {
    r.status = status_port(*r.process);
    r.client = std::make_unique<RelayClient>(listening_port(*r.process));
    r.client->read_line();
    r.sim->truth();
  }
  const auto since_start = [&] {
    return std::chrono::duration<double>(Steady::now() - started).count();
  };
  for (int i = 0; since_start() < seconds; ++i) {
    for (std::size_t j = 0; j < relays.size(); ++j) {
      Relay& r = relays[(j + static_cast<std::size_t>(i)) % relays.size()];
      const auto e = error_us(r);
      if (e && e->second == 'O' && since_start() >= kSettleS) count(r, e->first);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  int failed = 0;
  for (const Relay& r : relays) {
    const std::string body = http_exchange(r.status, "GET /metrics HTTP/1.1\r\n\r\n");
    std::printf(
        "upstream at %+d ppm, %.0f to %.0f s: %d O lines, %d more than 1 ms off; worst %+.1f us, "
        "mean %+.1f us; rate found %.1f ppm\n%s",
        r.ppm, kSettleS, seconds, r.lines, r.off, r.worst_us, r.lines ? r.sum_us / r.lines : 0.0,
        metric(body, "eventid_relay_upstream_rate_deviation_ratio") * 1e6,
        bound_messages(r).c_str());
    if (r.off > 0 || r.lines == 0) ++failed;
  }
  return failed == 0 ? 0 : 1;
}
