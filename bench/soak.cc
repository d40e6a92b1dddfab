// soak: the relay for minutes on end against a simulator that changes its fault every minute,
// with clients connecting 20 times a second. Every 10 s it samples the relay's resident memory,
// open descriptors and threads from /proc, and the error of the clients' lines against the
// simulator's truth. Linux only.
//
//   soak [--minutes N]      (5 by default)
//
// Passes (exit 0) when memory grows by at most 512 KiB after the first minute, descriptors
// return to their baseline, the relay keeps its three threads (serving, collector, console
// writer; at most four name lookups besides), and no line is malformed.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "delivery/client_names.h"
#include "net/net.h"
#include "stats.h"
#include "support/e2e.h"
#include "support/loopback.h"

namespace {

using namespace eventid;
using namespace eventid::test;

// The fault of each minute, in turn; every change is also a restart of the upstream.
const std::vector<std::vector<std::string>> kFaults = {
    {},
    {"--silent-at", "20", "--silent-for", "3"},
    {"--garbage-every", "2", "--garbage-until", "30"},
    {"--reset-after", "15"},
    {"--twice", "--delay-ms", "0.5", "--jitter-ms", "1"},
    {"--close-after", "15"},
    {"--jump-at", "20", "--jump-by", "300"},
};

constexpr long kThreads = 3;
constexpr long kLookups = eventid::ClientNames::kMostLookups;

struct ProcSample {
  long rss_kib = 0;
  long threads = 0;
  long fds = 0;
};

ProcSample sample_proc(int pid) {
  ProcSample s;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string key; status >> key;) {
    if (key == "VmRSS:") status >> s.rss_kib;
    if (key == "Threads:") status >> s.threads;
  }
  s.fds = static_cast<long>(std::distance(
      std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"), {}));
  return s;
}

// The upstream of the moment, swapped every minute.
class Upstream {
 public:
  explicit Upstream(std::uint16_t port) : port_(port) {
    sim_ = std::make_shared<Simulator>(std::vector<std::string>{"--port", std::to_string(port)});
  }
  // A new simulator on the same port, with the fault of the minute, continuing the IDs.
  void restart(std::size_t minute) {
    std::vector<std::string> args = kFaults[minute % kFaults.size()];
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<std::string> ids = sim_->continuation();
    args.insert(args.end(), ids.begin(), ids.end());
    args.insert(args.end(), {"--port", std::to_string(port_)});
    sim_.reset();  // down first: the port is the same
    sim_ = std::make_shared<Simulator>(args);
  }
  double truth() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sim_->truth();
  }

 private:
  std::uint16_t port_;
  mutable std::mutex mutex_;
  std::shared_ptr<Simulator> sim_;
};

struct ClientStats {
  std::mutex mutex;
  std::vector<double> errors_ms;  // lines in state O
  long lines = 0, malformed = 0, refused = 0, silent = 0;
};

void clients(const Upstream& upstream, std::uint16_t port, ClientStats& stats,
             const std::atomic<bool>& stop) {
  auto next = std::chrono::steady_clock::now();
  while (!stop) {
    next += 50ms;
    std::this_thread::sleep_until(next);
    RelayClient c(port);
    const std::string line = c.connected() ? c.read_line() : "";
    const double truth = upstream.truth();
    std::lock_guard<std::mutex> lock(stats.mutex);
    if (!c.connected()) {
      ++stats.refused;
    } else if (line.empty()) {
      ++stats.silent;
    } else if (!well_formed(line)) {
      ++stats.malformed;
      std::fprintf(stderr, "malformed line: \"%s\"\n", line.c_str());
    } else {
      ++stats.lines;
      if (line_state(line) == 'O') stats.errors_ms.push_back((line_position(line) - truth) * 100);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int minutes = 5;
  if (argc == 3 && std::string(argv[1]) == "--minutes") minutes = std::max(1, std::atoi(argv[2]));
  const std::uint16_t port = closed_port();
  Upstream upstream(port);
  Process relay(EVENTID_RELAY, on_a_free_port({"127.0.0.1", std::to_string(port)}));
  const std::uint16_t relay_port = listening_port(relay);
  if (relay_port == 0) {
    std::fprintf(stderr, "the relay did not start:\n%s", relay.err().c_str());
    return 1;
  }
  const ProcSample baseline = sample_proc(relay.pid());  // before any client
  ClientStats stats;
  std::atomic<bool> stop{false};
  std::thread load(clients, std::cref(upstream), relay_port, std::ref(stats), std::cref(stop));

  std::printf("%6s %9s %5s %7s %7s %9s %9s  %s\n", "time", "rss_kib", "fds", "threads", "lines",
              "p50_ms", "p99_ms", "fault");
  long rss_after_first_minute = 0, rss_max = 0;
  bool threads_ok = true;
  const auto began = std::chrono::steady_clock::now();
  for (int tick = 1; tick <= minutes * 6; ++tick) {
    std::this_thread::sleep_until(began + tick * 10s);
    if (tick % 6 == 0 && tick < minutes * 6) {
      upstream.restart(static_cast<std::size_t>(tick / 6));
    }
    const ProcSample now = sample_proc(relay.pid());
    threads_ok = threads_ok && now.threads >= kThreads && now.threads <= kThreads + kLookups;
    if (tick == 6) rss_after_first_minute = now.rss_kib;
    rss_max = std::max(rss_max, tick >= 6 ? now.rss_kib : 0);
    std::lock_guard<std::mutex> lock(stats.mutex);
    std::printf("%5ds %9ld %5ld %7ld %7ld %9.3f %9.3f  %zu\n", tick * 10, now.rss_kib, now.fds,
                now.threads, stats.lines, percentile(stats.errors_ms, 0.5),
                percentile(stats.errors_ms, 0.99),
                static_cast<std::size_t>(tick / 6) % kFaults.size());
    std::fflush(stdout);
  }
  stop = true;
  load.join();
  // The upstream of the last minute is clean or recovering: give the relay time to reconnect.
  std::this_thread::sleep_for(3s);
  const ProcSample end = sample_proc(relay.pid());

  const long growth = rss_max - rss_after_first_minute;
  const bool alive = !relay.wait_exit(0ms);
  const bool pass = alive && growth <= 512 && end.fds == baseline.fds && threads_ok &&
                    stats.malformed == 0 && stats.silent == 0;
  std::printf(
      "soak %s: %d min, %ld lines, %ld malformed, %ld refused, %ld unanswered; memory +%ld KiB "
      "after the first "
      "minute (peak %ld KiB); descriptors %ld -> %ld; error p50 %.3f ms, p99 %.3f ms\n",
      pass ? "passed" : "FAILED", minutes, stats.lines, stats.malformed, stats.refused,
      stats.silent, growth, rss_max, baseline.fds, end.fds, percentile(stats.errors_ms, 0.5),
      percentile(stats.errors_ms, 0.99));
  if (!alive) std::printf("the relay died: %s\n", relay.err().c_str());
  return pass ? 0 : 1;
}
