// The estimate and the ID line over arbitrary ring contents, connected flags and clock
// readings: no undefined behaviour (the sanitizers watch), and every line well formed.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "delivery/id_line.h"
#include "support/id_line_check.h"
#include "timing/estimate.h"

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

  const IdLine line = format_id_line(estimate(slots, connected, now_us));
  if (line.size != std::strlen(line.text) || !id_line_check::well_formed(line.text)) std::abort();
  return 0;
}
