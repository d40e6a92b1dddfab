#include <cstdlib>
#include <cstring>

#include "reader.h"

namespace eventid::client {
namespace {

constexpr std::int64_t kAnswerTimeoutUs = 2000000;
constexpr const char* kDefaultPort = "58051";

// Digits into *value, up to the first character that is not one; false for none or too many.
bool take_unsigned(const char*& p, std::uint32_t* value, int max_digits = 10) {
  std::uint64_t n = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (++digits > max_digits) return false;
    n = n * 10 + static_cast<std::uint64_t>(*p - '0');
  }
  if (digits == 0 || n > UINT32_MAX) return false;
  *value = static_cast<std::uint32_t>(n);
  return true;
}

bool take_signed(const char*& p, std::int32_t* value) {
  const bool negative = *p == '-';
  if (negative) ++p;
  std::uint32_t magnitude;
  if (!take_unsigned(p, &magnitude) || magnitude > (negative ? 0x80000000u : 0x7fffffffu)) {
    return false;
  }
  *value = static_cast<std::int32_t>(negative ? 0u - magnitude : magnitude);
  return true;
}

bool take(const char*& p, char c) {
  return *p++ == c;
}

}  // namespace

bool parse_id_line(const char* line, Estimate* e) {
  const char* p = line;
  const char* micros_start = nullptr;
  if (!take_unsigned(p, &e->id) || !take(p, '.')) return false;
  micros_start = p;
  if (!take_unsigned(p, &e->micros, 5) || p - micros_start != 5 || e->micros >= 100000) {
    return false;
  }
  if (!take(p, ' ') || std::strchr("OSD", *p) == nullptr || *p == '\0') return false;
  e->state = *p++;
  return take(p, ' ') && take_signed(p, &e->jitter) && take(p, ' ') &&
         take_signed(p, &e->jitter0) && take(p, '\r') && take(p, '\n') && *p == '\0';
}

bool parse_tcp_address(const std::string& where, std::string* host, std::string* port) {
  if (where.rfind("tcp:", 0) != 0) return false;
  const std::string rest = where.substr(4);
  std::size_t host_end;
  if (!rest.empty() && rest[0] == '[') {
    host_end = rest.find(']');
    if (host_end == std::string::npos) return false;
    *host = rest.substr(1, host_end - 1);
    ++host_end;
  } else {
    host_end = rest.find(':');
    if (host_end == std::string::npos) host_end = rest.size();
    *host = rest.substr(0, host_end);
  }
  if (host->empty()) return false;
  if (host_end == rest.size()) {
    *port = kDefaultPort;
    return true;
  }
  if (rest[host_end] != ':') return false;
  *port = rest.substr(host_end + 1);
  return !port->empty() && port->find_first_not_of("0123456789") == std::string::npos &&
         port->size() <= 5 && std::atoi(port->c_str()) <= 65535 && std::atoi(port->c_str()) > 0;
}

int SocketReader::read(eventid_reading* reading, std::int64_t* resolution_us) const {
  char line[128];
  const int code = fetch_line(host_.c_str(), port_.c_str(), kAnswerTimeoutUs, line, sizeof line);
  if (code != 0) return code;
  Estimate e;
  if (!parse_id_line(line, &e)) return EVENTID_EUNUSABLE;
  reading->id = e.id;
  reading->micros = e.micros;
  reading->state = e.state;
  reading->jitter = e.jitter;
  reading->jitter0 = e.jitter0;
  reading->clock_us = clock_us();
  set_bound(reading, -1, 0);  // the line does not tell it
  *resolution_us = 1;
  return 0;
}

}  // namespace eventid::client
