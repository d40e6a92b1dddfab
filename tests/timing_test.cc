#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <thread>
#include <tuple>

#include "timing/bound.h"
#include "timing/clock.h"
#include "timing/estimate.h"
#include "timing/holdout.h"
#include "timing/rate.h"
#include "timing/ring.h"

namespace eventid {
namespace {

constexpr std::int64_t ms(std::int64_t n) {
  return n * 1000;
}

// A sample of id arriving at local time at_ms.
Sample sample(std::int64_t at_ms, std::uint32_t id) {
  return make_sample(id, ms(at_ms));
}

SampleRing::Slots all(const Sample& s) {
  SampleRing::Slots slots;
  slots.fill(s);
  return slots;
}

// --- the ring: priming, storing, sharing ---

TEST(Ring, PrimingFillsEverySlotThenStoresGoRoundFromSlotOne) {
  SampleRing ring;
  EXPECT_FALSE(ring.primed());
  ring.prime(sample(1000, 1));
  EXPECT_TRUE(ring.primed());
  ring.store(sample(1100, 2));
  ring.store(sample(1200, 3));
  SampleRing::Slots slots = ring.snapshot().slots;
  EXPECT_EQ(slots[1].id, 2u);
  EXPECT_EQ(slots[2].id, 3u);
  for (int i : {0, 3, 39}) EXPECT_EQ(slots[i].id, 1u) << "slot " << i;
  for (int i = 3; i <= kRingSize; ++i) ring.store(sample(1000 + 100 * i, 100 + i));
  slots = ring.snapshot().slots;
  EXPECT_EQ(slots[0].id, 100u + kRingSize);  // the last copy of the first sample has gone
  for (const Sample& s : slots) EXPECT_NE(s.id, 1u);
}

// What a snapshot pairs with the samples: the connection and the rate, as last written.
TEST(Ring, SnapshotCarriesTheConnectionAndTheRate) {
  SampleRing ring;
  EXPECT_FALSE(ring.snapshot().primed);
  ring.prime(sample(0, 7), {0.001, 0.001, 2});
  EXPECT_TRUE(ring.snapshot().primed && ring.snapshot().connected);
  EXPECT_EQ(ring.snapshot().rate.steps, 2u);
  ring.set_connected(false);
  EXPECT_FALSE(ring.snapshot().connected);
  ring.store(sample(100, 8), {0.002, 0.001, 3});
  const SampleRing::Snapshot s = ring.snapshot();
  EXPECT_TRUE(s.connected);
  EXPECT_EQ(s.rate.found.value_or(0), 0.002);
  EXPECT_EQ(s.rate.in_use.value_or(0), 0.001);
  EXPECT_EQ(s.rate.steps, 3u);
}

// A reader must never see a sample whose fields come from two different stores, nor a rate
// from another store than the newest sample's (each store's rate is its ID here).
TEST(Ring, SnapshotsDuringStoresSeeOnlyWholeStores) {
  SampleRing ring;
  ring.prime(sample(0, 0));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::uint32_t i = 1; i < 200000; ++i) ring.store(sample(i * 100, i), {i, i, i});
    done = true;
  });
  int scans = 0;
  while (!done || scans == 0) {
    const SampleRing::Snapshot snapshot = ring.snapshot();
    std::uint32_t newest = 0;
    for (const Sample& s : snapshot.slots) {
      ASSERT_EQ(s.arrival_us, static_cast<std::int64_t>(s.id) * ms(100));
      ASSERT_EQ(s.offset_us, 0);
      newest = std::max(newest, s.id);
    }
    ASSERT_EQ(snapshot.rate.steps, newest);
    ASSERT_EQ(snapshot.rate.found.value_or(0), newest);
    ++scans;
  }
  writer.join();
}

TEST(Clock, ReadsWholeMillisecondsAndNeverGoesBack) {
  std::int64_t previous = millisecond_clock();
  for (int i = 0; i < 1000; ++i) {
    const std::int64_t now = millisecond_clock();
    EXPECT_EQ(now % 1000, 0);
    EXPECT_GE(now, previous);
    previous = now;
  }
}

// --- the estimate ---

TEST(Estimate, PrimedRingJitterFigures) {
  const Estimate e = estimate(all({ms(5000), 0, 1000}), true, ms(5000));
  EXPECT_EQ(e.jitter, 0);
  EXPECT_EQ(e.jitter0, 25);  // 1000 - 39 * (1000 / 39)
}

