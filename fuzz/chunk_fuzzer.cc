// The upstream chunk parser against a reference model built on the C library's own
// conversion: a NUL-terminated copy from the last space, strtoull, then the 32-bit rule; and
// the reader of a connection's chunks, fed the input in pieces, against a model of its rule
// for oversize messages.
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

// The reader's rule, byte by byte: a message's bytes are counted up to its line end (LF or
// CR), across pieces; a piece parsed for an ID ends one too.
struct ReaderModel {
  std::size_t count = 0;
  bool inside_oversize = false;

  ChunkResult read(const std::string& piece) {
    bool oversize = inside_oversize || piece.size() >= kUpstreamBufferSize;
    bool ended = false;
    for (const char c : piece) {
      ++count;
      if (!ended && count >= kUpstreamBufferSize) oversize = true;
      if (c == '\n' || c == '\r') {
        ended = true;
        count = 0;
      }
    }
    if (oversize) {
      const bool rest = inside_oversize;
      inside_oversize = !ended;
      return {rest ? ChunkVerdict::kInvalidRest : ChunkVerdict::kInvalid, 0};
    }
    // Without an earlier ID, only a token with digits gives one.
    if (reference(piece.data(), piece.size(), std::nullopt).verdict == ChunkVerdict::kId) {
      count = 0;
    }
    return reference(piece.data(), piece.size(), 7u);
  }
};

// The pieces of the input between 0xfe bytes are the receives of one connection; a piece
// that is a lone 0xfd stands for a receive that fills the buffer without a line end, a lone
// 0xfc for 4999 bytes without one (two of them and a little more reach the bound).
void read_in_pieces(const std::uint8_t* data, std::size_t size) {
  ChunkReader reader;
  ReaderModel model;
  static const std::string full(kUpstreamBufferSize, 'x'), half(kUpstreamBufferSize / 2 - 1, 'x');
  for (std::size_t begin = 0; begin < size;) {
    std::size_t end = begin;
    while (end < size && data[end] != 0xfe) ++end;
    std::string piece(reinterpret_cast<const char*>(data) + begin, end - begin);
    begin = end + 1;
    if (piece == "\xfd") piece = full;
    if (piece == "\xfc") piece = half;
    if (piece.empty()) continue;
    const ChunkResult want = model.read(piece);
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
