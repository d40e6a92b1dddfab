// The upstream chunk parser against a reference model built on the C library's own
// conversion: a NUL-terminated copy from the last space, strtoull, then the 32-bit rule; and
// the reader of a connection's chunks, fed the input in pieces, against a model of its rule
// for messages too long for the buffer.
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

// The pieces of the input between 0xfe bytes are the receives of one connection; a piece
// that is a lone 0xfd stands for a receive that fills the buffer without a line end.
void read_in_pieces(const std::uint8_t* data, std::size_t size) {
  ChunkReader reader;
  bool inside_invalid = false;
  static const std::string full(kUpstreamBufferSize, 'x');
  for (std::size_t begin = 0; begin < size;) {
    std::size_t end = begin;
    while (end < size && data[end] != 0xfe) ++end;
    std::string piece(reinterpret_cast<const char*>(data) + begin, end - begin);
    begin = end + 1;
    if (piece == "\xfd") piece = full;
    if (piece.empty()) continue;
    ChunkResult want;
    if (inside_invalid) {
      want = {ChunkVerdict::kInvalidRest, 0};
      inside_invalid = piece.find('\n') == std::string::npos;
    } else {
      want = reference(piece.data(), piece.size(), 7u);
      inside_invalid = piece.size() >= kUpstreamBufferSize && piece.back() != '\n';
    }
    const ChunkResult got = reader.read(piece.data(), piece.size(), 7u);
    if (got.verdict != want.verdict || got.id != want.id) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > 4 * kUpstreamBufferSize) return 0;
  read_in_pieces(data + 1, size - 1);
  if (size > kUpstreamBufferSize + 1) return 0;
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
