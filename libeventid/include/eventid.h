/* libeventid: the current event ID from the eventid-relay beside the program.
 *
 * A relay started with --publish keeps what its estimate rests on in a small shared-memory
 * segment; a reading then costs a clock read and a few loads, with no system call and no
 * round trip. The same calls also work against a relay's TCP port ("tcp:HOST:PORT"), so that a
 * program runs unchanged against a relay that does not publish, or one on another host.
 *
 *   eventid_source *source;
 *   eventid_reading reading = EVENTID_READING_INIT;
 *   if (eventid_open(NULL, &source) == 0 && eventid_read(source, &reading) == 0)
 *     printf("%u.%05u %c\n", reading.id, reading.micros, reading.state);
 *
 * C99, and C++ as it stands. Every call returns 0 or one of the negative codes below, which
 * keep their values in every later version. One source may be read from several threads at
 * once; eventid_close() must come after every other call on it has returned. */
#ifndef EVENTID_H
#define EVENTID_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(EVENTID_SHARED_BUILD)
#define EVENTID_API __declspec(dllexport)
#elif defined(_WIN32) && defined(EVENTID_SHARED)
#define EVENTID_API __declspec(dllimport)
#elif defined(__GNUC__)
#define EVENTID_API __attribute__((visibility("default")))
#else
#define EVENTID_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Where the packaged relay publishes, and what eventid_open() opens for NULL or "". */
#ifdef _WIN32
#define EVENTID_DEFAULT_WHERE "Global\\eventid-relay"
#else
#define EVENTID_DEFAULT_WHERE "/run/eventid-relay/basis"
#endif

enum {
  EVENTID_OK = 0,
  /* No relay answers: no segment, one its relay marked closed or whose heartbeat is more than
   * 3 s old, or (tcp:) a connection refused or unanswered. */
  EVENTID_ENORELAY = -1,
  /* A relay runs but has had no sample from its upstream yet. */
  EVENTID_ENOTPRIMED = -2,
  /* The segment is not one this library can read: not a regular file, too short, another
   * layout or major version, or another clock; (tcp:) an answer that is not an ID line. */
  EVENTID_EUNUSABLE = -3,
  /* The system failed: a mapping, a socket, a clock. */
  EVENTID_EIO = -4,
  /* A null pointer, a reading whose size is too small, or a malformed tcp: address. */
  EVENTID_EINVAL = -5,
  /* eventid_wait(): the ID asked for begins more than an hour from now. */
  EVENTID_ERANGE = -6,
  /* Memory for a source could not be had. */
  EVENTID_ENOMEM = -7
};

/* One estimate of the upstream's current event ID: the fields of the relay's ID line. */
typedef struct eventid_reading {
  /* Set by the caller to sizeof(eventid_reading) before a call fills it: fields added in later
   * versions come after these, and are filled only when the size leaves room for them. */
  uint32_t size;
  uint32_t id;     /* the current whole event ID */
  uint32_t micros; /* µs elapsed within it, 0 to 99999 */
  char state;      /* 'O' fresh, 'S' stale (no sample for 6 s), 'D' upstream disconnected */
  int32_t jitter;  /* the relay's two jitter figures, in µs */
  int32_t jitter0;
  /* The clock reading the estimate was made at, in µs: CLOCK_MONOTONIC on Linux,
   * QueryPerformanceCounter on Windows (over tcp:, when the line arrived). */
  int64_t clock_us;
  /* Since 1.1. How far the estimate may be off, in µs, against the upstream as its fastest
   * announcements reach the relay (the path's smallest delay is a lag no listener can see);
   * -1 where the relay does not tell it (over tcp:, or a relay older than the library). */
  int64_t bound_us;
  uint32_t flags; /* EVENTID_HOLDOVER, EVENTID_UNSYNCHRONISED; 0 where bound_us is -1 */
} eventid_reading;

/* The upstream is lost, or its newest sample is over 0.5 s old: the estimate runs on the
 * relay's clock alone, and bound_us grows with the time since. Under 50 ms, half an ID. */
#define EVENTID_HOLDOVER 1u
/* bound_us is 50 ms or more: the reading may name the wrong ID. */
#define EVENTID_UNSYNCHRONISED 2u

/* A reading ready to fill, its size set: eventid_reading r = EVENTID_READING_INIT; */
#define EVENTID_READING_INIT \
  { sizeof(eventid_reading), 0, 0, 0, 0, 0, 0, -1, 0 }

typedef struct eventid_source eventid_source;

/* Opens where the relay can be read: NULL or "" for EVENTID_DEFAULT_WHERE, a path (on Windows
 * a file-mapping name) for another segment, or "tcp:HOST:PORT" ("tcp:[::1]:58051" for an IPv6
 * literal) for the relay's socket. A segment that cannot be read yet is no error: the reads
 * say why, and follow a relay that starts or restarts later. Over tcp: no connection is held
 * between reads. On success *source is set; eventid_close() releases it. */
EVENTID_API int eventid_open(const char* where, eventid_source** source);

/* The estimate now. */
EVENTID_API int eventid_read(eventid_source* source, eventid_reading* reading);

/* Writes the reading's ID line, as the relay sends it ("42.07000 O 12 -3\r\n"), with a NUL
 * after it. Returns the line's length without the NUL, or EVENTID_EINVAL when buffer cannot
 * hold it (EVENTID_LINE_MAX bytes always can). */
#define EVENTID_LINE_MAX 50
EVENTID_API int eventid_format(const eventid_reading* reading, char* buffer, size_t size);

/* Sleeps until ID id begins by the estimate, then reads. Returns at once with a reading for an
 * ID already begun (IDs compare in serial order, across the counter's wrap); EVENTID_ERANGE
 * for one more than an hour (36000 IDs) ahead. */
EVENTID_API int eventid_wait(eventid_source* source, uint32_t id, eventid_reading* reading);

/* A short text for a code: "no relay", "not primed yet", ... */
EVENTID_API const char* eventid_strerror(int code);

/* Releases the source; NULL is allowed. */
EVENTID_API void eventid_close(eventid_source* source);

#ifdef __cplusplus
}
#endif

#endif /* EVENTID_H */
