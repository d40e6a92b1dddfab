// push: the push listener (--push) against its goals, as rows of the benchmark table.
//   - one push client: how long after its ID began each line was made, by the relay's own
//     estimate (the line's µs field), p50 and p99;
//   - 1000 push clients held and read: the same for the first client pushed to at each boundary
//     and for the last, and the relay's CPU per boundary (from /proc);
//   - an ID client's round trip, p50 and p99, with the 1000 push clients held against alone:
//     the median of alternating rounds' ratios.
//
//   push [--realtime]
// --realtime runs the relay with --sched-priority 20: its threads under SCHED_FIFO.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
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

constexpr int kHeld = 1000;
constexpr int kBoundaries = 300;
constexpr int kRounds = 3;

// The µs field of an ID line: how long after its ID began the relay made it.
double micros(const std::string& line) {
  const auto dot = line.find('.'), space = line.find(' ');
  return dot < space && space != std::string::npos ? std::stod(line.substr(dot + 1, space - dot))
                                                   : -1;
}

// The relay's CPU time so far (user and system), in µs.
double cpu_us(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  for (int i = 1; i <= 13; ++i) stat >> field;
  double user = 0, system = 0;
  stat >> user >> system;
  return (user + system) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One byte, one line, n times: the round trips in µs.
std::vector<double> round_trips(std::uint16_t port, int n) {
  RelayClient c(port);
  c.read_line();
  std::vector<double> us;
  for (int i = 0; i < n; ++i) {
    const auto t0 = Steady::now();
    c.send("x");
    const bool answered = !c.read_line().empty();
    us.push_back(answered ? std::chrono::duration<double, std::micro>(Steady::now() - t0).count()
                          : 3e6);
  }
  return us;
}

// kHeld push clients, greeted, read on a thread of their own for as long as they live: every
// line of the first and of the last kept.
class HeldClients {
 public:
  explicit HeldClients(std::uint16_t port) {
    for (int i = 0; i < kHeld; ++i) {
      clients_.push_back(std::make_unique<RelayClient>(port));
      clients_.back()->read_line();
      net::set_nonblocking(clients_.back()->socket, true);
      poller_.add(clients_.back()->socket, net::kReadable, static_cast<std::uint64_t>(i));
    }
    thread_ = std::thread([this] { drain(); });
  }
  ~HeldClients() {
    stop_ = true;
    thread_.join();
  }
  // Waits for n more lines of the last client; the µs fields of the first's and the last's.
  void take(std::size_t n, std::vector<double>* first, std::vector<double>* last) {
    const std::size_t from = last_count();
    while (last_count() < from + n) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> lock(mutex_);
    first->assign(first_.end() - static_cast<long>(n), first_.end());
    last->assign(last_.end() - static_cast<long>(n), last_.end());
  }

 private:
  std::size_t last_count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::min(first_.size(), last_.size());
  }
  void drain() {
    std::vector<net::Poller::Event> events;
    char buf[4096];
    while (!stop_) {
      poller_.wait(&events, 100000);
      for (const auto& e : events) {
        RelayClient& c = *clients_[e.key];
        const long n = net::receive_some(c.socket, buf, sizeof buf);
        if (n > 0) c.pending.append(buf, static_cast<std::size_t>(n));
        for (auto end = c.pending.find('\n'); end != std::string::npos;
             end = c.pending.find('\n')) {
          keep(e.key, c.pending.substr(0, end + 1));
          c.pending.erase(0, end + 1);
        }
      }
    }
  }
  void keep(std::uint64_t client, const std::string& line) {
    if (client != 0 && client != kHeld - 1) return;
    std::lock_guard<std::mutex> lock(mutex_);
    (client == 0 ? first_ : last_).push_back(micros(line));
  }

  std::vector<std::unique_ptr<RelayClient>> clients_;
  net::Poller poller_;
  std::mutex mutex_;
  std::vector<double> first_, last_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void row(const std::string& what, double value, const char* goal = "", const char* met = "") {
  std::printf("| %s | %.3f | | | %s | %s |\n", what.c_str(), value, goal, met);
}

}  // namespace

