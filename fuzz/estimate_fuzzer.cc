// The estimate and the ID line over arbitrary ring contents, connected flags and clock
// readings: no undefined behaviour (the sanitizers watch), and every line well formed.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "delivery/id_line.h"
#include "support/id_line_check.h"
#include "timing/estimate.h"

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
  ID_event_t ring[kRingSize];
  for (ID_event_t& e : ring) {
    e.t.tv_sec = take<std::int64_t>(data, size);
    e.t.tv_usec = take<std::int32_t>(data, size);
    e.id = take<std::uint32_t>(data, size);
    e.offset = take<std::int64_t>(data, size);
  }
  const int connected = take<std::int32_t>(data, size);
  time_value_t now;
  now.tv_sec = take<std::int64_t>(data, size);
  now.tv_usec = take<std::int32_t>(data, size);

  const ID_t id = estimate_id(ring, connected, now);
  char line[kLineBufferSize];
  const int n = make_id_str(line, sizeof line, id);
  if (n != static_cast<int>(std::strlen(line)) || !id_line_check::well_formed(line)) std::abort();
  return 0;
}
