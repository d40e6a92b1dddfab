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
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proc.h"
#include "stats.h"
#include "support/e2e.h"
#include "support/loopback.h"

namespace {

using namespace eventid;
using namespace eventid::test;

using steady = std::chrono::steady_clock;

struct Stats {
  double p50 = 0, p99 = 0, max = 0;
};

Stats summarize(std::vector<double> v) {
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

// CPU seconds that a process's threads have run, in nanoseconds from the scheduler's own
// count (/proc/PID/task/TID/schedstat): the 10 ms ticks of /proc/PID/stat are too coarse to
// see an idle relay.
double cpu_seconds(int pid) {
  double ns = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double run_ns = 0;
    if (schedstat >> run_ns) ns += run_ns;
  }
  return ns / 1e9;
}

// A relay fed by a simulator, with 40 samples of this upstream in its ring.
struct Upstream : RelayRun {
  explicit Upstream(std::vector<std::string> sim_args, std::vector<std::string> relay_args = {})
      : RelayRun({.sim_args = std::move(sim_args), .relay_args = std::move(relay_args)}) {
    listening();
    std::this_thread::sleep_for(4500ms);
  }
};

double unix_us_now() {
  using std::chrono::microseconds;
  return static_cast<double>(
      std::chrono::duration_cast<microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

struct LineError {
  double at_us;     // unix time of the request
  double error_ms;  // the line's position minus the truth, + is ahead
  double slack_ms;  // half the round trip: where in it the relay read its clock is unknown
};

// One line's error against the truth at the middle of its round trip.
LineError line_error(RelayClient& c, const Simulator& sim) {
  const double at = unix_us_now();
  const double before = sim.truth_as_read();
  c.send("x");
  const std::string line = c.read_line();
  const double after = sim.truth_as_read();
  return {at, (line_position(line) - (before + after) / 2) * 100, (after - before) * 50};
}

std::vector<LineError> line_errors(const Simulator& sim, std::uint16_t port, int count) {
  std::vector<LineError> errors;
  RelayClient c(port);
  c.read_line();
  for (int i = 0; i < count; ++i) {
    errors.push_back(line_error(c, sim));
    std::this_thread::sleep_for(2ms);
  }
  return errors;
}

// A second client of the simulator, blocked in its receive like the relay's collector, that
// takes each announcement's one-way delay: arrival time minus the moment its ID began. The
// simulator delays an ID alike for every client, so these are the relay's samples' delays.
class DelayProbe {
 public:
  explicit DelayProbe(const Simulator& sim)
      : thread_([this, &sim] {
          RelayClient upstream(sim.port);
          while (!stop_) {
            const std::string line = upstream.read_line();
            const double at = unix_us_now();
            const double truth = sim.truth_as_read();
            if (line.size() < 4) continue;
            const double id =
                static_cast<double>(std::stoul(line.substr(line.rfind(' ') + 1), nullptr, 16));
            std::lock_guard<std::mutex> lock(mutex_);
            delays_.push_back({at, (truth - id) * 1e5});
          }
        }) {}
  ~DelayProbe() {
    stop_ = true;
    thread_.join();
  }
  // The design's bound for a line asked for at time at: 1 ms of clock resolution plus the
  // smallest one-way delay among the 40 samples that the ring held then.
  double bound_ms(double at) {
    std::lock_guard<std::mutex> lock(mutex_);
    double smallest = 1e18;
    int in_ring = 0;
    for (auto it = delays_.rbegin(); it != delays_.rend() && in_ring < kRingSize; ++it) {
      if (it->first > at) continue;
      smallest = std::min(smallest, it->second);
      ++in_ring;
    }
    return 1.0 + smallest / 1000;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<double, double>> delays_;  // arrival (unix µs), one-way delay (µs)
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The rows of one table: | measure | relay | floor or bound | ratio | goal | met |.
void row(const std::string& what, double relay, double floor, const char* goal, bool met) {
  std::printf("| %s | %.3f | %.3f | %.3f | %s | %s |\n", what.c_str(), relay, floor,
              floor != 0 ? relay / floor : 0.0, goal, met ? "yes" : "no");
}
void row(const std::string& what, double relay, const char* goal, bool met) {
  std::printf("| %s | %.3f | | | %s | %s |\n", what.c_str(), relay, goal, met ? "yes" : "no");
}
void info(const std::string& what, double relay, double floor = 0) {
  if (floor == 0) {
    std::printf("| %s | %.3f | | | | |\n", what.c_str(), relay);
  } else {
    std::printf("| %s | %.3f | %.3f | %.3f | | |\n", what.c_str(), relay, floor, relay / floor);
  }
}

// n clients at once, each closing when greeted: the time from just before the first connect
// to each greeting, in ms. The median over alternating rounds of each figure.
void bursts(const std::uint16_t (&ports)[2]) {
  constexpr int kRounds = 5;
  for (const int n : {10, 100, 1000}) {
    std::vector<double> max[2], p50[2], p99[2];
    for (int round = 0; round < kRounds; ++round) {
      for (int who = 0; who < 2; ++who) {
        std::vector<double> ms;
        for (const Greeting& g : greet_burst(ports[who], n, 30s)) ms.push_back(g.after_us / 1000);
        if (ms.size() < static_cast<std::size_t>(n)) ms.push_back(30000);  // some never came
        const Stats s = summarize(ms);
        max[who].push_back(s.max);
        p50[who].push_back(s.p50);
        p99[who].push_back(s.p99);
      }
    }
    const std::string name = "burst of " + std::to_string(n) + " clients, greeted after (ms): ";
    const double relay_max = median(max[0]), floor_max = median(max[1]);
    if (n == 100) {
      row(name + "max", relay_max, floor_max, "<= 100 ms, ratio <= 1.3",
          relay_max <= 100 && relay_max <= 1.3 * floor_max);
    } else {
      info(name + "max", relay_max, floor_max);
    }
    info(name + "p50", median(p50[0]), median(p50[1]));
    info(name + "p99", median(p99[0]), median(p99[1]));
  }
}

struct AccuracyCase {
  const char* name;
  std::vector<std::string> args;
};

void accuracy() {
  const AccuracyCase cases[] = {
      {"loopback only", {}},
      {"fixed 2 ms", {"--delay-ms", "2"}},
      {"2 ms + exponential 1 ms", {"--delay-ms", "2", "--jitter-ms", "1"}},
  };
  for (const auto& c : cases) {
    Upstream up(c.args);
    std::vector<LineError> errors;
    std::vector<double> bounds;
    {
      DelayProbe probe(up.sim);
      std::this_thread::sleep_for(4500ms);  // 40 delays seen before the first line
      errors = line_errors(up.sim, up.port, 2000);
      for (const LineError& e : errors) bounds.push_back(probe.bound_ms(e.at_us));
    }
    std::vector<double> signed_ms, abs_ms;
    double largest_bound = 0;
    std::size_t within = 0;
    for (std::size_t k = 0; k < errors.size(); ++k) {
      const LineError& e = errors[k];
      const double bound = bounds[k];
      largest_bound = std::max(largest_bound, bound);
      within += std::fabs(e.error_ms) <= bound + e.slack_ms;
      signed_ms.push_back(e.error_ms);
      abs_ms.push_back(std::fabs(e.error_ms));
    }
    const std::string name = std::string("line error, ") + c.name + " (ms)";
    const bool loopback = c.args.empty();
    const double p99 = summarize(abs_ms).p99;
    info(name + ": p50, + is ahead", summarize(signed_ms).p50);
    row(name + ": p99 of abs", p99, loopback ? "<= 1.2" : "", !loopback || p99 <= 1.2);
    row(name + ": max abs; largest bound", summarize(abs_ms).max, largest_bound, "within the bound",
        within == errors.size());
    std::printf("| %s: lines within their own bound | %zu of %zu | | | all | %s |\n", name.c_str(),
                within, errors.size(), within == errors.size() ? "yes" : "no");
  }
}

// The two clock resolutions side by side: two relays on one simulator, asked in turns, and
// each line against its own bound: the clock's resolution (1 ms, or 1 µs) plus the smallest
// one-way delay among the samples in the ring.
void resolutions() {
  Simulator sim;
  const std::string upstream = std::to_string(sim.port);
  Process ms_relay(EVENTID_RELAY, on_a_free_port({"127.0.0.1", upstream}));
  Process us_relay(EVENTID_RELAY, on_a_free_port({"--resolution", "us", "127.0.0.1", upstream}));
  RelayClient clients[2] = {RelayClient(listening_port(ms_relay)),
                            RelayClient(listening_port(us_relay))};
  const double resolution_ms[2] = {1.0, 0.001};
  std::vector<double> abs_ms[2];
  std::size_t within[2] = {0, 0};
  {
    DelayProbe probe(sim);
    std::this_thread::sleep_for(4500ms);  // 40 samples in both rings, 40 delays seen
    for (RelayClient& c : clients) c.read_line();
    for (int i = 0; i < 2000; ++i) {
      for (int k = 0; k < 2; ++k) {
        const LineError e = line_error(clients[k], sim);
        const double bound = probe.bound_ms(e.at_us) - 1.0 + resolution_ms[k];
        abs_ms[k].push_back(std::fabs(e.error_ms));
        within[k] += std::fabs(e.error_ms) <= bound + e.slack_ms;
      }
      std::this_thread::sleep_for(2ms);
    }
  }
  const double p99_ms = summarize(abs_ms[0]).p99, p99_us = summarize(abs_ms[1]).p99;
  info("line error, millisecond clock, beside the microsecond one (ms): p99 of abs", p99_ms);
  row("line error, --resolution us (ms): p99 of abs; the millisecond clock's", p99_us, p99_ms,
      "<= 0.15, ratio <= 0.5", p99_us <= 0.15 && p99_us <= 0.5 * p99_ms);
  std::printf(
      "| line error, --resolution us: lines within their own bound | %zu of %zu | | | all | %s |\n",
      within[1], abs_ms[1].size(), within[1] == abs_ms[1].size() ? "yes" : "no");
}

// Error and state every 50 ms across a 5 s stall of the upstream, as "seconds error_ms state".
void stall_plot(const char* path) {
  Upstream up({"--silent-at", "8", "--silent-for", "5"});
  std::ofstream out(path);
  out << "# seconds since the simulator started, error in ms, state (0 O, 1 S, 2 D)\n";
  RelayClient c(up.port);
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
  // The relay, the floor and their clients on one CPU: see pin_to_cpu().
  pin_to_cpu(0);
  Process floor(argv[1], {std::to_string(floor_port)});
  auto up = std::make_unique<Upstream>(std::vector<std::string>{});
  const int relay_pid = up->relay.pid();

  const double idle_from = cpu_seconds(relay_pid);
  std::this_thread::sleep_for(10s);
  const double idle_percent = (cpu_seconds(relay_pid) - idle_from) / 10 * 100;

  // Each figure is the median of its rounds, the relay's and the floor's taking turns.
  std::vector<double> rtt_p50[2], rtt_p99[2], rtt_max[2], conn_p50[2], conn_p99[2];
  double lps[2] = {0, 0};
  const std::uint16_t ports[2] = {up->port, floor_port};
  double relay_cpu = 0;
  constexpr int kRounds = 7, kRequests = 4000, kConnections = 400;
  for (int round = 0; round < kRounds; ++round) {
    for (int who = 0; who < 2; ++who) {
      std::vector<double> rtt, conn;
      const double cpu0 = who == 0 ? cpu_seconds(relay_pid) : 0;
      round_trips(ports[who], kRequests, rtt);
      if (who == 0) relay_cpu += cpu_seconds(relay_pid) - cpu0;
      connections(ports[who], kConnections, conn);
      lps[who] = std::max(lps[who], lines_per_second(ports[who]));
      const Stats r = summarize(rtt), c = summarize(conn);
      rtt_p50[who].push_back(r.p50);
      rtt_p99[who].push_back(r.p99);
      rtt_max[who].push_back(r.max);
      conn_p50[who].push_back(c.p50);
      conn_p99[who].push_back(c.p99);
    }
  }
  const auto compare = [](const std::string& what, const std::vector<double>(&v)[2], double most,
                          bool show_goal) {
    const double relay = median(v[0]), floor = median(v[1]);
    char goal[32];
    std::snprintf(goal, sizeof goal, "ratio <= %.2f", most);
    if (show_goal) {
      row(what, relay, floor, goal, relay <= most * floor);
    } else {
      info(what, relay, floor);
    }
  };
  compare("request round trip p50 (µs)", rtt_p50, 1.10, true);
  compare("request round trip p99 (µs)", rtt_p99, 1.3, true);
  compare("request round trip max (µs)", rtt_max, 0, false);
  compare("connection cost p50 (µs)", conn_p50, 1.3, true);
  compare("connection cost p99 (µs)", conn_p99, 0, false);
  info("lines per second, one client", lps[0], lps[1]);
  const long rss = peak_rss_kib(relay_pid);
  row("peak resident memory (KiB)", static_cast<double>(rss), "<= 4096", rss <= 4096);
  row("idle CPU, upstream at 10/s, no client (%)", idle_percent, "< 0.1", idle_percent < 0.1);
  info("CPU per 1000 requests (ms)", relay_cpu * 1000 / (kRounds * kRequests / 1000.0));
  bursts(ports);
  up.reset();  // the accuracy runs start relays of their own on the same port
  unpin();
  accuracy();
  resolutions();
  if (argc > 2) stall_plot(argv[2]);
  return 0;
}
