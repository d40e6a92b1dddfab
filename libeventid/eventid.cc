// The C interface: every call checks its arguments, catches nothing (the library throws
// nothing: it is built without exceptions) and answers with a code.
#include "eventid.h"

#include <new>
#include <string>

#include "delivery/id_line.h"
#include "reader.h"

using eventid::client::Answer;

struct eventid_source {
  eventid::client::SegmentReader* segment = nullptr;  // one of the two
  eventid::client::SocketReader* socket = nullptr;
};

namespace {

constexpr std::uint32_t kReadingSize = sizeof(eventid_reading);
constexpr std::int64_t kIdUs = 100000;
constexpr std::int32_t kFurthestWait = 36000;        // IDs: an hour
constexpr std::int64_t kSegmentLookEveryUs = 10000;  // a new sample may move the boundary
constexpr std::int64_t kSocketAskEveryUs = 1000000;

int read_answer(eventid_source* source, Answer* answer) {
  return source->segment ? source->segment->read(answer) : source->socket->read(answer);
}

void fill(const Answer& answer, eventid_reading* r) {
  r->id = answer.estimate.id;
  r->micros = answer.estimate.micros;
  r->state = answer.estimate.state;
  r->jitter = answer.estimate.jitter;
  r->jitter0 = answer.estimate.jitter0;
  r->clock_us = answer.clock_us;
}

bool usable(const eventid_reading* r) {
  return r && r->size >= kReadingSize;
}

// When `ids` IDs from the answer's the next one asked for begins, rounded up to the clock's
// steps: a deadline between two steps would wake into a reading that has not moved.
std::int64_t beginning_us(const Answer& answer, std::int32_t ids) {
  const std::int64_t at =
      answer.clock_us + ids * kIdUs - static_cast<std::int64_t>(answer.estimate.micros);
  const std::int64_t step = answer.resolution_us;
  return (at + step - 1) / step * step;
}

}  // namespace

extern "C" {

int eventid_open(const char* where, eventid_source** out) {
  if (!out) return EVENTID_EINVAL;
  *out = nullptr;
  const std::string place = where && *where ? where : EVENTID_DEFAULT_WHERE;
  auto* source = new (std::nothrow) eventid_source;
  if (!source) return EVENTID_ENOMEM;
  std::string host, port;
  if (place.rfind("tcp:", 0) == 0) {
    if (!eventid::client::parse_tcp_address(place, &host, &port)) {
      delete source;
      return EVENTID_EINVAL;
    }
    if (!eventid::client::start_sockets()) {
      delete source;
      return EVENTID_EIO;
    }
    source->socket = new (std::nothrow) eventid::client::SocketReader(host, port);
  } else {
    source->segment = new (std::nothrow) eventid::client::SegmentReader(place);
  }
  if (!source->segment && !source->socket) {
    eventid_close(source);
    return EVENTID_ENOMEM;
  }
  *out = source;
  return EVENTID_OK;
}

int eventid_read(eventid_source* source, eventid_reading* reading) {
  if (!source || !usable(reading)) return EVENTID_EINVAL;
  Answer answer;
  const int code = read_answer(source, &answer);
  if (code == 0) fill(answer, reading);
  return code;
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
    Answer answer;
    const int code = read_answer(source, &answer);
    if (code != 0) return code;
    const auto ahead = static_cast<std::int32_t>(id - answer.estimate.id);  // serial order
    if (ahead <= 0) {
      fill(answer, reading);
      return EVENTID_OK;
    }
    if (ahead > kFurthestWait) return EVENTID_ERANGE;
    const std::int64_t now = eventid::client::clock_us();
    const std::int64_t begins = beginning_us(answer, ahead);
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
  if (source->socket) eventid::client::stop_sockets();
  delete source->segment;
  delete source->socket;
  delete source;
}

}  // extern "C"
