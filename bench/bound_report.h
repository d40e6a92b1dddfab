// What error_bound takes of each scenario, and the table it prints of them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "eventid.h"
#include "stats.h"

namespace bound_bench {

// Readings count from this long after the relay's first (its first reading that succeeds):
// the relay has had 10 s of samples to measure the rate from.
inline constexpr double kSettleS = 10;
inline constexpr double kUnsynchronisedUs = 50000;
inline constexpr double kCoverageGoal = 99.9;  // % of readings within their bound

// The goal for the bound's median late in a run, on the microsecond clock.
enum class MedianGoal { kNone, kTracked, kPlain };

struct Scenario {
  std::string name;
  std::vector<std::string> sim_args, relay_args;
  double delay_us = 0;         // the simulator's fixed delay
  bool kernel_stamps = false;  // the relay stamps as the system took the data in
  double seconds = 0;
  double silent_at = -1, silent_for = 0;
  double late_from = 0;  // the median goal's readings start here
  MedianGoal goal = MedianGoal::kNone;
};

struct Reading {
  double t_s;       // since the simulator started
  double error_us;  // against the truth less the fixed delay; + is ahead
  std::int64_t bound_us;
  std::uint32_t flags;
};

struct Outcome {
  bool ran = false;
  std::vector<Reading> readings;
  double first_reading_s = INFINITY;  // the first that succeeded, since the simulator started
  int failed_reads = 0;               // from kSettleS after it on
  // The floor used: the relay's own connection's, captured on lo, where the bench may open a
  // packet socket; else the bench's client's, moved by the sender gap below.
  double floor_us = std::nan("");
  double captured_floor_us = std::nan(""), client_floor_us = std::nan("");
  // How much later than the capture a socket is stamped, as the bench's client saw it: the
  // captured floor above includes it.
  double socket_later_us = std::nan("");
  // How much later the simulator's promptest send to the relay began than to the bench's
  // client: the client's floor above includes it.
  double sender_gap_us = std::nan("");
  // The relay's own, at the end: its checks of the bound against each sample, and the rate.
  double checks = 0, late_misses = 0, early_misses = 0, rate_ppm = 0;
  // The bench's client: the lateness of the first announcement after each silence, µs.
  std::vector<double> after_gaps_us;
};

struct Summary {
  int readings = 0;
  double within_delay = 0, within_floor = 0;  // % of the readings
  double bound_p50 = 0, bound_p99 = 0, late_bound_p50 = std::nan("");
  double worst_delay = 0, worst_floor = 0;  // signed, the largest magnitude
  double widest_miss = 0;                   // the largest |error| beyond its bound (floor)
  // The least the estimate lagged the truth less the delay: with no rate to carry, the
  // relay's own path floor, to set beside the bench's.
  double least_lag = 0;
  // The floor that would put the most readings within their bound, and their share (%): how
  // far the relay's own floor would have to lie from the bench's for the bound to hold.
  double best_floor = 0, best_within = 0;
  // Across a silence: readings from 0.5 s in to its end, those unflagged among them, and
  // whether every reading off by 50 ms or more said it was unsynchronised.
  int in_silence = 0, unflagged = 0;
  bool unsynchronised_first = true;
  double unsynchronised_at = std::nan(""), off_50ms_at = std::nan("");
};

inline void keep_worst(double& worst, double e) {
  if (std::fabs(e) > std::fabs(worst)) worst = e;
}

inline void look_at_silence(const Scenario& s, const Reading& r, double error, Summary& m) {
  if (s.silent_at < 0 || r.t_s < s.silent_at) return;
  if (r.t_s >= s.silent_at + 0.5 && r.t_s < s.silent_at + s.silent_for) {
    ++m.in_silence;
    if (r.flags == 0) ++m.unflagged;
  }
  const bool unsynchronised = (r.flags & EVENTID_UNSYNCHRONISED) != 0;
  if (unsynchronised && std::isnan(m.unsynchronised_at)) m.unsynchronised_at = r.t_s;
  if (std::fabs(error) < kUnsynchronisedUs) return;
  if (std::isnan(m.off_50ms_at)) m.off_50ms_at = r.t_s;
  if (!unsynchronised) m.unsynchronised_first = false;
}

inline bool settled(const Outcome& o, const Reading& r) {
  return r.t_s >= o.first_reading_s + kSettleS;
}

// The floor F that puts the most readings within, |error + F| <= bound, and how many; of the
// floors that do, the nearest to the bench's own. A sweep over the ends of each reading's
// interval of F: between two ends the count stands.
inline std::pair<double, int> best_floor(const Outcome& o, double bench) {
  std::vector<std::pair<double, int>> ends;  // (F, +1 where an interval opens, -1 where it shuts)
  for (const Reading& r : o.readings) {
    if (!settled(o, r) || r.bound_us < 0) continue;
    const double bound = static_cast<double>(r.bound_us);
    ends.push_back({-bound - r.error_us, +1});
    ends.push_back({bound - r.error_us, -1});
  }
  // At one F, opening first: an interval holds its ends.
  std::sort(ends.begin(), ends.end(), [](const auto& a, const auto& b) {
    return a.first < b.first || (a.first == b.first && a.second > b.second);
  });
  std::pair<double, int> best{bench, 0};
  int open = 0;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    open += ends[i].second;
    const double last = i + 1 < ends.size() ? ends[i + 1].first : ends[i].first;
    const double nearest = std::clamp(bench, ends[i].first, last);
    const bool nearer = std::fabs(nearest - bench) < std::fabs(best.first - bench);
    if (open > best.second || (open == best.second && nearer)) best = {nearest, open};
  }
  return best;
}

