// many: the relay serving many clients at once (--clients), against its goals, as rows of the
// benchmark table. Every figure is the median of alternating rounds: two cores are shared by
// the relay, the simulator, the floor server and the clients.
//   - an active client's round trip p99: alone; with 1000 idle clients held; beside a silent
//     client, a flooder that never reads and a client that resets, over and over;
//   - 64 clients each asking as fast as it can: lines per second, beside the floor server's
//     readiness loop serving the same 64;
//   - the relay's peak resident memory with 1000 clients held;
//   - an active client's round trip p99 while a status client scrapes /metrics every 100 ms.
//
//   many FLOOR_BINARY
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
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
using Steady = std::chrono::steady_clock;

constexpr int kRounds = 7;
constexpr int kHeld = 1000;
constexpr int kBusy = 64;

// One byte, one line, 5000 times: the p99 in µs.
double active_p99(std::uint16_t port) {
  RelayClient c(port);
  c.read_line();
  std::vector<double> us;
  for (int i = 0; i < 5000; ++i) {
    const auto t0 = Steady::now();
    c.send("x");
    const bool answered = !c.read_line().empty();  // within 3 s
    us.push_back(answered ? std::chrono::duration<double, std::micro>(Steady::now() - t0).count()
                          : 3e6);
  }
  return percentile(us, 0.99);
}

// Clients that connect, read their greeting and then hold their place without a word.
std::vector<std::unique_ptr<RelayClient>> hold(std::uint16_t port, int n) {
  std::vector<std::unique_ptr<RelayClient>> held;
  for (int i = 0; i < n; ++i) {
    held.push_back(std::make_unique<RelayClient>(port));
    held.back()->read_line();
  }
  return held;
}

// A silent client; a flooder that never reads, sending whenever TCP lets it (once the relay
// stops reading it, every 10 ms); and a client that connects, asks and resets, 10 times a
// second; for as long as it lives.
class Disturbers {
 public:
  explicit Disturbers(std::uint16_t port)
      : silent_(port),
        flooder_([this, port] {
          RelayClient c(port);
          net::set_nonblocking(c.socket, true);
          const std::string chunk(1000, 'x');
          while (!stop_) {
            if (net::send_some(c.socket, chunk.data(), chunk.size()) < 0) {
              std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
          }
        }),
        resetter_([this, port] {
          for (auto next = Steady::now(); !stop_; next += std::chrono::milliseconds(100)) {
            std::this_thread::sleep_until(next);
            RelayClient c(port);
            c.read_line();
            c.send(std::string(300, 'x'));
            net::set_reset_on_close(c.socket);
          }
        }) {
    silent_.read_line();
  }
  ~Disturbers() {
    stop_ = true;
    flooder_.join();
    resetter_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  RelayClient silent_;
  std::thread flooder_, resetter_;
};

// A Prometheus of sorts: GET /metrics every 100 ms, for as long as it lives.
class Scraper {
 public:
  explicit Scraper(std::uint16_t port)
      : thread_([this, port] {
          for (auto next = Steady::now(); !stop_; next += std::chrono::milliseconds(100)) {
            std::this_thread::sleep_until(next);
            http_exchange(port, "GET /metrics HTTP/1.1\r\nHost: relay\r\n\r\n");
          }
        }) {}
  ~Scraper() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// kBusy clients, each asking as fast as it can for 2 s: lines per second, all together.
double busy_lines_per_second(std::uint16_t port) {
  std::atomic<long> lines{0};
  std::vector<std::thread> clients;
  const auto until = Steady::now() + std::chrono::seconds(2);
  for (int i = 0; i < kBusy; ++i) {
    clients.emplace_back([&] {
      RelayClient c(port);
      c.read_line();
      long mine = 0;
      while (Steady::now() < until) {
        c.send("x");
        if (c.read_line().empty()) break;
        ++mine;
      }
      lines += mine;
    });
  }
  for (std::thread& t : clients) t.join();
  return static_cast<double>(lines) / 2;
}

void row(const char* what, double value, double against, const char* goal, bool met) {
  std::printf("| %s | %.3f | %.3f | %.3f | %s | %s |\n", what, value, against,
              against != 0 ? value / against : 0.0, goal, met ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: many FLOOR_BINARY\n");
    return 2;
  }
  net::raise_descriptor_limit(2 * kHeld + 64);
  const std::uint16_t floor_port = closed_port();
  Process floor(argv[1], {std::to_string(floor_port), std::to_string(kBusy)});
  RelayRun run({.relay_args = {"--clients", "1024", "--status", "127.0.0.1:0"}});
  if (!run.listening()) {
    std::fprintf(stderr, "the relay did not start:\n%s", run.relay.err().c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));  // 40 samples in the ring

  const std::uint16_t status = status_port(run.relay);
  // Each disturbed p99 against the p99 alone measured just before it: the ratio of each pair,
  // the median of the rounds' ratios, so that what the machine's neighbours do over minutes
  // moves both alike.
  struct Case {
    std::vector<double> alone, disturbed, ratio;
    void add(double a, double d) {
      alone.push_back(a);
      disturbed.push_back(d);
      ratio.push_back(d / a);
    }
  } held, beside, scraped;
  std::vector<double> relay_lps, floor_lps;
  for (int round = 0; round < kRounds; ++round) {
    {
      const double alone = active_p99(run.port);
      const auto idle = hold(run.port, kHeld);
      held.add(alone, active_p99(run.port));
    }
    {
      const double alone = active_p99(run.port);
      const Disturbers disturbers(run.port);
      beside.add(alone, active_p99(run.port));
    }
    {
      const double alone = active_p99(run.port);
      const Scraper scraper(status);
      scraped.add(alone, active_p99(run.port));
    }
    relay_lps.push_back(busy_lines_per_second(run.port));
    floor_lps.push_back(busy_lines_per_second(floor_port));
  }
  const long rss = peak_rss_kib(run.relay.pid());
  const auto ratio_row = [](const char* what, const Case& c) {
    const double r = median(c.ratio);
    std::printf("| %s | %.3f | %.3f | %.3f | ratio <= 1.3 | %s |\n", what, median(c.disturbed),
                median(c.alone), r, r <= 1.3 ? "yes" : "no");
  };
  ratio_row("--clients: active client's round trip p99 with 1000 idle clients held; alone (µs)",
            held);
  ratio_row("--clients: active client's round trip p99 beside a silent client, a non-reading "
            "flooder and a resetting client; alone (µs)",
            beside);
  ratio_row("--status: active client's round trip p99 while /metrics is scraped every 100 ms; "
            "alone (µs)",
            scraped);
  row("--clients: lines per second, 64 clients asking as fast as they can; floor's readiness loop",
      median(relay_lps), median(floor_lps), "ratio >= 0.8",
      median(relay_lps) >= 0.8 * median(floor_lps));
  std::printf(
      "| --clients: peak resident memory with 1000 clients held (KiB) | %ld | | | < 8192 | %s |\n",
      rss, rss < 8192 ? "yes" : "no");
  return 0;
}
