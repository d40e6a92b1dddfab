// The record that the collector thread and the main thread share, and the records that travel
// through the relay: one stored sample and one estimate.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// A clock reading. Seconds are 64-bit so that the count never wraps.
struct time_value_t {
  std::int64_t tv_sec;
  std::int32_t tv_usec;  // below 1000000
};

inline constexpr int kRingSize = 40;
// How long one event ID lasts: ten IDs a second.
inline constexpr std::int64_t kIdDurationUs = 100000;

// One upstream announcement as stored in the ring.
struct ID_event_t {
  time_value_t t;       // local clock reading when the announcement arrived
  std::uint32_t id;     // the event ID it carried
  std::int64_t offset;  // t in µs minus id × 100000: where ID 0 would have begun
};

// One estimate of the upstream's current event ID.
struct ID_t {
  std::uint32_t id_iq;   // the current whole event ID
  std::uint32_t id_sub;  // µs elapsed inside it
  char state;            // 'O' fresh, 'S' stale, 'D' disconnected
  std::int32_t jitter;   // mean distance of the offsets from the reference slot's, µs
  std::int32_t jitter0;  // reference slot's offset minus the mean of the others, µs
};

// Shared by the collector (the only writer of the ring and the flags) and the main thread.
// `lock` guards `events` and `events_idx`: every store, the priming and every scan hold it, so
// no reader ever sees a half-written sample.
struct context_t {
  ID_event_t events[kRingSize];
  int events_idx;
  std::atomic<int> connected;  // 1 once a sample arrived on the current upstream connection
  std::optional<std::string> host;
  std::optional<std::string> service;
  std::atomic<std::uint8_t> ever_got_id;  // set, once, after the ring has been primed
  std::mutex lock;
};

// A zeroed context, or null when memory is exhausted.
context_t* context_create();
// Releases ctx and its strings; null does nothing.
void context_destroy(context_t* ctx);

struct context_deleter {
  void operator()(context_t* ctx) const { context_destroy(ctx); }
};
using context_ptr = std::unique_ptr<context_t, context_deleter>;

// Fills every slot with the first sample of the run, leaves events_idx at 1, then publishes
// ever_got_id.
void context_prime(context_t* ctx, const ID_event_t& sample);
// Writes the sample at events_idx and advances it modulo the ring size.
void context_store(context_t* ctx, const ID_event_t& sample);
// A consistent copy of the ring and the connected flag, taken under the lock.
struct ring_snapshot_t {
  ID_event_t events[kRingSize];
  int connected;
};
void context_snapshot(context_t* ctx, ring_snapshot_t* out);