TEST(Estimate, ExtrapolatesFromTheClock) {
  const std::int64_t t = 987654321;
  const SampleRing::Slots slots = all(sample(t, 20));
  Estimate e = estimate(slots, true, ms(t + 300));
  EXPECT_EQ(e.id, 23u);
  EXPECT_EQ(e.micros, 0u);
  e = estimate(slots, true, ms(t + 301));
  EXPECT_EQ(e.id, 23u);
  EXPECT_EQ(e.micros, 1000u);
  e = estimate(slots, true, ms(t + 399));
  EXPECT_EQ(e.id, 23u);
  EXPECT_EQ(e.micros, 99000u);
}

TEST(Estimate, StateFollowsAgeAndConnection) {
  const SampleRing::Slots slots = all(sample(10000, 5));
  EXPECT_EQ(estimate(slots, true, ms(16000)).state, 'O');  // exactly 6.0 s
  EXPECT_EQ(estimate(slots, true, ms(16001)).state, 'S');
  EXPECT_EQ(estimate(slots, false, ms(10000)).state, 'D');
  EXPECT_EQ(estimate(slots, false, ms(99999)).state, 'D');
}

TEST(Estimate, AgeIsThatOfTheOldestSlot) {
  SampleRing::Slots slots = all(sample(20000, 100));
  slots[17] = sample(13999, 30);  // 6.001 s old at 20000
  EXPECT_EQ(estimate(slots, true, ms(20000)).state, 'S');
  slots[17] = sample(14000, 30);  // 6.000 s, across a second boundary
  EXPECT_EQ(estimate(slots, true, ms(20000)).state, 'O');
}

TEST(Estimate, LowestOffsetDecidesWhereverItSits) {
  for (int slot = 0; slot < kRingSize; ++slot) {
    SampleRing::Slots slots = all(sample(50000, 400));
    slots[slot].offset_us -= 3000;
    const Estimate e = estimate(slots, true, ms(50000));
    EXPECT_EQ(e.id, 400u) << "slot " << slot;
    EXPECT_EQ(e.micros, 3000u) << "slot " << slot;
  }
}

TEST(Estimate, JitterFiguresFromSpreadOffsets) {
  SampleRing::Slots slots = all({0, 0, 0});
  slots[0].offset_us = 4000;
  slots[1].offset_us = -4000;
  const Estimate e = estimate(slots, true, 0);
  EXPECT_EQ(e.jitter, 8000 / 40);
  EXPECT_EQ(e.jitter0, 0);  // 4000 / -39 and -4000 / -39 cancel
  slots[1].offset_us = 0;
  EXPECT_EQ(estimate(slots, true, 0).jitter0, -(4000 / 39));
}

// Distances wider than 32 bits keep only their low 32 bits; 2^31 counts in full, not as -2^31.
TEST(Estimate, WideOffsetDistancesStayDefined) {
  SampleRing::Slots slots = all({0, 0, 0});
  slots[0].offset_us = INT64_C(1) << 31;
  EXPECT_EQ(estimate(slots, true, 0).jitter, (INT64_C(1) << 31) / 40);
  slots[0].offset_us = (INT64_C(1) << 32) + 80;
  EXPECT_EQ(estimate(slots, true, 0).jitter, 2);
  slots[0].offset_us = INT64_MIN;
  slots[1].offset_us = INT64_MAX;
  slots[39].offset_us = INT64_MAX;
  const Estimate e = estimate(slots, true, INT64_MAX);
  EXPECT_TRUE(e.state == 'O' || e.state == 'S');
}

