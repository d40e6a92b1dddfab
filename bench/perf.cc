// perf: the relay against its floors, in one run on one machine.
//   - request round trip and connection cost, the relay (fed by the simulator) and the floor
//     server taking turns, with their ratios;
//   - the error of every line against the simulator's true ID, for three upstream delays, and
//     the bound that the estimator allows (1 ms of clock resolution plus the smallest one-way
//     delay among the samples);
//   - the relay's peak memory, idle CPU and CPU per 1000 requests (from /proc: Linux only);
//   - error against time across an upstream stall and recovery, as data for a plot.
//
//   perf FLOOR_BINARY [PLOT_DATA_FILE]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/e2e.h"
#include "support/platform_texts.h"

namespace {

using steady = std::chrono::steady_clock;

struct stats_t {
  double p50 = 0, p99 = 0, max = 0;
};

stats_t summarize(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  const auto at = [&](double p) { return v[static_cast<std::size_t>(p * double(v.size() - 1))]; };
  return {at(0.5), at(0.99), v.back()};
}

double micros_since(steady::time_point t0) {
  return std::chrono::duration<double, std::micro>(steady::now() - t0).count();
}

// One byte, one line, on one connection.
void round_trips(std::uint16_t port, int count, std::vector<double>& out) {
  RelayClient c(port);
  c.read_line();
  for (int i = 0; i < count; ++i) {
    const auto t0 = steady::now();
    c.send("x");
    c.read_line();
    out.push_back(micros_since(t0));
  }
}

// Connect, greeting, close.
void connections(std::uint16_t port, int count, std::vector<double>& out) {
  for (int i = 0; i < count; ++i) {
    const auto t0 = steady::now();
    {
      RelayClient c(port);
      c.read_line();
    }
    out.push_back(micros_since(t0));
  }
}

double lines_per_second(std::uint16_t port) {
  RelayClient c(port);
  c.read_line();
  const auto t0 = steady::now();
  long lines = 0;
  while (steady::now() - t0 < 1s) {
    c.send("x");
    c.read_line();
    ++lines;
  }
  return static_cast<double>(lines) / (micros_since(t0) / 1e6);
}

// CPU seconds (user + system) that a process has used, from /proc/PID/stat.
double cpu_seconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  double ticks = 0;
  for (int i = 1; stat >> field && i <= 15; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / 100.0;  // USER_HZ
}

long peak_rss_kib(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  long kib = 0;
  for (std::string key; status >> key;) {
    if (key == "VmHWM:") status >> kib;
  }
  return kib;
}

struct Upstream {
  Simulator sim;
  Process relay;
  explicit Upstream(std::vector<std::string> sim_args)
      : sim(std::move(sim_args)), relay(start_relay({"127.0.0.1", std::to_string(sim.port)})) {
    relay_listening(relay);
    std::this_thread::sleep_for(4500ms);  // 40 samples of this upstream in the ring
  }
};

// Every line's error, in ms, against the truth at the middle of its round trip.
std::vector<double> line_errors(const Simulator& sim, int count) {
  std::vector<double> errors;
  RelayClient c;
  c.read_line();
  for (int i = 0; i < count; ++i) {
    const double before = sim.truth();
    c.send("x");
    const std::string line = c.read_line();
    const double after = sim.truth();
    errors.push_back((line_position(line) - (before + after) / 2) * 100);
    std::this_thread::sleep_for(2ms);
  }
  return errors;
}

void print_row(const char* what, double relay, double floor, const char* goal) {
  std::printf("| %-34s | %10.1f | %10.1f | %6.3f | %-10s |\n", what, relay, floor, relay / floor,
              goal);
}

struct accuracy_case_t {
  const char* name;
  std::vector<std::string> args;
  double smallest_delay_ms;  // the delay the simulator adds at the least
};

void accuracy(double loopback_one_way_ms) {
  const accuracy_case_t cases[] = {
      {"loopback only", {}, 0},
      {"fixed 2 ms", {"--delay-ms", "2"}, 2},
      {"2 ms + exponential 1 ms", {"--delay-ms", "2", "--jitter-ms", "1"}, 2},
  };
  std::printf("\n| accuracy (ms; + is ahead) | p50 | p99 | max abs | bound | within |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const auto& c : cases) {
    Upstream up(c.args);
    const std::vector<double> errors = line_errors(up.sim, 2000);
    std::vector<double> abs_errors;
    for (double e : errors) abs_errors.push_back(std::fabs(e));
    const stats_t s = summarize(errors);
    const double worst = summarize(abs_errors).max;
    // The sample that travelled fastest still took the simulator's wake-up and loopback.
    const double bound = 1.0 + c.smallest_delay_ms + loopback_one_way_ms;
    std::printf("| %s | %.3f | %.3f | %.3f | %.3f | %s |\n", c.name, s.p50,
                summarize(abs_errors).p99, worst, bound, worst <= bound ? "yes" : "NO");
  }
}

// Error and state every 50 ms across a 5 s stall of the upstream, as "seconds error_ms state".
void stall_plot(const char* path) {
  Upstream up({"--silent-at", "8", "--silent-for", "5"});
  std::ofstream out(path);
  out << "# seconds since the simulator started, error in ms, state (0 O, 1 S, 2 D)\n";
  RelayClient c;
  c.read_line();
  while (up.sim.elapsed() < 22) {
    c.send("x");
    const std::string line = c.read_line();
    const char state = line_state(line);
    out << up.sim.elapsed() << ' ' << (line_position(line) - up.sim.truth()) * 100 << ' '
        << (state == 'O'   ? 0
            : state == 'S' ? 1
                           : 2)
        << '\n';
    std::this_thread::sleep_for(50ms);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: perf FLOOR_BINARY [PLOT_DATA_FILE]\n");
    return 2;
  }
  const std::uint16_t floor_port = closed_port();
  Process floor(argv[1], {std::to_string(floor_port)});
  Upstream up({});

  const double idle_from = cpu_seconds(up.relay.pid());
  std::this_thread::sleep_for(10s);
  const double idle_percent = (cpu_seconds(up.relay.pid()) - idle_from) / 10 * 100;

  std::vector<double> rtt[2], conn[2];
  double lps[2] = {0, 0};
  const std::uint16_t ports[2] = {kDeliveryPort, floor_port};
  double relay_cpu = 0;
  constexpr int kRounds = 5, kRequests = 4000, kConnections = 400;
  for (int round = 0; round < kRounds; ++round) {
    for (int who = 0; who < 2; ++who) {
      const double cpu0 = who == 0 ? cpu_seconds(up.relay.pid()) : 0;
      round_trips(ports[who], kRequests, rtt[who]);
      if (who == 0) relay_cpu += cpu_seconds(up.relay.pid()) - cpu0;
      connections(ports[who], kConnections, conn[who]);
      lps[who] = std::max(lps[who], lines_per_second(ports[who]));
    }
  }
  const stats_t r[2] = {summarize(rtt[0]), summarize(rtt[1])};
  const stats_t c[2] = {summarize(conn[0]), summarize(conn[1])};
  std::printf("| measure (µs unless said) | relay | floor | ratio | goal |\n");
  std::printf("|---|---|---|---|---|\n");
  print_row("request round trip p50", r[0].p50, r[1].p50, "<= 1.05");
  print_row("request round trip p99", r[0].p99, r[1].p99, "<= 1.3");
  print_row("request round trip max", r[0].max, r[1].max, "");
  print_row("connection cost p50", c[0].p50, c[1].p50, "<= 1.3");
  print_row("connection cost p99", c[0].p99, c[1].p99, "");
  print_row("lines per second (one client)", lps[0], lps[1], "");
  std::printf("\n| relay resources | value | goal |\n|---|---|---|\n");
  std::printf("| peak resident memory (KiB) | %ld | <= 4096 |\n", peak_rss_kib(up.relay.pid()));
  std::printf("| idle CPU, upstream at 10/s, no client (%%) | %.3f | < 0.1 |\n", idle_percent);
  std::printf("| CPU per 1000 requests (ms) | %.3f | |\n",
              relay_cpu * 1000 / (kRounds * kRequests / 1000.0));

  accuracy(r[1].p50 / 2 / 1000 + 0.2);
  if (argc > 2) stall_plot(argv[2]);
  return 0;
}
