#include "delivery/id_line.h"

namespace eventid {
namespace {

// The line is made for every request, so it is written by hand: snprintf's parsing of its
// format cost more than the estimate itself.

// n in decimal, at least min_digits of them (zeros in front).
char* put_unsigned(char* p, std::uint32_t n, int min_digits) {
  char reversed[10];
  int count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (count < min_digits) reversed[count++] = '0';
  while (count > 0) *p++ = reversed[--count];
  return p;
}

char* put_signed(char* p, std::int32_t v) {
  if (v >= 0) return put_unsigned(p, static_cast<std::uint32_t>(v), 1);
  *p++ = '-';
  return put_unsigned(p, 0u - static_cast<std::uint32_t>(v), 1);  // INT32_MIN too
}

}  // namespace

// As "%u.%05u %c %d %d\r\n" writes it.
IdLine format_id_line(const Estimate& e) {
  IdLine line;
  char* p = put_unsigned(line.text, e.id, 1);
  *p++ = '.';
  p = put_unsigned(p, e.micros, 5);
  *p++ = ' ';
  *p++ = e.state;
  *p++ = ' ';
  p = put_signed(p, e.jitter);
  *p++ = ' ';
  p = put_signed(p, e.jitter0);
  *p++ = '\r';
  *p++ = '\n';
  *p = '\0';
  line.size = static_cast<std::size_t>(p - line.text);
  return line;
}

}  // namespace eventid