// An upstream counting through 0xffffffff to 0: 20 samples before the wrap, 20 after, each
// 0 to 4 ms late. The spread figures must be those of a counter that never wraps, seen from the
// reference slot's side; the ID and its microseconds come out of the wrap as they went in.
TEST(Estimate, FiguresAcrossTheIdWrap) {
  constexpr std::int64_t kTurnUs = (INT64_C(1) << 32) * kIdDurationUs;
  const std::int64_t start_ms = 1000000;
  SampleRing::Slots slots;
  std::int64_t endless[kRingSize];  // the offsets of a 64-bit counter, in the reference's turn
  for (int k = 0; k < kRingSize; ++k) {
    const std::int64_t count = (INT64_C(1) << 32) - 20 + k;
    const std::int64_t arrival_ms = start_ms + 100 * k + (k * 7) % 5;
    slots[k] = sample(arrival_ms, static_cast<std::uint32_t>(count));
    endless[k] = ms(arrival_ms) - count * kIdDurationUs + kTurnUs;
  }
  std::int64_t jitter = 0, jitter0 = endless[kRingSize - 1];
  for (int k = 0; k < kRingSize - 1; ++k) {
    jitter += std::llabs(endless[k] - endless[kRingSize - 1]);
    jitter0 += endless[k] / -(kRingSize - 1);
  }
  const Estimate e = estimate(slots, true, ms(start_ms + 3950));
  EXPECT_EQ(e.jitter, jitter / kRingSize);
  EXPECT_EQ(e.jitter0, static_cast<std::int32_t>(jitter0));
  EXPECT_LT(std::abs(e.jitter0), 5000);
  // The earliest of the smallest offsets: slot 0, on time, 3950 ms and 39.5 IDs before now.
  EXPECT_EQ(e.id, 19u);
  EXPECT_EQ(e.micros, 50000u);
}

// The ring's basis, made at each store, gives the scan's lines: byte for byte without a rate;
// with one, the same but for the µs, which may differ by 1 (the sum's order). Random rings of
// a real upstream's samples (delay, gaps, IDs near the 32-bit wrap, a ring that holds the
// wrap), rates within the bound, and moments up to a minute after the newest sample.
TEST(Estimate, FromTheBasisAsFromTheScan) {
  std::mt19937_64 rng(20261209);
  const auto uniform = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
  };
  for (int ring_case = 0; ring_case < 400; ++ring_case) {
    SampleRing ring;
    const auto first = static_cast<std::uint32_t>(ring_case % 2 ? 0xffffffffu - uniform(0, 60)
                                                                : uniform(0, 0xffffffffu));
    std::int64_t at = uniform(0, std::int64_t{1} << 40);
    const double rate = ring_case % 3 == 0 ? 0 : uniform(-1000, 1000) * 1e-6;
    const UpstreamRate with{rate, ring_case % 3 == 0 ? std::nullopt : std::optional(rate), 0};
    const int stores = static_cast<int>(uniform(0, 2 * kRingSize));
    ring.prime(make_sample(first, at), with);
    for (int k = 1; k <= stores; ++k) {
      at += kIdDurationUs + uniform(-500, 3000);
      ring.store(make_sample(first + static_cast<std::uint32_t>(k), at), with);
    }
    if (ring_case % 5 == 0) ring.set_connected(false);
    const SampleRing::Snapshot snap = ring.snapshot();
    for (int moment = 0; moment < 20; ++moment) {
      const std::int64_t now = at + uniform(0, 60000000);
      const Estimate scan = estimate(snap.slots, snap.connected, now, snap.rate.in_use);
      const Estimate from = estimate(ring.basis(), now);
      const std::int64_t apart =
          std::int64_t{static_cast<std::int32_t>(from.id - scan.id)} * kIdDurationUs + from.micros -
          scan.micros;
      ASSERT_LE(std::abs(apart), snap.rate.in_use ? 1 : 0) << ring_case << " " << moment;
      ASSERT_EQ(std::tie(from.state, from.jitter, from.jitter0),
                std::tie(scan.state, scan.jitter, scan.jitter0))
          << ring_case << " " << moment;
    }
  }
}

// --- the upstream's rate, and the estimate with it ---

// An upstream whose IDs run fast by ppm, heard ten times a second through 300 µs of delay plus
// an exponential one of mean 20 µs, at whole µs.
class Upstream {
 public:
  explicit Upstream(double ppm, std::uint32_t first = 1000) : rate_(ppm * 1e-6), first_(first) {}
  Sample next() {
    const double begins = kEpochUs + static_cast<double>(n_) * kIdDurationUs / (1 + rate_);
    last_delay_us = drift_us + delay_(rng_);
    const std::int64_t arrival = std::llround(begins + 300 + last_delay_us);
    return make_sample(static_cast<std::uint32_t>(first_ + n_++ + jump), arrival);
  }
  // The estimate's error at now_us: its position minus the upstream's, µs.
  double error_us(const Estimate& e, std::int64_t now_us) const {
    const std::uint32_t ids = e.id - first_;
    return ids * 1e5 + e.micros - static_cast<double>(now_us - kEpochUs) * (1 + rate_);
  }
  std::int64_t jump = 0;     // added to every ID from the next on
  double drift_us = 0;       // the path's delay beyond its smallest, from the next on
  double last_delay_us = 0;  // of the last sample, beyond the smallest

