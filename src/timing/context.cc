#include "timing/context.h"

#include <new>

context_t* context_create() {
  return new (std::nothrow) context_t{};
}

void context_destroy(context_t* ctx) {
  delete ctx;
}

namespace {

void store_locked(context_t* ctx, const ID_event_t& sample) {
  ctx->events[ctx->events_idx] = sample;
  ctx->events_idx = (ctx->events_idx + 1) % kRingSize;
}

}  // namespace

void context_prime(context_t* ctx, const ID_event_t& sample) {
  {
    std::lock_guard<std::mutex> guard(ctx->lock);
    ctx->events_idx = kRingSize;
    while (--ctx->events_idx != 0) ctx->events[ctx->events_idx] = sample;
    store_locked(ctx, sample);
  }
  ctx->ever_got_id.store(1, std::memory_order_release);
}

void context_store(context_t* ctx, const ID_event_t& sample) {
  std::lock_guard<std::mutex> guard(ctx->lock);
  store_locked(ctx, sample);
}

void context_snapshot(context_t* ctx, ring_snapshot_t* out) {
  std::lock_guard<std::mutex> guard(ctx->lock);
  for (int i = 0; i < kRingSize; ++i) out->events[i] = ctx->events[i];
  out->connected = ctx->connected.load(std::memory_order_relaxed);
}
