#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "timing/clock.h"
#include "timing/context.h"
#include "timing/estimate.h"

namespace {

time_value_t at_ms(std::int64_t ms) {
  return {ms / 1000, static_cast<std::int32_t>(ms % 1000) * 1000};
}

// A sample of `id` arriving at local time `ms`, with the offset the collector would store.
ID_event_t sample(std::int64_t ms, std::uint32_t id) {
  return {at_ms(ms), id, ms * 1000 - static_cast<std::int64_t>(id) * kIdDurationUs};
}

struct Ring {
  ID_event_t events[kRingSize];
  explicit Ring(const ID_event_t& all) {
    for (auto& e : events) e = all;
  }
};

// --- context: creation, priming, storing ---

TEST(Context, StartsZeroedAndDestroysNull) {
  context_ptr ctx(context_create());
  ASSERT_NE(ctx, nullptr);
  for (const auto& e : ctx->events) {
    EXPECT_EQ(e.t.tv_sec, 0);
    EXPECT_EQ(e.offset, 0);
    EXPECT_EQ(e.id, 0u);
  }
  EXPECT_EQ(ctx->events_idx, 0);
  EXPECT_EQ(ctx->connected, 0);
  EXPECT_EQ(ctx->ever_got_id, 0);
  EXPECT_FALSE(ctx->host || ctx->service);
  context_destroy(nullptr);
}

TEST(Context, PrimingFillsEverySlotThenStoresAdvance) {
  context_ptr ctx(context_create());
  const ID_event_t a = sample(1000, 1), b = sample(1100, 2), c = sample(1200, 3);
  context_prime(ctx.get(), a);
  EXPECT_EQ(ctx->events_idx, 1);
  context_store(ctx.get(), b);
  context_store(ctx.get(), c);
  EXPECT_EQ(ctx->events_idx, 3);
  EXPECT_EQ(ctx->events[0].id, 1u);
  EXPECT_EQ(ctx->events[1].id, 2u);
  EXPECT_EQ(ctx->events[2].id, 3u);
  for (int i = 3; i < kRingSize; ++i) EXPECT_EQ(ctx->events[i].id, 1u) << "slot " << i;
}

TEST(Context, FortyStoresOverwriteTheLastPrimedSlot) {
  context_ptr ctx(context_create());
  context_prime(ctx.get(), sample(0, 7));
  for (int i = 1; i <= kRingSize; ++i) context_store(ctx.get(), sample(i * 100, 100 + i));
  EXPECT_EQ(ctx->events_idx, 1);
  EXPECT_EQ(ctx->events[0].id, 140u);
  for (const auto& e : ctx->events) EXPECT_NE(e.id, 7u);
}

// A reader must never see a sample whose fields come from two different stores.
TEST(Context, ScanDuringStoresSeesOnlyWholeSamples) {
  context_ptr ctx(context_create());
  context_prime(ctx.get(), sample(0, 0));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::uint32_t i = 1; i < 200000; ++i) context_store(ctx.get(), sample(i * 100, i));
    done = true;
  });
  ring_snapshot_t snap;
  int scans = 0;
  while (!done || scans == 0) {
    context_snapshot(ctx.get(), &snap);
    for (const auto& e : snap.events) {
      ASSERT_EQ(e.t.tv_sec * 1000000 + e.t.tv_usec, static_cast<std::int64_t>(e.id) * 100 * 1000);
      ASSERT_EQ(e.offset, static_cast<std::int64_t>(e.id) * (100000 - kIdDurationUs));
    }
    ++scans;
  }
  writer.join();
}

// --- clock ---

TEST(Clock, ReadsWholeMillisecondsAndNeverGoesBack) {
  time_value_t prev;
  read_clock(&prev);
  for (int i = 0; i < 1000; ++i) {
    time_value_t now;
    read_clock(&now);
    EXPECT_EQ(now.tv_usec % 1000, 0);
    EXPECT_LT(now.tv_usec, 1000000);
    EXPECT_GE(to_microseconds(now), to_microseconds(prev));
    prev = now;
  }
}

// --- estimate ---

TEST(Estimate, PrimedRingJitterFigures) {
  ID_event_t s{at_ms(5000), 0, 1000};
  const ID_t id = estimate_id(Ring(s).events, 1, at_ms(5000));
  EXPECT_EQ(id.jitter, 0);
  EXPECT_EQ(id.jitter0, 25);  // 1000 - 39 * (1000 / 39)
}

TEST(Estimate, ExtrapolatesFromTheClock) {
  const std::int64_t t = 987654321;
  const Ring ring(sample(t, 20));
  ID_t id = estimate_id(ring.events, 1, at_ms(t + 300));
  EXPECT_EQ(id.id_iq, 23u);
  EXPECT_EQ(id.id_sub, 0u);
  id = estimate_id(ring.events, 1, at_ms(t + 301));
  EXPECT_EQ(id.id_iq, 23u);
  EXPECT_EQ(id.id_sub, 1000u);
  id = estimate_id(ring.events, 1, at_ms(t + 399));
  EXPECT_EQ(id.id_iq, 23u);
  EXPECT_EQ(id.id_sub, 99000u);
}