 private:
  static constexpr std::int64_t kEpochUs = 1000000000;
  double rate_;
  std::uint32_t first_;
  std::int64_t n_ = 0;
  std::mt19937_64 rng_{7};
  std::exponential_distribution<double> delay_{1.0 / 20};
};

// Feeds the tracker that many seconds of the upstream; the rate it gives then, in ppm.
std::optional<double> feed(RateTracker& t, Upstream& u, double seconds) {
  for (int i = 0; i < seconds * 10; ++i) t.add(u.next());
  if (!t.rate()) return std::nullopt;
  return *t.rate() * 1e6;
}

SampleRing::Slots ring_of(Upstream& u) {
  SampleRing::Slots slots;
  for (Sample& s : slots) s = u.next();
  return slots;
}

TEST(Rate, FoundWithinTwoPpmAfterAMinute) {
  for (const double ppm : {-1000.0, -200.0, 0.0, 200.0, 1000.0}) {
    RateTracker t;
    Upstream u(ppm);
    EXPECT_NEAR(feed(t, u, 60).value_or(1e9), ppm, 2) << ppm;
  }
}

TEST(Rate, NoneUnderTenSecondsOfHistoryAndTheBoundBeyondIt) {
  RateTracker t;
  Upstream u(200);
  EXPECT_FALSE(feed(t, u, 9.9));
  EXPECT_TRUE(feed(t, u, 1.5));
  // Ten seconds from the first sample to the newest, whichever second's lowest the newest is:
  // where offsets rise (an upstream running slow) each second's lowest is its first sample.
  // A fast one sends the hundredth announcement after the first a little under 10 s after it.
  for (const double ppm : {-200.0, 200.0}) {
    RateTracker mid;
    Upstream w(ppm);
    for (int i = 0; i < 5; ++i) w.next();  // the history begins half a second into a second
    EXPECT_FALSE(feed(mid, w, 9.9)) << ppm;
    EXPECT_TRUE(feed(mid, w, 0.2)) << ppm;
  }
  for (const double ppm : {-1500.0, 1500.0, 3000.0}) {
    RateTracker far;
    Upstream v(ppm);
    EXPECT_EQ(feed(far, v, 60).value_or(0), ppm < 0 ? -1000 : 1000) << ppm;
    EXPECT_NEAR(far.measured_rate().value_or(1) * 1e6, ppm, 2) << "found, not given: " << ppm;
  }
}

TEST(Rate, BeyondTheBoundOnlyPastItsMarginAndWithinAgainOnlyInsideIt) {
  for (const auto& [ppm, was_beyond, beyond] : {std::tuple{1004.9, false, false},
                                                {1005.1, false, true},
                                                {-1005.1, false, true},
                                                {995.1, true, true},
                                                {-995.1, true, true},
                                                {994.9, true, false},
                                                {-994.9, true, false}}) {
    EXPECT_EQ(beyond_bound(ppm * 1e-6, was_beyond), beyond) << ppm << " " << was_beyond;
  }
}

// IDs that jump forward lie far below the envelope at once; back, far above, as many in a row
// as the tracker is told (40 by default), the history starting again with the first of them.
TEST(Rate, StepsStartTheHistoryAfreshAndNeverBendTheRate) {
  for (const auto& [run, jump, taken_after] : {std::tuple{RateTracker::kStepRun, 5000, 1},
                                               {RateTracker::kStepRun, -5000, 40},
                                               {RateTracker::kShortStepRun, 5000, 1},
                                               {RateTracker::kShortStepRun, -5000, 5}}) {
    RateTracker t(run);
    Upstream u(200);
    feed(t, u, 60);
    u.jump = jump;
    int samples = 0;
    std::int64_t first_after = 0;
    while (t.steps() == 0 && samples++ < 100) {
      const Sample s = u.next();
      if (samples == 1) first_after = s.arrival_us;
      t.add(s);
      EXPECT_NEAR(t.rate().value_or(200e-6) * 1e6, 200, 2) << jump;
    }
    EXPECT_EQ(samples, taken_after) << run << " " << jump;
    EXPECT_EQ(t.history_began_us(), first_after) << run << " " << jump;
    EXPECT_FALSE(feed(t, u, 5)) << jump;
    EXPECT_NEAR(feed(t, u, 30).value_or(1e9), 200, 2) << jump;
    EXPECT_EQ(t.steps(), 1) << jump;
  }
}

