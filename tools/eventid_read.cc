// eventid-read: prints the current ID line of the relay beside it, read through libeventid.
//
//   eventid-read [--from WHERE] [--count N] [--interval MS] [--wait] [--bound]
//
// Exit status: 0, or one of kStatuses below for why nothing could be read (one line on standard
// error says it), 64 for a usage error.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "eventid.h"

namespace {

constexpr int kUsageError = 64;

struct Options {
  const char* from = nullptr;
  long count = 1;
  bool count_given = false;
  long interval_ms = 1000;
  bool wait = false;
  bool bound = false;
};

// The status for each way a read fails.
int status_of(int code) {
  switch (code) {
    case EVENTID_ENORELAY:
      return 1;
    case EVENTID_ENOTPRIMED:
      return 2;
    case EVENTID_EUNUSABLE:
      return 3;
    default:
      return 4;
  }
}

constexpr const char kUsage[] =
    "Usage: eventid-read [OPTION]...\n"
    "Prints the current ID line of the local eventid-relay, read from the segment it publishes.\n"
    "\n"
    "  --from WHERE     read WHERE: a segment's path (Windows: a mapping name), or tcp:HOST:PORT\n"
    "                   for a relay's socket (default " EVENTID_DEFAULT_WHERE
    ")\n"
    "  --count N        print N lines, 0 for no end (default 1; with --wait, 0)\n"
    "  --interval MS    wait MS milliseconds between lines (default 1000)\n"
    "  --wait           print one line as each new ID begins\n"
    "  --bound          after each line, how far it may be off in microseconds (-1: not told)\n"
    "                   and holdover, unsynchronised or - : \"42.07000 O 12 -3 35 -\"\n"
    "  -h, --help       print this usage and exit\n"
    "  -V, --version    print \"eventid-read VERSION\" and exit\n"
    "\n"
    "Exit status: 0; 1 no relay, 2 not primed yet, 3 unusable segment, 4 another failure;\n"
    "64 a usage error.\n";

bool parse_count(const char* text, long high, long* out) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || n > high) return false;
  *out = n;
  return true;
}

int usage_error(const char* option, const char* problem) {
  std::fprintf(stderr, "eventid-read: %s: %s\nTry 'eventid-read --help' for more information.\n",
               option, problem);
  return kUsageError;
}

// 0 when the arguments are sound, the status to end with otherwise (-1: answered).
int parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!std::strcmp(arg, "-h") || !std::strcmp(arg, "--help")) {
      std::fputs(kUsage, stdout);
      return -1;
    }
    if (!std::strcmp(arg, "-V") || !std::strcmp(arg, "--version")) {
      std::printf("eventid-read %s\n", EVENTID_VERSION);
      return -1;
    }
    if (!std::strcmp(arg, "--wait") || !std::strcmp(arg, "--bound")) {
      (arg[2] == 'w' ? o->wait : o->bound) = true;
      continue;
    }
    const bool takes = !std::strcmp(arg, "--from") || !std::strcmp(arg, "--count") ||
                       !std::strcmp(arg, "--interval");
    if (!takes) return usage_error(arg, "unknown option");
    if (i + 1 >= argc) return usage_error(arg, "missing value");
    const char* value = argv[++i];
    if (!std::strcmp(arg, "--from")) {
      o->from = value;
    } else if (!std::strcmp(arg, "--count")) {
      if (!parse_count(value, 1000000000, &o->count)) {
        return usage_error(arg, "not a whole number from 0 to 1000000000");
      }
      o->count_given = true;
    } else if (!parse_count(value, 86400000, &o->interval_ms)) {
      return usage_error(arg, "not a whole number of milliseconds from 0 to 86400000");
    }
  }
  if (o->wait && !o->count_given) o->count = 0;
  return 0;
}

const char* bound_state(const eventid_reading& reading) {
  if (reading.flags & EVENTID_UNSYNCHRONISED) return "unsynchronised";
  return reading.flags & EVENTID_HOLDOVER ? "holdover" : "-";
}

// The line as the relay sends it, less its CR: a text line for shells and pipes.
void print(const eventid_reading& reading, bool bound) {
  char line[EVENTID_LINE_MAX];
  const int length = eventid_format(&reading, line, sizeof line);
  line[length - 2] = '\0';
  if (bound) {
    std::printf("%s %lld %s\n", line, static_cast<long long>(reading.bound_us),
                bound_state(reading));
  } else {
    std::printf("%s\n", line);
  }
  std::fflush(stdout);
}

int fail(const char* where, int code) {
  std::fprintf(stderr, "eventid-read: %s: %s\n", where, eventid_strerror(code));
  return status_of(code);
}

int run(const Options& o, eventid_source* source, const char* where) {
  eventid_reading reading = EVENTID_READING_INIT;
  int code = eventid_read(source, &reading);
  if (code != EVENTID_OK) return fail(where, code);
  if (o.wait) code = eventid_wait(source, reading.id + 1, &reading);
  for (long printed = 0; code == EVENTID_OK;) {
    print(reading, o.bound);
    if (o.count != 0 && ++printed >= o.count) return 0;
    if (o.wait) {
      code = eventid_wait(source, reading.id + 1, &reading);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(o.interval_ms));
      code = eventid_read(source, &reading);
    }
  }
  return fail(where, code);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = parse(argc, argv, &options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  const char* where = options.from && *options.from ? options.from : EVENTID_DEFAULT_WHERE;
  eventid_source* source = nullptr;
  const int code = eventid_open(where, &source);
  if (code != EVENTID_OK) return fail(where, code);
  const int status = run(options, source, where);
  eventid_close(source);
  return status;
}
