#include "delivery/id_line.h"

#include <cinttypes>
#include <cstdio>

int make_id_str(char* s, std::size_t len, ID_t id) {
  return std::snprintf(s, len, "%" PRIu32 ".%05" PRIu32 " %c %" PRId32 " %" PRId32 "\r\n", id.id_iq,
                       id.id_sub, id.state, id.jitter, id.jitter0);
}