// A run that shows a step with samples 20 ms early among it ('e'): fewer than three that early
// start no history, so that the next early sample lies below the envelope; three are a shift.
TEST(Rate, EarlySamplesAmongAStepsRunStartNoHistory) {
  for (const auto& [run, left_out, next_early_above_us] :
       {std::tuple{".....", 0, -20000.0},
        {"e....", 1, -20000.0},
        {"....e", 1, -20000.0},
        {".e.e.", 2, -20000.0},
        {"ee.e.", 0, 0.0}}) {
    RateTracker t(RateTracker::kShortStepRun, RateTracker::kShortLineSpanUs);
    Upstream u(0);
    feed(t, u, 5);
    u.jump = -1;
    std::vector<std::int64_t> early_at;
    for (const char* c = run; *c; ++c) {
      Sample s = u.next();
      if (*c == 'e') early_at.push_back((s = make_sample(s.id, s.arrival_us - 20000)).arrival_us);
      t.add(s, 500);
    }
    ASSERT_EQ(t.steps(), 1) << run;
    const LeftOutAtStep& out = t.left_out_at_step();
    ASSERT_EQ(out.count, left_out) << run;
    for (int i = 0; i < left_out; ++i) EXPECT_EQ(out.arrival_us[i], early_at[i]) << run;
    const Sample next = u.next();
    EXPECT_NEAR(*t.above_envelope(next.arrival_us - 20000, next.offset_us - 20000),
                next_early_above_us, 500)
        << run;
  }
}

// With a short line span the envelope follows a slow upstream's offsets from 2 s on, so that
// a sample 2 ms early shows 2 ms below it; by default, its smallest offset until 10 s.
TEST(Rate, AShortLineSpanDrawsTheEnvelopeSooner) {
  for (const auto& [line_span_us, below_us] :
       {std::pair{RateTracker::kShortLineSpanUs, 2000.0}, {RateTracker::kMinSpanUs, 1000.0}}) {
    RateTracker t(RateTracker::kStepRun, line_span_us);
    Upstream u(-200);
    feed(t, u, 5);
    const Sample s = u.next();
    EXPECT_NEAR(*t.above_envelope(s.arrival_us, s.offset_us - 2000), -below_us, 150);
    EXPECT_FALSE(t.rate());
  }
}

TEST(Rate, TheIdWrapIsNoStep) {
  RateTracker t;
  Upstream u(-200, 0xffffffffu - 300);  // wraps 30 s in
  feed(t, u, 20);
  for (int i = 0; i < 400; ++i) ASSERT_NEAR(feed(t, u, 0.1).value_or(1e9), -200, 2) << i;
  EXPECT_EQ(t.steps(), 0);
}

// Across a wrap the plain minimum sees only the samples before it: the same wherever the
// fastest sample came before it (here the oldest, as the upstream runs slow).
TEST(EstimateWithRate, AtRateZeroThePlainEstimate) {
  for (const auto& [ppm, first] : {std::pair{-500.0, 1000u}, {500.0, 1000u}, {-500.0, ~0u - 20}}) {
    Upstream u(ppm, first);
    const SampleRing::Slots slots = ring_of(u);
    const std::int64_t now = slots[kRingSize - 1].arrival_us + 50000;
    const Estimate plain = estimate(slots, true, now), zero = estimate(slots, true, now, 0.0);
    EXPECT_EQ(std::tie(plain.id, plain.micros, plain.state, plain.jitter, plain.jitter0),
              std::tie(zero.id, zero.micros, zero.state, zero.jitter, zero.jitter0));
    const auto lowest = std::min_element(
        slots.begin(), slots.end(), [](auto& a, auto& b) { return a.offset_us < b.offset_us; });
    EXPECT_EQ(carried_min_offset(slots, 0, now), lowest->offset_us);
  }
}