inline Summary summarise(const Scenario& s, const Outcome& o) {
  Summary m;
  m.least_lag = INFINITY;
  std::vector<double> bounds, late_bounds;
  int within_delay = 0, within_floor = 0;
  for (const Reading& r : o.readings) {
    if (!settled(o, r)) continue;
    const double bound = static_cast<double>(r.bound_us);
    const double with_floor = r.error_us + o.floor_us;
    ++m.readings;
    within_delay += r.bound_us >= 0 && std::fabs(r.error_us) <= bound;
    within_floor += r.bound_us >= 0 && std::fabs(with_floor) <= bound;
    bounds.push_back(bound);
    if (r.t_s >= s.late_from) late_bounds.push_back(bound);
    keep_worst(m.worst_delay, r.error_us);
    keep_worst(m.worst_floor, with_floor);
    m.widest_miss = std::max(m.widest_miss, std::fabs(with_floor) - bound);
    m.least_lag = std::min(m.least_lag, -r.error_us);
    look_at_silence(s, r, with_floor, m);
  }
  const int counted = m.readings + o.failed_reads;  // a failed read is no reading within
  m.within_delay = counted ? 100.0 * within_delay / counted : 0;
  m.within_floor = counted ? 100.0 * within_floor / counted : 0;
  const auto [floor, within] = best_floor(o, o.floor_us);
  m.best_floor = floor;
  m.best_within = counted ? 100.0 * within / counted : 0;
  m.bound_p50 = median(bounds);
  m.bound_p99 = percentile(bounds, 0.99);
  if (s.goal != MedianGoal::kNone && !late_bounds.empty()) m.late_bound_p50 = median(late_bounds);
  return m;
}

// The goals a scenario missed, and by how much; "yes" for none.
inline std::string goals(const Scenario& s, const Outcome& o, const Summary& m) {
  if (!o.ran || m.readings == 0) return "no: did not run";
  std::string missed;
  char text[160];
  const auto miss = [&](const char* what) {
    missed += std::string(missed.empty() ? "" : "; ") + what;
  };
  if (m.within_floor < kCoverageGoal) {
    std::snprintf(text, sizeof text, "within %.2f %% < %.1f %% (widest miss %.0f µs)",
                  m.within_floor, kCoverageGoal, m.widest_miss);
    miss(text);
  }
  const double most = s.goal == MedianGoal::kTracked ? 100 : 1000;
  if (s.goal != MedianGoal::kNone && !(m.late_bound_p50 <= most)) {
    std::snprintf(text, sizeof text, "p50 bound %.0f > %.0f µs", m.late_bound_p50, most);
    miss(text);
  }
  if (s.silent_at >= 0 && (m.unflagged > 0 || m.in_silence == 0)) {
    std::snprintf(text, sizeof text, "%d of %d silent readings unflagged", m.unflagged,
                  m.in_silence);
    miss(text);
  }
  if (!m.unsynchronised_first) miss("off by 50 ms before unsynchronised");
  return missed.empty() ? "yes" : "no: " + missed;
}

