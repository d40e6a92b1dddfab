#include "delivery/id_line.h"

#include <cinttypes>
#include <cstdio>

namespace eventid {

IdLine format_id_line(const Estimate& e) {
  IdLine line;
  const int n = std::snprintf(line.text, sizeof line.text,
                              "%" PRIu32 ".%05" PRIu32 " %c %" PRId32 " %" PRId32 "\r\n", e.id,
                              e.micros, e.state, e.jitter, e.jitter0);
  line.size = n > 0 ? static_cast<std::size_t>(n) : 0;
  return line;
}

}  // namespace eventid
