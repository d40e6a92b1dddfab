// read: what a program pays to read the relay, in one run on one machine, beside each other:
//   - a reading of the published segment through libeventid, the clock read included;
//   - the clock read alone (clock_gettime(CLOCK_MONOTONIC), what a reading must make);
//   - a socket round trip to the same relay (one byte, one line);
//   - a line made from the basis against one made by scanning the 40 slots;
//   - how late eventid_wait() returns after each ID's beginning by the simulator's truth,
//     with the thread's default timer slack and with it set to 1 ns.
// Reads and clock reads are timed in batches of 1000 (a clock read per reading would double
// what is measured): p50 and p99 are of the batches' means.
//
//   read [WAITS]   (default 150 IDs for each slack)
#include <sys/prctl.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "delivery/id_line.h"
#include "eventid.h"
#include "proc.h"
#include "stats.h"
#include "support/e2e.h"
#include "timing/estimate.h"

namespace {

using namespace eventid;
using namespace eventid::test;
using steady = std::chrono::steady_clock;

constexpr int kBatch = 1000;
constexpr int kBatches = 10000;

template <typename Each>
std::vector<double> batched_ns(Each&& each) {
  std::vector<double> means;
  means.reserve(kBatches);
  for (int b = 0; b < kBatches; ++b) {
    const auto t0 = steady::now();
    for (int i = 0; i < kBatch; ++i) each();
    means.push_back(std::chrono::duration<double, std::nano>(steady::now() - t0).count() / kBatch);
  }
  return means;
}

// One row of the performance table: measure | figure | beside it | ratio | goal | met.
void row(const std::string& what, double figure, double beside, const char* goal, bool met) {
  const double ratio = beside > 0 ? figure / beside : 0;
  std::printf("| %s | %.1f | %.1f | %.2f | %s | %s |\n", what.c_str(), figure, beside, ratio, goal,
              met ? "yes" : "no");
}

std::vector<double> round_trips_ns(std::uint16_t port, int count) {
  RelayClient c(port);
  c.read_line();
  std::vector<double> out;
  for (int i = 0; i < count; ++i) {
    const auto t0 = steady::now();
    c.send("x");
    c.read_line();
    out.push_back(std::chrono::duration<double, std::nano>(steady::now() - t0).count());
  }
  return out;
}

struct Lateness {
  std::vector<double> by_truth, by_estimate;
};

// µs from each ID's beginning to eventid_wait()'s return, one ID after another: by the
// simulator's truth (the relay's estimate lags it by the smallest delay it has seen), and by
// the estimate itself (the reading's µs).
Lateness wait_lateness_us(eventid_source* source, const Simulator& sim, int ids) {
  eventid_reading r{};
  r.size = sizeof r;
  Lateness late;
  if (eventid_read(source, &r) != 0) return late;
  sim.truth();  // the truth's line read once, before the waits
  for (int i = 0; i < ids; ++i) {
    const std::uint32_t next = r.id + 1;
    if (eventid_wait(source, next, &r) != 0) break;
    late.by_truth.push_back((sim.truth_as_read() - next) * 100000.0);
    late.by_estimate.push_back(r.micros);
  }
  return late;
}

}  // namespace

int main(int argc, char** argv) {
  const int waits = argc > 1 ? std::atoi(argv[1]) : 150;
  pin_to_cpu(0);
  char dir[] = "/tmp/eventid-read-XXXXXX";
  if (!::mkdtemp(dir)) return 1;
  const std::string where = std::string(dir) + "/basis";
  RelayRun run({.relay_args = {"--publish", where, "--resolution", "us"}});
  eventid_source* source = nullptr;
  eventid_reading r{};
  r.size = sizeof r;
  if (!run.listening() || eventid_open(where.c_str(), &source) != 0 ||
      eventid_read(source, &r) != 0) {
    std::fprintf(stderr, "read: no relay publishing at %s\n", where.c_str());
    return 1;
  }
  const std::vector<double> reads = batched_ns([&] { eventid_read(source, &r); });
  const std::vector<double> clocks = batched_ns([] {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
  });
  const std::vector<double> trips = round_trips_ns(run.port, 20000);
  const double read50 = median(reads), clock50 = median(clocks), trip50 = median(trips);
  row("libeventid: a segment read, clock included, p50; the clock alone (ns)", read50, clock50,
      "<= 60 ns, ratio <= 2", read50 <= 60 && read50 <= 2 * clock50);
  row("libeventid: a segment read p99; the clock alone p99 (ns)", percentile(reads, 0.99),
      percentile(clocks, 0.99), "", true);
  row("libeventid: a socket round trip p50 (ns); the segment read p50", trip50, read50,
      "ratio >= 200", trip50 >= 200 * read50);
  row("libeventid: a socket round trip p99; the segment read p99 (ns)", percentile(trips, 0.99),
      percentile(reads, 0.99), "", true);

  SampleRing ring;
  ring.prime(make_sample(1000, 5000000));
  for (int i = 1; i < kRingSize; ++i) {
    ring.store(make_sample(1000 + i, 5000000 + i * 100000 + i % 7));
  }
  const SampleRing::Snapshot snapshot = ring.snapshot();
  std::int64_t now = 9000000;
  const double from_basis = median(batched_ns([&] {
    const IdLine line = format_id_line(estimate(snapshot.basis, ++now));
    asm volatile("" : : "r"(line.text) : "memory");
  }));
  const double from_scan = median(batched_ns([&] {
    const IdLine line = format_id_line(estimate(snapshot.slots, true, ++now));
    asm volatile("" : : "r"(line.text) : "memory");
  }));
  row("a line from the basis; from a scan of the slots, p50 (ns)", from_basis, from_scan,
      "ratio <= 1", from_basis <= from_scan);

  unpin();
  for (const bool tight : {false, true}) {
    if (tight) prctl(PR_SET_TIMERSLACK, 1);
    const Lateness late = wait_lateness_us(source, run.sim, waits);
    const std::string slack = tight ? ", timer slack 1 ns" : ", default timer slack";
    const double p99 = percentile(late.by_truth, 0.99);
    row("eventid_wait late after the true beginning p99; p50 (µs)" + slack, p99,
        median(late.by_truth), "p99 <= 1000", !late.by_truth.empty() && p99 <= 1000);
    row("eventid_wait late after the estimate's beginning p99; p50 (µs)" + slack,
        percentile(late.by_estimate, 0.99), median(late.by_estimate), "", true);
  }
  eventid_close(source);
  return 0;
}
