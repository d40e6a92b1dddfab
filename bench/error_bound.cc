// error_bound: the relay's error bound against the simulator's truth, read as a program reads
// it, through libeventid from the relay's published segment.
//   - each scenario runs one simulator and one relay with --publish (a folder of its own under
//     /tmp); a reading every 10 to 25 ms, at random, so that no reading keeps one place in the
//     IDs' 100 ms; its error is taken at its own clock reading against the truth less the
//     simulator's fixed delay;
//   - a packet socket on lo (root, or CAP_NET_RAW) sees each announcement to the relay as
//     the system takes it in, a µs or two before a receiving socket is given its stamp (how
//     long before, a client of the bench's own on the same simulator measures): the least
//     lateness after the true beginning, moved by that and less the fixed delay, is the
//     relay's own path floor, which the estimate lags by and which its bound leaves out (the
//     bound is stated against the upstream as its fastest announcements reach the relay), so
//     the share within the bound is given against the truth less the delay and that floor too;
//   - where no packet socket opens, the floor is a client of the bench's own on the same
//     simulator: its least lateness, moved by how much later the simulator's promptest send
//     to the relay began than to that client (it serves each from a thread of its own);
//   - scenarios two at a time, per scenario from 10 s on: that share, the bound's p50 and p99,
//     the worst error, and across a silence whether every reading from 0.5 s in is flagged,
//     and whether the flag says unsynchronised before the error reaches 50 ms.
// About 15 minutes; --quick (about 3) runs the microsecond clock alone, the rates at +200
// ppm alone, shorter. CSV_FILE takes (t, error, bound, flags) across one silence, the one
// that docs/bound-holdover.svg draws; --readings DIR every scenario's, a file each; --only
// TEXT runs the scenarios whose names hold TEXT; --kernel-stamps runs every relay with that
// option, and takes the bench's floor from its client's kernel stamps alike.
//
//   error_bound [--quick] [--kernel-stamps] [--only TEXT] [--readings DIR] [CSV_FILE]
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "arrival_watch.h"
#include "bound_report.h"
#include "eventid.h"
#include "path_capture.h"
#include "sim_truth.h"
#include "stats.h"
#include "support/clients.h"
#include "support/e2e.h"

namespace {

using namespace eventid::test;
using namespace bound_bench;

// How long the scenarios run, and which run.
struct Plan {
  double seconds, late_from, silent_at, silent_for, after_silence;
  std::vector<bool> microsecond_clock;
  std::vector<int> rates_ppm;
};
const Plan kFull{85, 70, 35, 60, 15, {false, true}, {200, -200}};
const Plan kQuick{25, 15, 15, 55, 5, {true}, {200}};
// The scenario whose readings go to the CSV file: the one silence that outlasts the bound's
// 50 ms, the drift allowed before a rate is found matching the upstream's, so that the plot
// shows the bound as designed from the first reading on.
const char* const kPlotted = "+1000 ppm plain --max-drift 1000, silent, µs clock";

std::string signed_ppm(int ppm) {
  return (ppm > 0 ? "+" : "") + std::to_string(ppm) + " ppm";
}

// What a scenario is before its clock and its timing.
struct Shape {
  std::string name;
  std::vector<std::string> sim_args, relay_args;
  double delay_us;
  bool silent;
  MedianGoal goal;
};

std::vector<Shape> shapes(const Plan& plan) {
  std::vector<Shape> all = {
      {"fixed 2 ms", {"--delay-ms", "2"}, {}, 2000, false, MedianGoal::kPlain},
      {"2 ms + exponential 1 ms",
       {"--delay-ms", "2", "--jitter-ms", "1"},
       {},
       2000,
       false,
       MedianGoal::kPlain},
  };
  for (const int ppm : plan.rates_ppm) {
    const std::vector<std::string> rate = {"--rate-ppm", std::to_string(ppm)};
    all.push_back({signed_ppm(ppm) + " plain", rate, {}, 0, false, MedianGoal::kPlain});
    all.push_back({signed_ppm(ppm) + " --track-rate",
                   rate,
                   {"--track-rate"},
                   0,
                   false,
                   MedianGoal::kTracked});
  }
  all.push_back({"+200 ppm --track-rate, silent",
                 {"--rate-ppm", "200"},
                 {"--track-rate"},
                 0,
                 true,
                 MedianGoal::kNone});
  all.push_back(
      {"+1000 ppm plain, silent", {"--rate-ppm", "1000"}, {}, 0, true, MedianGoal::kNone});
  all.push_back({"+1000 ppm plain --max-drift 1000, silent",
                 {"--rate-ppm", "1000"},
                 {"--max-drift", "1000"},
                 0,
                 true,
                 MedianGoal::kNone});
  return all;
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Scenario at_clock(const Shape& shape, const Plan& plan, bool microseconds) {
  Scenario s;
  s.name = shape.name + (microseconds ? ", µs clock" : ", ms clock");
  s.sim_args = shape.sim_args;
  s.relay_args = shape.relay_args;
  s.delay_us = shape.delay_us;
  s.seconds = plan.seconds;
  if (microseconds) s.relay_args = joined(s.relay_args, {"--resolution", "us"});
  s.late_from = plan.late_from;
  s.goal = microseconds ? shape.goal : MedianGoal::kNone;
  if (shape.silent) {
    s.silent_at = plan.silent_at;
    s.silent_for = plan.silent_for;
    s.seconds = plan.silent_at + plan.silent_for + plan.after_silence;
    s.sim_args = joined(s.sim_args, {"--silent-at", std::to_string(plan.silent_at), "--silent-for",
                                     std::to_string(plan.silent_for)});
  }
  return s;
}

std::vector<Scenario> scenarios(const Plan& plan) {
  std::vector<Scenario> all;
  for (const Shape& shape : shapes(plan)) {
    for (const bool microseconds : plan.microsecond_clock) {
      all.push_back(at_clock(shape, plan, microseconds));
    }
  }
  return all;
}

// The reading's error against the truth at its clock reading less the fixed delay, µs.
double error_us(const eventid_reading& r, double true_position, double delay_us) {
  const double read = static_cast<double>(r.id) + r.micros / 1e5;
  return (read - true_position) * 1e5 + delay_us;
}

void read_until_done(eventid_source* source, const Truth& truth, const Scenario& s,
                     std::uint32_t seed, Outcome& o) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pause_us(10000, 25000);
  for (double t = 0; t < s.seconds;) {
    eventid_reading r = EVENTID_READING_INIT;
    const std::int64_t offset_ns = unix_less_monotonic_ns();
    const int code = eventid_read(source, &r);
    const std::int64_t unix_ns =
        code == 0 ? r.clock_us * 1000 + offset_ns : clock_ns(CLOCK_REALTIME);
    t = static_cast<double>(unix_ns - truth.epoch_us * 1000) / 1e9;
    if (code == 0) {
      o.first_reading_s = std::min(o.first_reading_s, t);
      o.readings.push_back(
          {t, error_us(r, truth.position(unix_ns), s.delay_us), r.bound_us, r.flags});
    } else if (t >= o.first_reading_s + kSettleS) {
      ++o.failed_reads;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us(rng)));
  }
}

