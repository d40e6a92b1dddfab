// The ID line: one estimate as local clients receive it, e.g. "42.07000 O 12 -3\r\n".
#pragma once

#include <cstddef>

#include "timing/context.h"

// The line buffer, which the server also reuses for what a client sends.
inline constexpr std::size_t kLineBufferSize = 100;
// The longest line: both IDs fields at 10 digits, both jitters at 11 characters, "\r\n".
inline constexpr int kMaxIdLine = 49;

// Writes the ID line for id into s (at most len bytes, NUL included) and returns the count
// that the formatter reports.
int make_id_str(char* s, std::size_t len, ID_t id);
