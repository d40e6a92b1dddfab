// Whether a text is exactly one ID line: "<id>.<5+ digits> <O|S|D> <int> <int>\r\n", at most
// 49 characters. Shared by the end-to-end tests and the estimate fuzzer.
#pragma once

#include <string_view>

namespace id_line_check {

inline bool digits(std::string_view& s, bool allow_sign, std::size_t min_count = 1) {
  if (allow_sign && !s.empty() && s[0] == '-') s.remove_prefix(1);
  std::size_t n = 0;
  while (n < s.size() && s[n] >= '0' && s[n] <= '9') ++n;
  s.remove_prefix(n);
  return n >= min_count;
}

inline bool literal(std::string_view& s, std::string_view text) {
  if (s.substr(0, text.size()) != text) return false;
  s.remove_prefix(text.size());
  return true;
}

inline bool well_formed(std::string_view line) {
  if (line.size() > 49 || (line.size() > 1 && line[0] == '0' && line[1] != '.')) return false;
  std::string_view s = line;
  if (!digits(s, false) || !literal(s, ".") || !digits(s, false, 5) || !literal(s, " ")) {
    return false;
  }
  if (s.empty() || (s[0] != 'O' && s[0] != 'S' && s[0] != 'D')) return false;
  s.remove_prefix(1);
  return literal(s, " ") && digits(s, true) && literal(s, " ") && digits(s, true) && s == "\r\n";
}

}  // namespace id_line_check
