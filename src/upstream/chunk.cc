#include "upstream/chunk.h"

#include <cstring>

namespace eventid {
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

HexToken parse_hex_token(const char* begin, const char* end) {
  const char* p = begin;
  while (p != end && is_space(*p)) ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  // "0x" is a prefix only when a hex digit follows; otherwise the "0" is the number.
  if (end - p >= 3 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0) p += 2;
  if (p == end || hex_digit(*p) < 0) return {HexOutcome::kNoDigits, 0};
  std::uint64_t value = 0;
  for (; p != end && hex_digit(*p) >= 0; ++p) {
    // Stops growing once too wide, so it never overflows however many digits follow.
    if (value <= UINT32_MAX) value = value * 16 + static_cast<std::uint64_t>(hex_digit(*p));
  }
  if (value > UINT32_MAX || (negative && value != 0)) return {HexOutcome::kTooWide, 0};
  return {HexOutcome::kValue, static_cast<std::uint32_t>(value)};
}

ChunkResult parse_chunk(const char* chunk, std::size_t n, std::optional<std::uint32_t> last_id) {
  if (n >= kUpstreamBufferSize) return {ChunkVerdict::kInvalid, 0};
  // The last space, looked for from the end down to the second byte.
  std::size_t space = n > 0 ? n - 1 : 0;
  while (space >= 1 && chunk[space] != ' ') --space;
  if (space < 1) return {ChunkVerdict::kUnparsable, 0};

  const HexToken token = parse_hex_token(chunk + space, chunk + n);
  switch (token.outcome) {
    case HexOutcome::kValue:
      return {ChunkVerdict::kId, token.value};
    case HexOutcome::kNoDigits:
      if (last_id) return {ChunkVerdict::kId, *last_id};
      return {ChunkVerdict::kUnparsable, 0};
    case HexOutcome::kTooWide:
      break;
  }
  return {ChunkVerdict::kUnparsable, 0};
}

ChunkResult ChunkReader::read(const char* chunk, std::size_t n,
                              std::optional<std::uint32_t> last_id) {
  if (inside_invalid_) {
    inside_invalid_ = std::memchr(chunk, '\n', n) == nullptr;
    return {ChunkVerdict::kInvalidRest, 0};
  }
  if (n >= kUpstreamBufferSize) inside_invalid_ = chunk[n - 1] != '\n';
  return parse_chunk(chunk, n, last_id);
}

}  // namespace eventid