// Samples 300 µs late and at best about 1 µs more: the estimate with the rate is that late.
// Without it, a slow upstream's oldest sample leads it by the rate times the ring's span.
TEST(EstimateWithRate, CarriesTheSamplesForwardWithoutBias) {
  for (const auto& [ppm, plain_off_by] : {std::pair{-500.0, 1500.0}, {500.0, 25.0}}) {
    Upstream u(ppm);
    const SampleRing::Slots slots = ring_of(u);
    const std::int64_t now = slots[kRingSize - 1].arrival_us + 50000;
    EXPECT_NEAR(u.error_us(estimate(slots, true, now, ppm * 1e-6), now), -300, 3) << ppm;
    EXPECT_GT(std::abs(u.error_us(estimate(slots, true, now), now) + 300), plain_off_by) << ppm;
  }
}

// A sample after the wrap 2 ms ahead of the rest decides, less its own delay, although the
// raw offsets of those before the wrap are a turn smaller.
TEST(EstimateWithRate, ComparesOffsetsAcrossTheIdWrap) {
  Upstream u(-500, ~0u - 20);
  SampleRing::Slots slots = ring_of(u);
  slots[30].offset_us -= 2000;
  const std::int64_t now = slots[kRingSize - 1].arrival_us + 50000;
  EXPECT_NEAR(u.error_us(estimate(slots, true, now, -500e-6), now), -300 + 2000, 50);
}

// --- the error bound ---

TEST(Rate, UncertaintyCoversTheRateFoundsError) {
  for (const double ppm : {-1000.0, -200.0, 0.0, 200.0, 1000.0}) {
    RateTracker t;
    Upstream u(ppm);
    const double found = feed(t, u, 60).value_or(1e9);
    EXPECT_LE(std::abs(found - ppm), std::max(t.uncertainty(), kMinRateUncertainty) * 1e6) << ppm;
    EXPECT_LT(t.uncertainty(), 5e-6) << "sharp enough to use: " << ppm;
  }
}

// A path whose delay grows by 6 µs over 20 s after its fastest seconds, and falls back: its
// line slopes as an upstream's 0.3 ppm off would, and only its doubt says where the fastest
// samples lie.
TEST(Rate, TheEnvelopesDoubtCoversAPathThatDriftsForAWhile) {
  for (const bool track_rate : {false, true}) {
    RateTracker t = track_rate
                        ? RateTracker(RateTracker::kShortStepRun, RateTracker::kShortLineSpanUs)
                        : RateTracker();
    Upstream u(0);
    for (int i = 0; i < 600; ++i) {
      const double s = i / 10.0;
      u.drift_us = s < 2 ? 0 : 6 * std::min(s - 2, std::max(0.0, 42 - s)) / 20;
      const Sample sample = u.next();
      t.add(sample);
      if (s < 10) continue;
      // Where a sample without delay beyond the smallest would have lain.
      const double fastest_above =
          *t.above_envelope(sample.arrival_us, sample.offset_us) - std::round(u.last_delay_us);
      ASSERT_GE(fastest_above, -t.envelope_doubt_us(sample.arrival_us, kMinRateUncertainty) - 1.5)
          << track_rate << " " << s;
    }
  }
}

TEST(Bound, AllowanceFollowsWhatIsKnownOfTheRate) {
  struct Case {
    const char* rule;
    RateKnowledge rate;
    double ppm;
  };
  const Case table[] = {
      {"no rate found: the drift assumed", {std::nullopt, 0, true, 250e-6}, 250},
      {"corrected: the fit's uncertainty", {-200e-6, 3e-6, true}, 3},
      {"corrected: at least 1 ppm", {-200e-6, 0.2e-6, true}, 1},
      {"corrected at the bound: the rest in full", {1100e-6, 2e-6, true}, 102},
      {"uncorrected: the rate and its uncertainty", {-200e-6, 2e-6, false}, 202},
  };
  for (const Case& c : table) EXPECT_NEAR(rate_allowance(c.rate) * 1e6, c.ppm, 1e-9) << c.rule;
}

