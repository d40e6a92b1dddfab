#include "status/http.h"

#include <algorithm>

namespace eventid {
namespace {

// RFC 9110's token characters: what a method and a header's name are made of.
bool is_token(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
  });
}

// The next line of the head, without its line end; advances past it.
std::string_view next_line(std::string_view& rest) {
  const std::size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool is_version(std::string_view v) {
  return v.size() == 8 && v.substr(0, 7) == "HTTP/1." && v[7] >= '0' && v[7] <= '9';
}

// The target's path: as it stands (origin form), or after the scheme and the authority of
// the absolute form ("http://host:port/metrics", which proxies send); empty when neither.
std::string_view target_path(std::string_view target) {
  if (!target.empty() && target[0] == '/') return target;
  const std::size_t scheme_end = target.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) return {};
  const std::string_view scheme = target.substr(0, scheme_end);
  const bool letters = std::all_of(scheme.begin(), scheme.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
  if (!letters) return {};
  const std::string_view rest = target.substr(scheme_end + 3);
  const std::size_t path = rest.find_first_of("/?");
  if (path == 0) return {};  // no authority
  if (path == std::string_view::npos) return kRootPath;
  return rest[path] == '/' ? rest.substr(path) : kRootPath;
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    default:
      return "Internal Server Error";
  }
}

}  // namespace

std::size_t request_head_length(std::string_view received) {
  for (std::size_t at = received.find('\n'); at != std::string_view::npos;
       at = received.find('\n', at + 1)) {
    if (at + 1 < received.size() && received[at + 1] == '\n') return at + 2;
    if (at + 2 < received.size() && received[at + 1] == '\r' && received[at + 2] == '\n') {
      return at + 3;
    }
  }
  return 0;
}

std::optional<Request> parse_request_head(std::string_view head) {
  std::string_view rest = head;
  const std::string_view line = next_line(rest);
  const std::size_t first = line.find(' '), second = line.find(' ', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos) return std::nullopt;
  Request r{line.substr(0, first), target_path(line.substr(first + 1, second - first - 1))};
  if (!is_token(r.method) || r.path.empty() ||
      r.path.find_first_of(" \t\r") != std::string_view::npos ||
      !is_version(line.substr(second + 1))) {
    return std::nullopt;
  }
  r.path = r.path.substr(0, r.path.find('?'));
  for (std::string_view header = next_line(rest); !header.empty(); header = next_line(rest)) {
    const std::size_t colon = header.find(':');
    if (colon == std::string_view::npos || !is_token(header.substr(0, colon))) return std::nullopt;
  }
  return r;
}

std::string http_response(int status, std::string_view content_type, std::string_view body,
                          bool with_body) {
  std::string response = std::string("HTTP/1.1 ") + std::to_string(status) + " " +
                         reason_phrase(status) + "\r\nContent-Type: " + std::string(content_type) +
                         "\r\nContent-Length: " + std::to_string(body.size()) +
                         (status == 405 ? "\r\nAllow: GET, HEAD" : "") +
                         "\r\nConnection: close\r\n\r\n";
  if (with_body) response += body;
  return response;
}

}  // namespace eventid
