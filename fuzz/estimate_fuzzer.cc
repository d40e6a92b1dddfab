// The estimate and the ID line over arbitrary ring contents, connected flags, clock readings
// and rates, from the scan and from the basis, and the rate tracker fed those samples: no
// undefined behaviour (the sanitizers watch), and every line well formed.
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "delivery/id_line.h"
#include "support/id_line_check.h"
#include "timing/estimate.h"
#include "timing/rate.h"

using namespace eventid;

namespace {

template <typename T>
T take(const std::uint8_t*& data, std::size_t& size) {
  T value{};
  const std::size_t n = size < sizeof value ? size : sizeof value;
  std::memcpy(&value, data, n);
  data += n;
  size -= n;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SampleRing::Slots slots;
  for (Sample& s : slots) {
    s.arrival_us = take<std::int64_t>(data, size);
    s.id = take<std::uint32_t>(data, size);
    s.offset_us = take<std::int64_t>(data, size);
  }
  const bool connected = take<std::int32_t>(data, size) != 0;
  const std::int64_t now_us = take<std::int64_t>(data, size);
  const double rate = take<double>(data, size);

  for (const std::optional<double> r : {std::optional<double>(), std::optional<double>(rate)}) {
    const IdLine line = format_id_line(estimate(slots, connected, now_us, r));
    if (line.size != std::strlen(line.text) || !id_line_check::well_formed(line.text)) std::abort();
    const IdLine from_basis = format_id_line(estimate(make_basis(slots, connected, r), now_us));
    if (!id_line_check::well_formed(from_basis.text)) std::abort();
    // Without a rate the basis keeps the scan's figures whole: the same line, whatever the ring.
    if (!r && std::strcmp(from_basis.text, line.text) != 0) std::abort();
  }
  // The line as snprintf writes its format, for any fields at all.
  const Estimate any{take<std::uint32_t>(data, size), take<std::uint32_t>(data, size),
                     "OSD"[take<std::uint8_t>(data, size) % 3], take<std::int32_t>(data, size),
                     take<std::int32_t>(data, size)};
  char want[64];
  std::snprintf(want, sizeof want, "%" PRIu32 ".%05" PRIu32 " %c %" PRId32 " %" PRId32 "\r\n",
                any.id, any.micros, any.state, any.jitter, any.jitter0);
  if (std::strcmp(format_id_line(any).text, want) != 0) std::abort();
  RateTracker tracker;
  for (const Sample& s : slots) tracker.add(s);
  if (tracker.rate() && std::abs(*tracker.rate()) > kMaxRate) std::abort();
  return 0;
}
