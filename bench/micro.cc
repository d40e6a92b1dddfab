// Microbenchmarks of the relay's per-line work: the estimate, the line format, the parser.
#include <benchmark/benchmark.h>

#include <string>

#include "delivery/id_line.h"
#include "timing/clock.h"
#include "timing/estimate.h"
#include "upstream/chunk.h"

namespace {

using namespace eventid;

const SampleRing& primed_ring() {
  static SampleRing* const ring = [] {
    auto* r = new SampleRing;
    r->prime(make_sample(20, millisecond_clock()));
    r->set_connected(true);
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

// The whole per-line work: clock, lock, ring copy, estimate.
void BM_EstimateNow(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(estimate_now(primed_ring(), millisecond_clock));
}
BENCHMARK(BM_EstimateNow);

void BM_FormatIdLine(benchmark::State& state) {
  const Estimate e{1234567, 42000, 'O', 12, -3};
  for (auto _ : state) benchmark::DoNotOptimize(format_id_line(e));
}
BENCHMARK(BM_FormatIdLine);

// The space nearest the start: the search for the last space walks the whole chunk.
void BM_ParseChunk(benchmark::State& state) {
  const std::string chunk = "EVT 3e8" + std::string(static_cast<size_t>(state.range(0)), '\r');
  for (auto _ : state) benchmark::DoNotOptimize(parse_chunk(chunk.data(), chunk.size(), 1u));
}
BENCHMARK(BM_ParseChunk)->Arg(8)->Arg(9000);

}  // namespace

BENCHMARK_MAIN();