int main(int argc, char** argv) {
  const bool realtime = argc > 1 && std::strcmp(argv[1], "--realtime") == 0;
  net::raise_descriptor_limit(2 * kHeld + 128);
  std::vector<std::string> args = {
      "--resolution", "us", "--push", "127.0.0.1:0", "--push-clients", std::to_string(kHeld)};
  if (realtime) args.insert(args.end(), {"--sched-priority", "20"});
  RelayRun run({.relay_args = args});
  // A relay refused its policy says so, and runs on: not the run asked for.
  if (!run.listening() || !run.relay.err().empty()) {
    std::fprintf(stderr, "the relay did not start as asked:\n%s", run.relay.err().c_str());
    return 1;
  }
  std::uint16_t push = 0;
  const std::string out = run.relay.out();
  if (const auto at = out.find("Push on 127.0.0.1:"); at != std::string::npos) {
    push = static_cast<std::uint16_t>(std::stoi(out.substr(at + 18)));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));  // 40 samples in the ring

  std::vector<double> one;
  {
    RelayClient c(push);
    c.read_line();
    for (int i = 0; i < kBoundaries; ++i) one.push_back(micros(c.read_line()));
  }
  std::vector<double> alone_p50, alone_p99, held_p50, held_p99, ratio_p50, first, last;
  double cpu_per_boundary = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::vector<double> alone = round_trips(run.port, 5000);
    HeldClients held(push);
    std::vector<double> round_first, round_last;
    const double cpu_before = cpu_us(run.relay.pid());
    held.take(kBoundaries / kRounds, &round_first, &round_last);
    cpu_per_boundary += (cpu_us(run.relay.pid()) - cpu_before) / kBoundaries;
    first.insert(first.end(), round_first.begin(), round_first.end());
    last.insert(last.end(), round_last.begin(), round_last.end());
    const std::vector<double> beside = round_trips(run.port, 5000);
    alone_p50.push_back(percentile(alone, 0.5));
    alone_p99.push_back(percentile(alone, 0.99));
    held_p50.push_back(percentile(beside, 0.5));
    held_p99.push_back(percentile(beside, 0.99));
    ratio_p50.push_back(held_p50.back() / alone_p50.back());
  }
  const double one_p99 = percentile(one, 0.99);
  row("--push: one client, its line after its ID began p50 (µs)", percentile(one, 0.5));
  row("--push: one client, its line after its ID began p99 (µs)", one_p99, "<= 200",
      one_p99 <= 200 ? "yes" : "no");
  row("--push: 1000 clients, the first one's line after its ID began p50 (µs)",
      percentile(first, 0.5));
  row("--push: 1000 clients, the first one's line after its ID began p99 (µs)",
      percentile(first, 0.99));
  row("--push: 1000 clients, the last one's line after its ID began p50 (µs)",
      percentile(last, 0.5));
  row("--push: 1000 clients, the last one's line after its ID began p99 (µs)",
      percentile(last, 0.99));
  row("--push: 1000 clients, the relay's CPU per boundary (µs)", cpu_per_boundary);
  const double r = median(ratio_p50);
  std::printf(
      "| --push: ID client's round trip p50 with 1000 push clients held; alone (µs) | "
      "%.3f | %.3f | %.3f | ratio <= 1.3 | %s |\n",
      median(held_p50), median(alone_p50), r, r <= 1.3 ? "yes" : "no");
  std::printf(
      "| --push: ID client's round trip p99 with 1000 push clients held; alone (µs) | "
      "%.3f | %.3f | %.3f | | |\n",
      median(held_p99), median(alone_p99), median(held_p99) / median(alone_p99));
  return 0;
}
