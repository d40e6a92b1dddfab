#include "upstream/chunk.h"

namespace {

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

hex_token_t parse_hex_token(const char* begin, const char* end) {
  const char* p = begin;
  while (p != end && is_space(*p)) ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  // "0x" is a prefix only when a hex digit follows; otherwise the "0" is the number.
  if (end - p >= 3 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0) p += 2;
  if (p == end || hex_digit(*p) < 0) return {hex_outcome::no_digits, 0};
  std::uint64_t value = 0;
  for (; p != end && hex_digit(*p) >= 0; ++p) {
    // Stops growing once too wide, so it never overflows however many digits follow.
    if (value <= UINT32_MAX) value = value * 16 + static_cast<std::uint64_t>(hex_digit(*p));
  }
  if (value > UINT32_MAX || (negative && value != 0)) return {hex_outcome::too_wide, 0};
  return {hex_outcome::value, static_cast<std::uint32_t>(value)};
}

chunk_result_t parse_chunk(const char* chunk, std::size_t n, std::optional<std::uint32_t> last_id) {
  if (n >= kUpstreamBufferSize) return {chunk_verdict::invalid, 0};
  // The last space, looked for from the end down to the second byte.
  std::size_t space = n > 0 ? n - 1 : 0;
  while (space >= 1 && chunk[space] != ' ') --space;
  if (space < 1) return {chunk_verdict::unparsable, 0};

  const hex_token_t token = parse_hex_token(chunk + space, chunk + n);
  switch (token.outcome) {
    case hex_outcome::value:
      return {chunk_verdict::id, token.value};
    case hex_outcome::no_digits:
      if (last_id) return {chunk_verdict::id, *last_id};
      return {chunk_verdict::unparsable, 0};
    case hex_outcome::too_wide:
      break;
  }
  return {chunk_verdict::unparsable, 0};
}
