// The C interface: every call checks its arguments and answers with a code. Only opening
// allocates (names, readers), and what it throws ends there: no exception leaves the library.
#include "eventid.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "delivery/id_line.h"
#include "reader.h"

struct eventid_source {
  eventid::client::SegmentReader* segment = nullptr;  // one of the two
  eventid::client::SocketReader* socket = nullptr;
};

namespace {

constexpr std::int64_t kIdUs = 100000;
constexpr std::int32_t kFurthestWait = 36000;        // IDs: an hour
constexpr std::int64_t kSegmentLookEveryUs = 10000;  // a new sample may move the boundary
constexpr std::int64_t kSocketAskEveryUs = 1000000;

int read_into(eventid_source* source, eventid_reading* reading, std::int64_t* resolution_us) {
  return source->segment ? source->segment->read(reading, resolution_us)
                         : source->socket->read(reading, resolution_us);
}

bool usable(const eventid_reading* r) {
  return r && r->size >= eventid::client::kFirstReadingSize;
}

// When the ID `ids` after the reading's begins, rounded up to the clock's steps: a deadline
// between two steps would wake into a reading that has not moved.
std::int64_t beginning_us(const eventid_reading& r, std::int32_t ids, std::int64_t step_us) {
  const std::int64_t at = r.clock_us + ids * kIdUs - static_cast<std::int64_t>(r.micros);
  return (at + step_us - 1) / step_us * step_us;
}

int open_into(eventid_source* source, const std::string& where) {
  if (where.rfind("tcp:", 0) != 0) {
    source->segment = new eventid::client::SegmentReader(where);
    return EVENTID_OK;
  }
  std::string host, port;
  if (!eventid::client::parse_tcp_address(where, &host, &port)) return EVENTID_EINVAL;
  auto reader = std::make_unique<eventid::client::SocketReader>(host, port);
  if (!reader->start()) return EVENTID_EIO;
  source->socket = reader.release();
  return EVENTID_OK;
}

}  // namespace

extern "C" {

int eventid_open(const char* where, eventid_source** out) {
  if (!out) return EVENTID_EINVAL;
  *out = nullptr;
  auto* source = new (std::nothrow) eventid_source;
  if (!source) return EVENTID_ENOMEM;
  int code;
  try {
    code = open_into(source, where && *where ? where : EVENTID_DEFAULT_WHERE);
  } catch (const std::bad_alloc&) {
    code = EVENTID_ENOMEM;
  }
  if (code != EVENTID_OK) {
    eventid_close(source);
    return code;
  }
  *out = source;
  return EVENTID_OK;
}

int eventid_read(eventid_source* source, eventid_reading* reading) {
  if (!source || !usable(reading)) return EVENTID_EINVAL;
  std::int64_t resolution_us;
  return read_into(source, reading, &resolution_us);
}

int eventid_format(const eventid_reading* reading, char* buffer, size_t size) {
  if (!usable(reading) || !buffer) return EVENTID_EINVAL;
  const eventid::Estimate e{reading->id, reading->micros, reading->state, reading->jitter,
                            reading->jitter0};
  const eventid::IdLine line = eventid::format_id_line(e);
  if (size <= line.size) return EVENTID_EINVAL;
  std::memcpy(buffer, line.text, line.size + 1);
  return static_cast<int>(line.size);
}

int eventid_wait(eventid_source* source, uint32_t id, eventid_reading* reading) {
  if (!source || !usable(reading)) return EVENTID_EINVAL;
  const std::int64_t look_every = source->segment ? kSegmentLookEveryUs : kSocketAskEveryUs;
  for (;;) {
    // A reading of its own, of this version's size: a failed read leaves the caller's
    // untouched, and a caller's of an older size gets only what it has room for.
    eventid_reading now_reading = EVENTID_READING_INIT;
    std::int64_t step_us;
    const int code = read_into(source, &now_reading, &step_us);
    if (code != 0) return code;
    const auto ahead = static_cast<std::int32_t>(id - now_reading.id);  // serial order
    if (ahead <= 0) {
      const std::uint32_t size =
          reading->size < sizeof now_reading ? reading->size : sizeof now_reading;
      now_reading.size = reading->size;
      std::memcpy(reading, &now_reading, size);
      return EVENTID_OK;
    }
    if (ahead > kFurthestWait) return EVENTID_ERANGE;
    const std::int64_t now = eventid::client::clock_us();
    const std::int64_t begins = beginning_us(now_reading, ahead, step_us);
    eventid::client::sleep_until_us(begins < now + look_every ? begins : now + look_every);
  }
}

const char* eventid_strerror(int code) {
  switch (code) {
    case EVENTID_OK:
      return "success";
    case EVENTID_ENORELAY:
      return "no relay";
    case EVENTID_ENOTPRIMED:
      return "not primed yet";
    case EVENTID_EUNUSABLE:
      return "unusable segment";
    case EVENTID_EIO:
      return "I/O failure";
    case EVENTID_EINVAL:
      return "invalid argument";
    case EVENTID_ERANGE:
      return "ID too far ahead";
    case EVENTID_ENOMEM:
      return "out of memory";
    default:
      return "unknown error";
  }
}

void eventid_close(eventid_source* source) {
  if (!source) return;
  delete source->segment;
  delete source->socket;
  delete source;
}

}  // extern "C"
