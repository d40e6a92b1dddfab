#include "upstream/chunk.h"

#include <algorithm>

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

namespace {

bool is_line_end(char c) {
  return c == '\n' || c == '\r';
}

// Where the chunk's first line end lies; n where it holds none.
std::size_t first_line_end(const char* chunk, std::size_t n) {
  std::size_t i = 0;
  while (i < n && !is_line_end(chunk[i])) ++i;
  return i;
}

// The bytes after the chunk's last line end, in a chunk that holds one.
std::size_t after_last_line_end(const char* chunk, std::size_t n) {
  std::size_t after = 0;
  while (!is_line_end(chunk[n - 1 - after])) ++after;
  return after;
}

// What follows the chunk's last space, looked for from the end down to the second byte; none
// where there is no such space.
std::optional<HexToken> last_token(const char* chunk, std::size_t n) {
  std::size_t space = n > 0 ? n - 1 : 0;
  while (space >= 1 && chunk[space] != ' ') --space;
  if (space < 1) return std::nullopt;
  return parse_hex_token(chunk + space, chunk + n);
}

ChunkResult verdict(const std::optional<HexToken>& token, std::optional<std::uint32_t> last_id) {
  if (!token) return {ChunkVerdict::kUnparsable, 0};
  switch (token->outcome) {
    case HexOutcome::kValue:
      return {ChunkVerdict::kId, token->value};
    case HexOutcome::kNoDigits:
      if (last_id) return {ChunkVerdict::kId, *last_id};
      return {ChunkVerdict::kUnparsable, 0};
    case HexOutcome::kTooWide:
      break;
  }
  return {ChunkVerdict::kUnparsable, 0};
}

}  // namespace

ChunkResult parse_chunk(const char* chunk, std::size_t n, std::optional<std::uint32_t> last_id) {
  if (n >= kUpstreamBufferSize) return {ChunkVerdict::kInvalid, 0};
  return verdict(last_token(chunk, n), last_id);
}

ChunkResult ChunkReader::read(const char* chunk, std::size_t n,
                              std::optional<std::uint32_t> last_id) {
  const std::size_t end = first_line_end(chunk, n);
  const std::size_t reach = end < n ? end + 1 : n;  // the bytes of the message it goes on with
  const bool was_inside = inside_oversize_;
  const bool oversize =
      was_inside || n >= kUpstreamBufferSize || since_line_end_ + reach >= kUpstreamBufferSize;
  since_line_end_ =
      end < n ? after_last_line_end(chunk, n) : std::min(since_line_end_ + n, kUpstreamBufferSize);
  if (oversize) {
    inside_oversize_ = end == n;
    return {was_inside ? ChunkVerdict::kInvalidRest : ChunkVerdict::kInvalid, 0};
  }
  const std::optional<HexToken> token = last_token(chunk, n);
  if (token && token->outcome == HexOutcome::kValue) since_line_end_ = 0;
  return verdict(token, last_id);
}

}  // namespace eventid
