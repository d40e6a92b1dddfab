// The ID line: one estimate as local clients receive it, e.g. "42.07000 O 12 -3\r\n".
#pragma once

#include <cstddef>

#include "timing/estimate.h"

namespace eventid {

// The longest line: both ID fields at 10 digits, both jitters at 11 characters, and "\r\n".
inline constexpr std::size_t kMaxIdLine = 49;

struct IdLine {
  char text[kMaxIdLine + 1];  // NUL-terminated
  std::size_t size;           // without the NUL
};

IdLine format_id_line(const Estimate& estimate);

}  // namespace eventid