TEST(Estimate, StateFollowsAgeAndConnection) {
  const Ring ring(sample(10000, 5));
  EXPECT_EQ(estimate_id(ring.events, 1, at_ms(16000)).state, 'O');  // exactly 6.0 s
  EXPECT_EQ(estimate_id(ring.events, 1, at_ms(16001)).state, 'S');
  EXPECT_EQ(estimate_id(ring.events, 0, at_ms(10000)).state, 'D');
  EXPECT_EQ(estimate_id(ring.events, 0, at_ms(99999)).state, 'D');
}

TEST(Estimate, AgeIsThatOfTheOldestSlot) {
  Ring ring(sample(20000, 100));
  ring.events[17] = sample(13999, 30);  // 6.001 s old at 20000
  EXPECT_EQ(estimate_id(ring.events, 1, at_ms(20000)).state, 'S');
  ring.events[17] = sample(14000, 30);  // across a second boundary: the borrow
  EXPECT_EQ(estimate_id(ring.events, 1, at_ms(20000)).state, 'O');
}

TEST(Estimate, LowestOffsetDecidesWhereverItSits) {
  for (int slot = 0; slot < kRingSize; ++slot) {
    Ring ring(sample(50000, 400));
    ring.events[slot].offset -= 3000;
    const ID_t id = estimate_id(ring.events, 1, at_ms(50000));
    EXPECT_EQ(id.id_iq, 400u) << "slot " << slot;
    EXPECT_EQ(id.id_sub, 3000u) << "slot " << slot;
  }
}

TEST(Estimate, JitterFiguresFromSpreadOffsets) {
  Ring ring(ID_event_t{at_ms(0), 0, 0});
  ring.events[0].offset = 4000;
  ring.events[1].offset = -4000;
  const ID_t id = estimate_id(ring.events, 1, at_ms(0));
  EXPECT_EQ(id.jitter, 8000 / 40);
  EXPECT_EQ(id.jitter0, 0);  // 4000 / -39 and -4000 / -39 cancel
  ring.events[1].offset = 0;
  EXPECT_EQ(estimate_id(ring.events, 1, at_ms(0)).jitter0, -(4000 / 39));
}

// Distances wider than 32 bits keep only their low 32 bits; 2^31 counts in full, not as -2^31.
TEST(Estimate, WideOffsetDistancesStayDefined) {
  Ring ring(ID_event_t{at_ms(0), 0, 0});
  ring.events[0].offset = INT64_C(1) << 31;
  EXPECT_EQ(estimate_id(ring.events, 1, at_ms(0)).jitter, (INT64_C(1) << 31) / 40);
  ring.events[0].offset = (INT64_C(1) << 32) + 80;
  EXPECT_EQ(estimate_id(ring.events, 1, at_ms(0)).jitter, 2);
  ring.events[0].offset = INT64_MIN;
  ring.events[1].offset = INT64_MAX;
  ring.events[39].offset = INT64_MAX;
  const ID_t id = estimate_id(ring.events, 1, time_value_t{INT64_MAX, 999999});
  EXPECT_TRUE(id.state == 'O' || id.state == 'S');
}

// An upstream counting through 0xffffffff to 0: 20 samples before the wrap, 20 after, each
// 0 to 4 ms late. The spread figures must be those of a counter that never wraps, seen from the
// reference slot's side; the ID and its microseconds come out of the wrap as they went in.
TEST(Estimate, FiguresAcrossTheIdWrap) {
  constexpr std::int64_t kTurnUs = (INT64_C(1) << 32) * kIdDurationUs;
  const std::int64_t start_ms = 1000000;
  ID_event_t ring[kRingSize];
  std::int64_t endless[kRingSize];  // the offsets of a 64-bit counter, in the reference's turn
  for (int k = 0; k < kRingSize; ++k) {
    const std::int64_t count = (INT64_C(1) << 32) - 20 + k;
    const std::int64_t arrival_ms = start_ms + 100 * k + (k * 7) % 5;
    ring[k] = sample(arrival_ms, static_cast<std::uint32_t>(count));
    endless[k] = arrival_ms * 1000 - count * kIdDurationUs + kTurnUs;
  }
  std::int64_t jitter = 0, jitter0 = endless[kRingSize - 1];
  for (int k = 0; k < kRingSize - 1; ++k) {
    jitter += std::llabs(endless[k] - endless[kRingSize - 1]);
    jitter0 += endless[k] / -(kRingSize - 1);
  }
  const ID_t id = estimate_id(ring, 1, at_ms(start_ms + 3950));
  EXPECT_EQ(id.jitter, jitter / kRingSize);
  EXPECT_EQ(id.jitter0, static_cast<std::int32_t>(jitter0));
  EXPECT_LT(std::abs(id.jitter0), 5000);
  // The earliest of the smallest offsets: slot 0, on time, 3950 ms and 39.5 IDs before now.
  EXPECT_EQ(id.id_iq, 19u);
  EXPECT_EQ(id.id_sub, 50000u);
}

TEST(Estimate, CalcIdReadsTheLiveRing) {
  context_ptr ctx(context_create());
  time_value_t now;
  read_clock(&now);
  context_prime(ctx.get(), ID_event_t{now, 77, to_microseconds(now) - 77 * kIdDurationUs});
  ctx->connected = 1;
  ID_t id;
  calc_id(ctx.get(), &id);
  EXPECT_GE(id.id_iq, 77u);
  EXPECT_LE(id.id_iq, 87u);  // within a second, however slow the machine
  EXPECT_EQ(id.state, 'O');
}

}  // namespace
