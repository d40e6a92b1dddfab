// The status listener's request head reader, on any bytes at all: it never reads outside them,
// and what it accepts has the shape that the answer relies on.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "status/http.h"

using namespace eventid;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view received(reinterpret_cast<const char*>(data), size);
  const std::size_t head = request_head_length(received);
  if (head > size || (head > 0 && received[head - 1] != '\n')) std::abort();
  const std::optional<Request> r = parse_request_head(received.substr(0, head ? head : size));
  if (!r) return 0;
  const auto inside = [&](std::string_view part) {
    return part.data() >= received.data() && part.data() + part.size() <= received.data() + size;
  };
  // The path lies in what was received, but for an absolute-form target that names none.
  const bool path_inside = inside(r->path) || r->path == kRootPath;
  if (r->method.empty() || r->path.empty() || r->path[0] != '/' ||
      r->path.find('?') != std::string_view::npos || !inside(r->method) || !path_inside) {
    std::abort();
  }
  return 0;
}
