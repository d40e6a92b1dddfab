// rate: the estimate against an upstream whose clock runs fast or slow, with and without
// --track-rate, as rows of the benchmark table, and the error against time at -200 ppm from
// start-up on, as data for a plot.
//   - three simulators, at 0, +200 and -200 ppm, each feeding two relays (--resolution us),
//     one with --track-rate; after 70 s of warm-up, all six are asked in turns every 25 ms
//     (the luckiest recent sample, which each line follows, persists for seconds: relays asked
//     far apart in time would differ by that alone); a request whose round trip exceeds 1 ms
//     is dropped, since the truth is known only to within half of it;
//   - per relay, the signed mean and the p99 of |error|, the median of 5 rounds;
//   - the rate each tracking relay found (from its /status) against its simulator's.
//
//   rate [PLOT_DATA_FILE]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "stats.h"
#include "support/e2e.h"
#include "support/loopback.h"

namespace {

using namespace eventid;
using namespace eventid::test;
using Steady = std::chrono::steady_clock;

constexpr int kRounds = 5;
constexpr int kPerRound = 400;  // requests to each relay: 10 s at one every 25 ms
constexpr auto kWarmUp = std::chrono::seconds(70);

struct Relay {
  const Simulator* sim = nullptr;
  int ppm = 0;
  bool track = false;
  std::unique_ptr<Process> process;
  std::unique_ptr<RelayClient> client;
  std::uint16_t status = 0;
  std::vector<double> mean_us, p99_us;  // per round
};

// One line's error against the truth at the middle of its round trip, in µs; nothing if the
// round trip took more than 1 ms.
std::optional<double> error_us(Relay& r) {
  const double before = r.sim->truth_as_read();
  const auto t0 = Steady::now();
  r.client->send("x");
  const std::string line = r.client->read_line();
  const double rtt_us = std::chrono::duration<double, std::micro>(Steady::now() - t0).count();
  const double after = r.sim->truth_as_read();
  if (rtt_us > 1000 || !well_formed(line)) return std::nullopt;
  return (line_position(line) - (before + after) / 2) * 1e5;
}

// After a pause the first request of a cycle meets CPUs that have gone idle: the relay wakes
// later than its client, and its line comes out tens of µs ahead of the middle of the round
// trip (measured: +37 µs against -25 µs for the five relays asked after it). A request whose
// answer is not counted goes first.
void wake_the_cpus(std::vector<Relay>& relays) {
  error_us(relays.front());
}

double rate_found_ppm(const Relay& r) {
  const std::string body = http_exchange(r.status, "GET /metrics HTTP/1.1\r\n\r\n");
  return metric(body, "eventid_relay_upstream_rate_deviation_ratio") * 1e6;
}

void row(const std::string& what, double value, double against, const std::string& goal, bool met) {
  std::printf("| %s | %.1f | %.1f | | %s | %s |\n", what.c_str(), value, against, goal.c_str(),
              met ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::unique_ptr<Simulator>> sims;
  std::vector<Relay> relays;
  for (const int ppm : {0, 200, -200}) {
    sims.push_back(
        std::make_unique<Simulator>(std::vector<std::string>{"--rate-ppm", std::to_string(ppm)}));
    for (const bool track : {false, true}) {
      std::vector<std::string> args = {"--resolution", "us",
                                       "--status",     "127.0.0.1:0",
                                       "127.0.0.1",    std::to_string(sims.back()->port)};
      if (track) args.insert(args.begin(), "--track-rate");
      Relay r;
      r.sim = sims.back().get();
      r.ppm = ppm;
      r.track = track;
      r.process = std::make_unique<Process>(EVENTID_RELAY, on_a_free_port(args));
      relays.push_back(std::move(r));
    }
  }
  for (Relay& r : relays) {
    r.status = status_port(*r.process);
    r.client = std::make_unique<RelayClient>(listening_port(*r.process));
    r.client->read_line();
  }
  // From start-up through the warm-up: the two relays at -200 ppm, every 100 ms.
  std::ofstream plot(argc > 1 ? argv[1] : "/dev/null");
  plot << "# seconds since start-up, error in ms without and with --track-rate, at -200 ppm\n";
  const auto started = Steady::now();
  while (Steady::now() - started < kWarmUp) {
    wake_the_cpus(relays);
    const auto e_plain = error_us(relays[4]), e_track = error_us(relays[5]);
    if (e_plain && e_track) {
      plot << std::chrono::duration<double>(Steady::now() - started).count() << ' '
           << *e_plain / 1000 << ' ' << *e_track / 1000 << '\n';
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::vector<double>> errors(relays.size());
    for (int i = 0; i < kPerRound; ++i) {
      wake_the_cpus(relays);
      // Each relay goes first in turn: no relay's figures carry a place in the order.
      for (std::size_t j = 0; j < relays.size(); ++j) {
        const std::size_t k = (j + static_cast<std::size_t>(i)) % relays.size();
        if (const auto e = error_us(relays[k])) errors[k].push_back(*e);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    for (std::size_t k = 0; k < relays.size(); ++k) {
      double sum = 0;
      std::vector<double> abs_us;
      for (const double e : errors[k]) {
        sum += e;
        abs_us.push_back(std::fabs(e));
      }
      relays[k].mean_us.push_back(errors[k].empty() ? 0 : sum / double(errors[k].size()));
      relays[k].p99_us.push_back(percentile(abs_us, 0.99));
    }
  }
  // relays: 0 ppm plain, tracking; +200 plain, tracking; -200 plain, tracking.
  const auto name = [](const Relay& r) {
    return std::string("upstream at ") + (r.ppm > 0 ? "+" : "") + std::to_string(r.ppm) + " ppm, " +
           (r.track ? "--track-rate" : "plain");
  };
  for (const Relay& r : relays) {
    std::printf("| line error, %s (µs): mean, + is ahead; p99 of abs | %.1f | %.1f | | | |\n",
                name(r).c_str(), median(r.mean_us), median(r.p99_us));
  }
  const double mean0 = median(relays[1].mean_us), p99_0 = median(relays[1].p99_us);
  for (const int k : {3, 5}) {
    const double mean = median(relays[k].mean_us), p99 = median(relays[k].p99_us);
    row(name(relays[k]) + ": mean; the same at 0 ppm (µs)", mean, mean0, "within 20 µs",
        std::fabs(mean - mean0) <= 20);
    row(name(relays[k]) + ": p99 of abs; the same at 0 ppm (µs)", p99, p99_0, "ratio <= 1.2",
        p99 <= 1.2 * p99_0);
  }
  row("upstream at 0 ppm: p99 of abs with --track-rate; plain (µs)", p99_0,
      median(relays[0].p99_us), "ratio <= 1.2", p99_0 <= 1.2 * median(relays[0].p99_us));
  row("upstream at -200 ppm, plain: mean, the bias the option mends; at 0 ppm (µs)",
      median(relays[4].mean_us), median(relays[0].mean_us), "shows",
      median(relays[4].mean_us) - median(relays[0].mean_us) > 200);
  for (const int k : {1, 3, 5}) {
    const double found = rate_found_ppm(relays[k]);
    row("rate found after " + std::to_string(70 + kRounds * 10) + " s, upstream at " +
            std::to_string(relays[k].ppm) + " ppm (ppm)",
        found, relays[k].ppm, "within 2 ppm", std::fabs(found - relays[k].ppm) <= 2);
  }
  return 0;
}
