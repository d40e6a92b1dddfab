// Reading the event ID out of one upstream chunk: the bytes that one receive returned. The ID
// is the chunk's last space-separated token, in hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace eventid {

// The collector's receive buffer, and the length from which a message is oversize: a chunk
// that fills the buffer, and a message of this many bytes or more, are rejected whole.
inline constexpr std::size_t kUpstreamBufferSize = 10000;

enum class HexOutcome { kValue, kNoDigits, kTooWide };
struct HexToken {
  HexOutcome outcome;
  std::uint32_t value;  // set for kValue
};

// Parses [begin, end) as strtoull(..., 16) would: white space, an optional sign, an optional 0x
// or 0X, then hex digits of either case up to the first other byte. Reads nothing outside the
// range. A value that does not fit in 32 bits (a negative one included) is kTooWide.
HexToken parse_hex_token(const char* begin, const char* end);

enum class ChunkVerdict {
  kId,           // store a sample with this ID
  kInvalid,      // the first chunk seen of an oversize message
  kUnparsable,   // no space after the first byte, a token too wide, or no ID at all yet
  kInvalidRest,  // more of an invalid message, already reported
};
struct ChunkResult {
  ChunkVerdict verdict;
  std::uint32_t id;  // set for kId
};

// last_id is the ID of the previous parsed chunk: a token with no digits repeats it.
ChunkResult parse_chunk(const char* chunk, std::size_t n, std::optional<std::uint32_t> last_id);

// The chunks of one connection, in order. Each receive is one message, but for an oversize
// one: over a network it comes in several receives, none of which need fill the buffer, and
// its last, shorter, would pass for a message of its own. So the reader counts the bytes since
// the last line end (LF or CR), across receives; a chunk parsed for an ID also ends a message,
// so that an upstream that sends no line ends is read one receive a message. A chunk that
// brings the count to kUpstreamBufferSize or more, or fills the buffer, is an oversize
// message's, and so is every chunk after it up to and including the first that holds a line
// end (discarded whole, whatever follows that). Chunks that keep the count below are parsed as
// they come. What it cannot see: a first piece that itself ends in an ID is taken as one.
class ChunkReader {
 public:
  ChunkResult read(const char* chunk, std::size_t n, std::optional<std::uint32_t> last_id);

 private:
  std::size_t since_line_end_ = 0;  // bytes, up to kUpstreamBufferSize
  bool inside_oversize_ = false;
};

}  // namespace eventid
