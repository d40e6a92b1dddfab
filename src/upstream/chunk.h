// Reading the event ID out of one upstream chunk: the bytes that one receive returned.
// The ID is the chunk's last space-separated token, in hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// A chunk that fills the receive buffer is rejected whole.
inline constexpr std::size_t kUpstreamBufferSize = 10000;

enum class hex_outcome { value, no_digits, too_wide };
struct hex_token_t {
  hex_outcome outcome;
  std::uint32_t value;  // set when outcome is value
};

// Parses [begin, end) like strtoull(..., 16): leading white space, an optional sign, an
// optional 0x or 0X, then hex digits of either case up to the first other byte. Reads nothing
// outside the range. A value that does not fit in 32 bits (a negative one included) is too_wide.
hex_token_t parse_hex_token(const char* begin, const char* end);

enum class chunk_verdict {
  id,          // store a sample with this ID
  invalid,     // the chunk filled the buffer
  unparsable,  // no space after the first byte, a token too wide, or no ID at all yet
};
struct chunk_result_t {
  chunk_verdict verdict;
  std::uint32_t id;  // set when verdict is id
};

// last_id is the ID of the previous parsed chunk: a token with no digits repeats it.
chunk_result_t parse_chunk(const char* chunk, std::size_t n, std::optional<std::uint32_t> last_id);