void take_relay_figures(std::uint16_t status, Outcome& o) {
  const std::string body = http_exchange(status, "GET /metrics HTTP/1.1\r\n\r\n");
  o.checks = metric(body, "eventid_relay_bound_checks_total");
  o.late_misses = metric(body, "eventid_relay_bound_misses_total{side=\"late\"}");
  o.early_misses = metric(body, "eventid_relay_bound_misses_total{side=\"early\"}");
  o.rate_ppm = metric(body, "eventid_relay_upstream_rate_deviation_ratio") * 1e6;
}

// The simulator's "client ADDRESS:PORT: N sends, the promptest X us after its moment": the
// least X of the connections from the given port (or, where mine is false, from any other: the
// relay's, which a silence may have made it open afresh); NaN if none said.
double promptest_send_us(const std::string& output, std::uint16_t port, bool mine) {
  const std::string tail = ": ";
  double least = std::nan("");
  for (std::size_t at = 0; (at = output.find("eventid-sim: client ", at)) != std::string::npos;) {
    const std::size_t end = output.find('\n', at);
    const std::string line = output.substr(at, end - at);
    at = end;
    const std::size_t promptest = line.find("the promptest ");
    const std::size_t colon = line.find(tail, 20);  // after "eventid-sim: client "
    if (promptest == std::string::npos || colon == std::string::npos) continue;
    const std::size_t port_at = line.rfind(':', colon - 1) + 1;
    const bool its = std::stoi(line.substr(port_at, colon - port_at)) == port;
    if (its == mine) least = std::fmin(least, std::stod(line.substr(promptest + 14)));
  }
  return least;
}

// The relay's own path floor: its connection's least lateness as captured on lo where the bench
// may capture; else as near as a client of the bench's can tell it: that client's, moved by how
// much later the simulator's promptest send to the relay began than its promptest send to that
// client (each is served by a thread of its own), blind to what lies between a send and the
// relay's own stamp.
void take_floor(Simulator& sim, std::unique_ptr<ArrivalWatch> watch, const PathCapture& capture,
                Process& relay, const Scenario& s, Outcome& o) {
  const double bench_floor_us = watch->least_lateness_us(s.kernel_stamps) - s.delay_us;
  o.after_gaps_us = watch->after_gaps();
  const std::uint16_t port = watch->local_port();
  o.socket_later_us = capture.socket_later_us(port, watch->kernel_stamps());
  o.captured_floor_us = capture.least_lateness_us(port) - s.delay_us +
                        (std::isnan(o.socket_later_us) ? 0 : o.socket_later_us);
  watch.reset();
  relay.kill();
  std::string output;
  eventually([&] {  // until every connection has ended, and so been reported
    output = sim.output();
    return occurrences(output, " connected\n") == occurrences(output, " gone\n");
  });
  o.sender_gap_us = promptest_send_us(output, port, false) - promptest_send_us(output, port, true);
  o.client_floor_us = bench_floor_us + (std::isnan(o.sender_gap_us) ? 0 : o.sender_gap_us);
  o.floor_us = std::isnan(o.captured_floor_us) ? o.client_floor_us : o.captured_floor_us;
}