TEST(Bound, GrowsFromTheRestingSampleIntoHoldoverThenUnsynchronised) {
  Basis b;
  b.connected = true;
  b.rest_arrival_us = b.newest_arrival_us = ms(1000);
  b.bound_fixed_us = 1000.5;
  b.bound_growth = 1e-3;
  struct Case {
    const char* rule;
    std::int64_t at_ms;
    bool connected;
    Bound want;
  };
  const Case table[] = {
      {"at the sample", 1000, true, {1001, false, false}},
      {"0.5 s on: still fresh", 1500, true, {1501, false, false}},
      {"later: holdover", 1501, true, {1502, true, false}},
      {"disconnected: holdover at once", 1000, false, {1001, true, false}},
      {"half an ID: unsynchronised", 49999, true, {50000, false, true}},
      {"a clock behind the sample: no negative age", 900, true, {1001, false, false}},
  };
  for (const Case& c : table) {
    b.connected = c.connected;
    const Bound got = bound_at(b, ms(c.at_ms));
    EXPECT_EQ(std::tie(got.us, got.holdover, got.unsynchronised),
              std::tie(c.want.us, c.want.holdover, c.want.unsynchronised))
        << c.rule;
  }
}

// A ring primed with a sample at offset 0 and filled with ones at +500 µs, under a bound of
// 100 µs that does not grow: the next store takes the first sample's last copy away.
void fill_for_checks(SampleRing& ring, const SampleRing::BasisCompletion& bound) {
  ring.prime(make_sample(10, ms(1000)), {}, bound);
  for (std::int64_t i = 1; i < kRingSize; ++i) {
    ring.store(make_sample(static_cast<std::uint32_t>(10 + i), ms(1000 + 100 * i) + 500), {},
               bound);
  }
}

TEST(Bound, EachSampleChecksTheBoundGivenBeforeIt) {
  const auto bound = [](Basis& b) {
    b.bound_known = true, b.bound_fixed_us = 100, b.bound_growth = 0;
  };
  struct Case {
    const char* rule;
    std::int64_t offset_us;  // of the sample that checks
    bool late, early;
  };
  const Case table[] = {
      {"within the bound below: the estimate follows it", -100, false, false},
      {"further below: late", -101, true, false},
      {"within the bound above, as the resting sample leaves", 100, false, false},
      {"further above: the estimate moves back, early", 101, false, true},
  };
  for (const Case& c : table) {
    SampleRing ring;
    fill_for_checks(ring, bound);
    const Basis before = ring.basis();
    const Sample s = make_sample(50, ms(5000) + c.offset_us);
    ring.store(s, {}, bound);
    const BoundCheck check = check_bound(before, ring.basis(), s);
    EXPECT_TRUE(check.checked) << c.rule;
    EXPECT_EQ(check.late_miss, c.late) << c.rule;
    EXPECT_EQ(check.early_miss, c.early) << c.rule;
  }
  SampleRing ring;
  fill_for_checks(ring, bound);
  EXPECT_FALSE(check_bound(Basis{}, ring.basis(), make_sample(50, ms(5000))).checked)
      << "no bound given yet";
}

// An upstream 100 ppm fast falls silent for 60 s, under a bound of 100 µs growing at 101 ppm,
// and comes back with its first sample late: until one on time has come, the estimate rests
// on that sample, and the bound must reach down to what the holdover allowed.
TEST(Bound, AfterASilenceReachesDownToWhatTheHoldoverAllowed) {
  for (const std::int64_t first_late_us : {0, 500, 5000}) {
    SilenceRecovery recovery;
    std::int64_t now_us = 0;
    SampleRing ring;
    const auto bound = [&](Basis& b) {
      b.bound_known = true, b.bound_growth = 101e-6;
      b.bound_fixed_us = 100 + recovery.extra_us(b, now_us);
    };
    const auto store = [&](std::uint32_t id, std::int64_t offset_us) {
      const Sample s = make_sample(id, static_cast<std::int64_t>(id) * ms(100) + offset_us);
      const Basis before = ring.basis();
      recovery.see(before, s);
      now_us = s.arrival_us;
      ring.store(s, {}, bound);
      return check_bound(before, ring.basis(), s).late_miss;
    };
    ring.prime(make_sample(0, 0), {}, bound);
    for (std::uint32_t id = 1; id < kRingSize; ++id) store(id, 0);
    const std::uint32_t back = kRingSize + 600;  // 60 s on: 6 ms earlier by the local clock
    EXPECT_FALSE(store(back, -6000 + first_late_us)) << first_late_us;
    EXPECT_FALSE(store(back + 1, -6000)) << first_late_us;
    for (std::uint32_t k = 2; k <= SilenceRecovery::kSamples; ++k) store(back + k, -6000);
    EXPECT_EQ(recovery.extra_us(ring.basis(), now_us), 0) << first_late_us << ": ten have come";
  }
}

