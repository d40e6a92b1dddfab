// Microbenchmarks of the relay's per-line work: the estimate, the line format, the parser.
#include <benchmark/benchmark.h>

#include <string>

#include "delivery/id_line.h"
#include "timing/clock.h"
#include "timing/estimate.h"
#include "upstream/chunk.h"

namespace {

context_t* primed_context() {
  static context_ptr ctx = [] {
    context_ptr c(context_create());
    time_value_t now;
    read_clock(&now);
    context_prime(c.get(), ID_event_t{now, 20, to_microseconds(now) - 20 * kIdDurationUs});
    c->connected = 1;
    return c;
  }();
  return ctx.get();
}

void BM_EstimateId(benchmark::State& state) {
  ring_snapshot_t ring;
  context_snapshot(primed_context(), &ring);
  time_value_t now;
  read_clock(&now);
  for (auto _ : state) benchmark::DoNotOptimize(estimate_id(ring.events, 1, now));
}
BENCHMARK(BM_EstimateId);

// The whole per-line work: clock, lock, ring copy, estimate.
void BM_CalcId(benchmark::State& state) {
  ID_t id;
  for (auto _ : state) {
    calc_id(primed_context(), &id);
    benchmark::DoNotOptimize(id);
  }
}
BENCHMARK(BM_CalcId);

void BM_MakeIdStr(benchmark::State& state) {
  char line[kLineBufferSize];
  const ID_t id{1234567, 42000, 'O', 12, -3};
  for (auto _ : state) benchmark::DoNotOptimize(make_id_str(line, sizeof line, id));
}
BENCHMARK(BM_MakeIdStr);

// The space nearest the start: the search for the last space walks the whole chunk.
void BM_ParseChunk(benchmark::State& state) {
  const std::string chunk = "EVT 3e8" + std::string(static_cast<size_t>(state.range(0)), '\r');
  for (auto _ : state) benchmark::DoNotOptimize(parse_chunk(chunk.data(), chunk.size(), 1u));
}
BENCHMARK(BM_ParseChunk)->Arg(8)->Arg(9000);

}  // namespace

BENCHMARK_MAIN();