void run_in(const std::string& where, const Scenario& s, std::uint32_t seed, Outcome& o) {
  Simulator sim(joined(s.sim_args, {"--report-sends"}));
  if (sim.port == 0) return;
  const Truth truth = truth_of(sim);
  const PathCapture capture(sim.port, truth);
  if (!capture.valid()) {
    std::fprintf(stderr,
                 "error_bound: %s: no packet socket on lo (it takes root or CAP_NET_RAW): the "
                 "floor is the bench's client's\n",
                 s.name.c_str());
  }
  auto watch = std::make_unique<ArrivalWatch>(sim.port, truth);
  Process relay(EVENTID_RELAY,
                on_a_free_port(joined(s.relay_args, {"--publish", where, "--status", "127.0.0.1:0",
                                                     "127.0.0.1", std::to_string(sim.port)})));
  const std::uint16_t status = status_port(relay);
  eventid_source* source = nullptr;
  if (status == 0 || eventid_open(where.c_str(), &source) != 0) return;
  read_until_done(source, truth, s, seed, o);
  eventid_close(source);
  take_relay_figures(status, o);
  take_floor(sim, std::move(watch), capture, relay, s, o);
  o.ran = true;
}

Outcome run(const Scenario& s, std::uint32_t seed) {
  Outcome o;
  char dir[] = "/tmp/eventid-bound-XXXXXX";
  if (!::mkdtemp(dir)) return o;
  run_in(std::string(dir) + "/basis", s, seed, o);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return o;
}

// Two at a time, the longest first, so that the two workers end near each other.
std::vector<Outcome> run_all(const std::vector<Scenario>& all) {
  std::vector<std::size_t> order(all.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return all[a].seconds > all[b].seconds; });
  std::vector<Outcome> outcomes(all.size());
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (std::size_t i; (i = next++) < order.size();) {
      const std::size_t k = order[i];
      outcomes[k] = run(all[k], static_cast<std::uint32_t>(k + 1));
      std::fprintf(stderr, "error_bound: %s: %s\n", all[k].name.c_str(),
                   outcomes[k].ran ? "done" : "did not run");
    }
  };
  std::thread first(worker), second(worker);
  first.join();
  second.join();
  return outcomes;
}

struct Request {
  bool quick = false;
  bool kernel_stamps = false;  // every relay with --kernel-stamps, against the bench's like floor
  std::string only;            // the scenarios whose names hold this, if given
  std::string readings_dir;    // every scenario's readings, one CSV file each, if given
  std::string csv;             // the plotted scenario's readings, if given
};

Request parse(int argc, char** argv) {
  Request q;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      q.quick = true;
    } else if (a == "--kernel-stamps") {
      q.kernel_stamps = true;
    } else if (a == "--only" && i + 1 < argc) {
      q.only = argv[++i];
    } else if (a == "--readings" && i + 1 < argc) {
      q.readings_dir = argv[++i];
    } else {
      q.csv = a;
    }
  }
  return q;
}

// A scenario's name as a file name: "-200 ppm --track-rate, µs clock" as
// "-200-ppm-track-rate-us-clock.csv"; a sign stays where a number follows it.
std::string file_name(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const bool sign = (c == '+' || c == '-') && i + 1 < name.size() &&
                      std::isdigit(static_cast<unsigned char>(name[i + 1]));
    if (name.compare(i, 2, "µ") == 0) {
      out += 'u';
      ++i;
    } else if (std::isalnum(c) || sign) {
      out += static_cast<char>(c);
    } else if (!out.empty() && out.back() != '-') {
      out += '-';
    }
  }
  return out + ".csv";
}

void write_readings(const Request& q, const std::vector<Scenario>& all,
                    const std::vector<Outcome>& outcomes) {
  for (std::size_t k = 0; k < all.size(); ++k) {
    if (!q.csv.empty() && all[k].name == kPlotted) write_csv(q.csv, outcomes[k]);
    if (!q.readings_dir.empty()) {
      write_csv(q.readings_dir + "/" + file_name(all[k].name), outcomes[k]);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Request q = parse(argc, argv);
  const Plan& plan = q.quick ? kQuick : kFull;
  std::vector<Scenario> all = scenarios(plan);
  std::erase_if(all, [&](const Scenario& s) { return s.name.find(q.only) == std::string::npos; });
  for (Scenario& s : all) {
    if (!q.kernel_stamps) continue;
    s.kernel_stamps = true;
    s.relay_args.push_back("--kernel-stamps");
  }
  const std::vector<Outcome> outcomes = run_all(all);
  print_table(all, outcomes, plan.late_from);
  write_readings(q, all, outcomes);
  const bool all_ran =
      std::all_of(outcomes.begin(), outcomes.end(), [](const Outcome& o) { return o.ran; });
  return all_ran ? 0 : 1;
}