// --- holding out a sample far below the envelope ---

// Heights above the envelope, one a sample, after ten seconds of samples at a given height;
// what each does: '.' counts, 'w' waits, 'c' confirms those waiting, 'x' counts and leaves
// those waiting out for good.
TEST(HoldOut, ASampleFarBelowWaitsForTwoMoreThatLow) {
  const std::optional<double> kNone;
  struct Case {
    const char* rule;
    double before_us;
    std::vector<std::optional<double>> heights;
    const char* verdicts;
  };
  for (const Case& c : std::vector<Case>{
           {"near the envelope, either side", 30, {10, -150, 30, -199}, "...."},
           {"one far below", 30, {-2000, 20}, "wx"},
           {"two far below", 30, {-2000, -300, 5000}, "wwx"},
           {"three far below: a shift", 30, {-2000, -2100, -1900, -1900}, "wwcw"},
           {"no envelope yet", 30, {kNone, -2000, kNone}, ".wx"},
           {"samples lately 190 us below explain 350 (and then 700)", -190, {-350, -800, 0}, ".wx"},
           {"delays far above explain nothing below", 5000, {-800, 0}, "wx"},
           {"a step's heights are no noise", 60000, {-2000, 0}, "wx"},
       }) {
    HoldOut h;
    for (int i = 0; i < HoldOut::kNoiseSamples; ++i) h.judge({}, c.before_us);
    int waiting = 0;
    for (std::size_t i = 0; i < c.heights.size(); ++i) {
      const HoldOut::Verdict v = h.judge({std::int64_t(i), 0, 0}, c.heights[i]);
      const char verdict = !v.counts ? 'w' : v.confirmed ? 'c' : v.held_out ? 'x' : '.';
      EXPECT_EQ(verdict, c.verdicts[i]) << c.rule << ", sample " << i;
      EXPECT_EQ(v.confirmed + v.held_out, v.counts ? waiting : 0) << c.rule << ", sample " << i;
      EXPECT_EQ(v.admitted_count, v.counts ? 1 + v.confirmed : 0) << c.rule << ", sample " << i;
      if (v.counts) {
        EXPECT_EQ(v.admitted[v.admitted_count - 1].arrival_us, std::int64_t(i)) << c.rule;
      }
      waiting = v.counts ? 0 : waiting + 1;
    }
  }
}

// A held-out sample stays in the ring but not in the smallest offset; confirmed, it counts;
// a step leaves those from before it out.
TEST(Ring, CountingDecidesTheSmallestOffset) {
  for (const auto& [rule, counting, newest, lowest] :
       {std::tuple{"the two held out stay out", Counting{}, -500, -1000},
        {"the newest held out too", Counting{false, 0, std::nullopt}, -1500, -1000},
        {"two before it confirmed", Counting{true, 2, std::nullopt}, -500, -2000},
        {"three before it confirmed", Counting{true, 3, std::nullopt}, -500, -3000},
        {"only from a step on", Counting{true, 0, ms(1400)}, -500, -500},
        {"but one left out at it", Counting{true, 0, ms(1300), {{ms(1300)}, 1}}, -500, -500}}) {
    SampleRing ring;
    ring.prime({ms(1000), 10, 0});
    for (const auto& [at_ms, offset_us, counts] :
         {std::tuple{1100, -3000, false}, {1200, -2000, false}, {1300, -1000, true}}) {
      ring.store({ms(at_ms), 11, offset_us}, {}, {}, {counts, 0, std::nullopt});
    }
    ring.store({ms(1400), 12, newest}, {}, {}, counting);
    EXPECT_EQ(ring.basis().lowest_offset_us, lowest) << rule;
    EXPECT_EQ(ring.basis().rest_offset_us, lowest) << rule;
    EXPECT_EQ(ring.basis().jitter, estimate(ring.snapshot().slots, true, 0).jitter) << rule;
  }
}

}  // namespace
}  // namespace eventid
