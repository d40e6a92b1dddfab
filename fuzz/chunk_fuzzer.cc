// The upstream chunk parser against a reference model built on the C library's own
// conversion: a NUL-terminated copy from the last space, strtoull, then the 32-bit rule.
// strtoull negates a "-" token in unsigned arithmetic ("-1" gives 2^64 - 1, "-ffffffffffffffff"
// gives 1); the rule applies to the value the token writes, so a negative one fits only as 0.
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "upstream/chunk.h"

using namespace eventid;

namespace {

ChunkResult reference(const char* data, std::size_t n, std::optional<std::uint32_t> last_id) {
  if (n >= kUpstreamBufferSize) return {ChunkVerdict::kInvalid, 0};
  std::size_t space = n - 1;
  while (space >= 1 && data[space] != ' ') --space;
  if (space < 1) return {ChunkVerdict::kUnparsable, 0};
  const std::string token(data + space, n - space);  // stops at the first NUL for strtoull
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(token.c_str(), &end, 16);
  if (end == token.c_str()) {
    return last_id ? ChunkResult{ChunkVerdict::kId, *last_id}
                   : ChunkResult{ChunkVerdict::kUnparsable, 0};
  }
  const char* sign = token.c_str();
  while (std::isspace(static_cast<unsigned char>(*sign))) ++sign;
  const bool fits = *sign == '-' ? value == 0 : value <= UINT32_MAX;
  if (errno == ERANGE || !fits) return {ChunkVerdict::kUnparsable, 0};
  return {ChunkVerdict::kId, static_cast<std::uint32_t>(value)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > kUpstreamBufferSize + 1) return 0;
  // The first byte chooses whether an earlier ID exists; the rest is the chunk, in a buffer
  // of exactly its size so that any read past it is caught.
  const std::optional<std::uint32_t> last_id =
      data[0] & 1 ? std::optional<std::uint32_t>(0x1234) : std::nullopt;
  const std::size_t n = size - 1;
  char* chunk = new char[n];
  std::memcpy(chunk, data + 1, n);
  const ChunkResult got = parse_chunk(chunk, n, last_id);
  const ChunkResult want = reference(chunk, n, last_id);
  delete[] chunk;
  if (got.verdict != want.verdict || got.id != want.id) std::abort();
  return 0;
}
