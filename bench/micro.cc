// Microbenchmarks of the relay's per-line work (the estimate, the line format, the parser) and
// of the collector's per-sample work on the upstream's rate.
#include <benchmark/benchmark.h>

#include <array>
#include <random>
#include <string>

#include "delivery/id_line.h"
#include "timing/clock.h"
#include "timing/estimate.h"
#include "timing/rate.h"
#include "upstream/chunk.h"

namespace {

using namespace eventid;

const SampleRing& primed_ring() {
  static SampleRing* const ring = [] {
    auto* r = new SampleRing;
    r->prime(make_sample(20, millisecond_clock()));
    return r;
  }();
  return *ring;
}

void BM_Estimate(benchmark::State& state) {
  const SampleRing::Snapshot snapshot = primed_ring().snapshot();
  const std::int64_t now = millisecond_clock();
  for (auto _ : state) benchmark::DoNotOptimize(estimate(snapshot.slots, true, now));
}
BENCHMARK(BM_Estimate);

// The same line with the upstream's rate: the samples carried forward to now.
void BM_EstimateWithRate(benchmark::State& state) {
  const SampleRing::Snapshot snapshot = primed_ring().snapshot();
  const std::int64_t now = millisecond_clock();
  for (auto _ : state) benchmark::DoNotOptimize(estimate(snapshot.slots, true, now, 200e-6));
}
BENCHMARK(BM_EstimateWithRate);

// A line's estimate from the basis that the ring keeps, without a rate and with one.
void BM_EstimateFromBasis(benchmark::State& state) {
  const Basis basis = make_basis(primed_ring().snapshot().slots, true, std::nullopt);
  const std::int64_t now = millisecond_clock();
  for (auto _ : state) benchmark::DoNotOptimize(estimate(basis, now));
}
BENCHMARK(BM_EstimateFromBasis);

void BM_EstimateFromBasisWithRate(benchmark::State& state) {
  const Basis basis = make_basis(primed_ring().snapshot().slots, true, 200e-6);
  const std::int64_t now = millisecond_clock();
  for (auto _ : state) benchmark::DoNotOptimize(estimate(basis, now));
}
BENCHMARK(BM_EstimateFromBasisWithRate);

// The whole per-line work: clock, lock, the basis copied out of the ring, the estimate.
void BM_EstimateNow(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(estimate(primed_ring().basis(), millisecond_clock()));
  }
}
BENCHMARK(BM_EstimateNow);

void BM_FormatIdLine(benchmark::State& state) {
  const Estimate e{1234567, 42000, 'O', 12, -3};
  for (auto _ : state) benchmark::DoNotOptimize(format_id_line(e));
}
BENCHMARK(BM_FormatIdLine);

// One sample into the tracker, hull fits included, as the collector hands it over: an upstream
// 200 ppm fast, ten samples a second, each late by 300 µs plus an exponential 20 µs on average.
void BM_RateUpdate(benchmark::State& state) {
  std::array<std::int64_t, 1024> delays;
  std::mt19937_64 rng(1);
  std::exponential_distribution<double> exponential(1.0 / 20);
  for (std::int64_t& d : delays) d = 300 + static_cast<std::int64_t>(exponential(rng));
  RateTracker tracker;
  std::int64_t n = 0;
  for (auto _ : state) {
    tracker.add(make_sample(static_cast<std::uint32_t>(n), n * 99980 + delays[n % 1024]));
    ++n;
  }
  state.SetLabel("sizeof " + std::to_string(sizeof(RateTracker)) + " bytes");
}
BENCHMARK(BM_RateUpdate);

// The space nearest the start: the search for the last space walks the whole chunk.
void BM_ParseChunk(benchmark::State& state) {
  const std::string chunk = "EVT 3e8" + std::string(static_cast<size_t>(state.range(0)), '\r');
  for (auto _ : state) benchmark::DoNotOptimize(parse_chunk(chunk.data(), chunk.size(), 1u));
}
BENCHMARK(BM_ParseChunk)->Arg(8)->Arg(9000);

}  // namespace

BENCHMARK_MAIN();
