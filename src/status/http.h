// The little HTTP that the status listener speaks: one request per connection, answered and
// closed. Enough for Prometheus, curl and a browser; nothing else is asked of it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace eventid {

// A request head longer than this is refused.
inline constexpr std::size_t kMostRequestHead = 8192;

// The length of the request head in what has come so far, its empty line included; 0 while
// it has not ended. Lines end in CR LF or a bare LF.
std::size_t request_head_length(std::string_view received);

// The path of an absolute-form target that names none ("http://host:port"): it lies outside
// the head, unlike every other path.
inline constexpr std::string_view kRootPath = "/";

struct Request {
  std::string_view method;
  std::string_view path;  // the target's path, without its query
};

// The request line ("METHOD /path HTTP/1.x", or with the target's absolute form
// "http://host:port/path") and header lines ("Name: value") of a whole
// head; nothing when either is malformed.
std::optional<Request> parse_request_head(std::string_view head);

// A whole response with Content-Length and "Connection: close"; without the body for HEAD.
std::string http_response(int status, std::string_view content_type, std::string_view body,
                          bool with_body);

}  // namespace eventid