inline std::string seconds_text(double t) {
  if (std::isnan(t)) return "never";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", t);
  return text;
}

inline std::string silence_cell(const Scenario& s, const Outcome& o, const Summary& m) {
  if (s.silent_at < 0) return "";
  char text[160];
  std::snprintf(text, sizeof text, "%d of %d; %s; %s: %s", m.unflagged, m.in_silence,
                seconds_text(m.unsynchronised_at).c_str(), seconds_text(m.off_50ms_at).c_str(),
                m.unsynchronised_first ? "flag first" : "error first");
  std::string cell = text;
  for (const double late : o.after_gaps_us) {
    std::snprintf(text, sizeof text, "; first announcement after it %.0f µs late", late);
    cell += text;
  }
  return cell;
}

inline void print_row(const Scenario& s, const Outcome& o) {
  const Summary m = summarise(s, o);
  const std::string late =
      std::isnan(m.late_bound_p50) ? "" : std::to_string(std::lround(m.late_bound_p50));
  std::printf(
      "| %s | %d | %.2f; %.2f | %.0f; %.0f | %s | %+.0f; %+.0f | %.1f; %.1f (%+.1f); %.1f (%+.1f); "
      "%.0f "
      "| %.0f; %.2f | "
      "%s | "
      "%.0f, %.0f of %.0f; %.1f | %s |\n",
      s.name.c_str(), m.readings, m.within_delay, m.within_floor, m.bound_p50, m.bound_p99,
      late.c_str(), m.worst_delay, m.worst_floor, o.floor_us, o.captured_floor_us,
      o.socket_later_us, o.client_floor_us, o.sender_gap_us, m.least_lag, m.best_floor,
      m.best_within, silence_cell(s, o, m).c_str(), o.late_misses, o.early_misses, o.checks,
      o.rate_ppm, goals(s, o, m).c_str());
}

inline void print_table(const std::vector<Scenario>& all, const std::vector<Outcome>& outcomes,
                        double late_from) {
  std::printf(
      "| scenario (readings from %.0f s after the relay's first) | readings "
      "| within the bound: truth less delay; less delay and floor (%%) "
      "| bound p50; p99 (µs) | bound p50 from %.0f s (µs) "
      "| worst error: less delay; less delay and floor (µs) "
      "| the loopback floor used; the relay's connection's, captured (of it, how much later a "
      "socket is stamped than the capture); the bench's client's (of it, the simulator's later "
      "promptest send to the relay than to that client); the estimate's least lag (µs) "
      "| the floor that would put the most within (µs); their share (%%) "
      "| silence: readings unflagged from 0.5 s in; first flagged unsynchronised; first "
      "off 50 ms (and the bench's client's first announcement after it) "
      "| relay's own checks: late, early misses of; rate found (ppm) | goals met |\n",
      kSettleS, late_from);
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (std::size_t k = 0; k < all.size(); ++k) print_row(all[k], outcomes[k]);
}

// (t, error against the truth less delay and floor, bound, flags), one reading a line.
inline void write_csv(const std::string& path, const Outcome& o) {
  std::ofstream csv(path);
  csv << "t_s,error_us,bound_us,flags\n";
  for (const Reading& r : o.readings) {
    csv << r.t_s << ',' << r.error_us + o.floor_us << ',' << r.bound_us << ',' << r.flags << '\n';
  }
}

}  // namespace bound_bench
