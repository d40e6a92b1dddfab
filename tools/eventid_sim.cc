// eventid-sim: an upstream event-ID server for demos, end-to-end tests and benchmarks.
//
// It issues IDs at ten a second, on a schedule tied to the system clock, and sends every
// client "EVENTID <id in hex>\r\n" when each ID begins (plus the one-way delay it is told to
// add). Its ID clock may run fast or slow against the system clock by R parts per million, as
// a real upstream's does. The true current ID at any moment is known to anyone on this machine:
//
//   true ID at unix time t (µs) = start + floor((t - epoch) × (10^6 + R) / 10^11)
//
// with start, epoch and R from the last line "eventid-sim: truth start=... epoch_us=...
// rate_ppm=..." it printed (a jump prints a new one). Run with --help for the options: delay,
// slower sends, rate, and faults.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "net/net.h"

namespace {

namespace net = eventid::net;

using Clock = std::chrono::system_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::int64_t kIdUs = 100000;
// One ID lasts 100000 µs at the nominal rate: 10^11 µs per million IDs.
constexpr std::int64_t kIdUsPerMillion = kIdUs * 1000000;
// Far enough beyond the relay's bound (1000 ppm) to show what it does past it.
constexpr int kMaxRatePpm = 5000;

enum class GarbageKind { kRandom, kExact, kNul, kNospace, kWide, kSplit, kMixed };

struct Options {
  const char* bind = "127.0.0.1";
  int port = 58050;
  std::uint32_t start = 1000;
  int every = 1;              // send every n-th ID (a slower send interval)
  double delay_ms = 0;        // fixed one-way delay
  double jitter_ms = 0;       // mean of an exponential delay added to it
  double silent_at = -1;      // seconds after start at which all sends stop ...
  double silent_for = 0;      // ... for this long
  double close_after = -1;    // close every connection this many seconds after it began
  double reset_after = -1;    // the same, with a reset
  bool twice = false;         // two announcements in one write
  bool report_sends = false;  // at a connection's end, how soon after its moment it sent
  int garbage_every = 0;      // after every n-th announcement, garbage
  GarbageKind garbage = GarbageKind::kMixed;
  double garbage_until = -1;     // no garbage from this many seconds after the start on
  double jump_at = -1;           // seconds after start at which the IDs jump ...
  std::int64_t jump_by = 0;      // ... by this many
  double duration = -1;          // end by itself after this many seconds
  int rate_ppm = 0;              // the ID clock runs fast by this many parts per million
  int early_every = 0;           // every n-th announcement goes out early ...
  std::int64_t early_us = 2000;  // ... by this many µs
};

Options opt;
std::int64_t epoch_us;    // unix time at which ID opt.start began
std::int64_t started_us;  // unix time at which this process began serving
std::mutex print_mutex;

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  std::lock_guard<std::mutex> lock(print_mutex);
  std::fputs("eventid-sim: ", stdout);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// floor(a / b) for b > 0.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return q * b > a ? q - 1 : q;
}

// floor(a × b / c) for b, c > 0, exact: a is split at c first, so that no product leaves 64
// bits for any a that a clock reading minus an epoch can give.
std::int64_t mul_div_floor(std::int64_t a, std::int64_t b, std::int64_t c) {
  const std::int64_t q = floor_div(a, c);
  return q * b + floor_div((a - q * c) * b, c);
}

// IDs begun (counted from the start) by since_epoch_us µs of system time after the epoch.
std::int64_t ids_by(std::int64_t since_epoch_us) {
  return mul_div_floor(since_epoch_us, 1000000 + opt.rate_ppm, kIdUsPerMillion);
}

// System time from the epoch to the beginning of ID n after the start: the first whole µs at
// which ids_by() counts it, so that no announcement goes out before its ID has begun.
std::int64_t begins_after_us(std::int64_t n) {
  return -mul_div_floor(-n, kIdUsPerMillion, 1000000 + opt.rate_ppm);
}

std::int64_t unix_us() {
  return std::chrono::duration_cast<microseconds>(Clock::now().time_since_epoch()).count();
}

// The faults' clock: seconds since this process began serving.
double seconds_since_start() {
  return static_cast<double>(unix_us() - started_us) / 1e6;
}

bool silent_now() {
  const double t = seconds_since_start();
  return opt.silent_at >= 0 && t >= opt.silent_at && t < opt.silent_at + opt.silent_for;
}

// The ID that begins n IDs after the start, jump included.
std::uint32_t id_at(std::int64_t n) {
  const std::int64_t shift =
      opt.jump_at >= 0 && seconds_since_start() >= opt.jump_at ? opt.jump_by : 0;
  return static_cast<std::uint32_t>(opt.start + static_cast<std::uint64_t>(n) +
                                    static_cast<std::uint64_t>(shift));
}

void sleep_until_us(std::int64_t when_us) {
  std::this_thread::sleep_until(
      std::chrono::time_point<Clock, microseconds>(microseconds(when_us)));
}

// A timer wakes a thread late, by 50 µs to a few hundred on a busy or virtual machine: the
// announcements sleep until shortly before their moment and wait out the rest awake, so that
// their lateness is the network's, not the timer's.
void wait_until_us(std::int64_t when_us) {
  constexpr std::int64_t kAwake = 300;
  if (unix_us() < when_us - kAwake) sleep_until_us(when_us - kAwake);
  while (unix_us() < when_us) {
  }
}

std::string hex(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "%" PRIx32, id);
  return text;
}

// One write of garbage, or two for a split announcement. None of it is a newer ID than the
// truth, except by chance in random bytes.
void send_garbage(const net::Socket& s, GarbageKind kind, std::uint32_t id, std::mt19937& rng) {
  std::string text;
  switch (kind) {
    case GarbageKind::kRandom: {
      std::uniform_int_distribution<int> len(1, 12000), byte(0, 255);
      text.resize(static_cast<size_t>(len(rng)));
      for (char& c : text) c = static_cast<char>(byte(rng));
      break;
    }
    case GarbageKind::kExact:
      text = std::string(10000 - 12, 'x') + " " + hex(id) + "\r\n";
      text.resize(10000, '\n');
      break;
    case GarbageKind::kNul:
      text = std::string("\0\0EVENTID\0 ", 11) + hex(id) + std::string("\0\r\n", 3);
      break;
    case GarbageKind::kNospace:
      text = "EVENTID_" + hex(id) + "\r\n";
      break;
    case GarbageKind::kWide:
      text = "EVENTID 1" + std::string(8 - std::min<size_t>(8, hex(id).size()), '0') + hex(id) +
             "\r\n";
      break;
    case GarbageKind::kSplit: {
      const std::string whole = "EVENTID " + hex(id) + "\r\n";
      net::send_some(s, whole.data(), 9);
      std::this_thread::sleep_for(milliseconds(20));
      text = whole.substr(9);
      break;
    }
    case GarbageKind::kMixed:
      return;
  }
  net::send_some(s, text.data(), text.size());
}

GarbageKind pick_garbage(std::uint64_t round) {
  if (opt.garbage != GarbageKind::kMixed) return opt.garbage;
  return static_cast<GarbageKind>(round % static_cast<std::uint64_t>(GarbageKind::kMixed));
}

std::string announcement(std::int64_t n) {
  const std::uint32_t id = id_at(n);
  std::string text = "EVENTID " + hex(id) + "\r\n";
  if (opt.twice) text = "EVENTID " + hex(id - 1) + "\r\n" + text;
  return text;
}

// The one-way delay of ID n: the same for every client, as if the network, not the server,
// delayed each announcement.
double delay_for(std::int64_t n) {
  if (opt.jitter_ms <= 0) return opt.delay_ms;
  std::mt19937_64 rng(static_cast<std::uint64_t>(n));
  return opt.delay_ms + std::exponential_distribution<double>(1.0 / opt.jitter_ms)(rng);
}

// Ends the connection as the faults say; returns false when it has.
bool apply_connection_faults(net::Socket& s, double connected_at) {
  const double age = seconds_since_start() - connected_at;
  if (opt.reset_after >= 0 && age >= opt.reset_after) {
    net::set_reset_on_close(s);
    say("resetting a connection after %.1f s", age);
    return false;
  }
  if (opt.close_after >= 0 && age >= opt.close_after) {
    say("closing a connection after %.1f s", age);
    return false;
  }
  return true;
}

// How much sooner than its schedule the count-th announcement on a connection goes out: a
// path that is briefly faster, or a clock read wrongly once, is what an early sample shows.
std::int64_t early_for(std::uint64_t count) {
  if (opt.early_every <= 0 || count % static_cast<std::uint64_t>(opt.early_every) != 0) return 0;
  return opt.early_us;
}

std::int64_t unix_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// How soon after its moment each send on one connection began, at the least.
class SendReport {
 public:
  explicit SendReport(std::string peer) : peer_(std::move(peer)) {}
  SendReport(const SendReport&) = delete;
  SendReport& operator=(const SendReport&) = delete;
  ~SendReport() {
    if (!opt.report_sends) return;
    if (sends_ == 0) {
      say("client %s: no sends", peer_.c_str());
      return;
    }
    say("client %s: %" PRIu64 " sends, the promptest %.3f us after its moment", peer_.c_str(),
        sends_, static_cast<double>(least_ns_) / 1e3);
  }
  void sent(std::int64_t moment_us, std::int64_t began_ns) {
    const std::int64_t late_ns = began_ns - moment_us * 1000;
    if (sends_++ == 0 || late_ns < least_ns_) least_ns_ = late_ns;
  }

 private:
  std::string peer_;
  std::uint64_t sends_ = 0;
  std::int64_t least_ns_ = 0;
};

void serve(net::Socket s, std::string name, std::string peer) {
  SendReport report(std::move(peer));
  std::mt19937 rng(std::random_device{}());
  const double connected_at = seconds_since_start();
  // The next ID to announce: the first to begin after the client connected.
  std::int64_t n = ids_by(unix_us() - epoch_us) + 1;
  for (std::uint64_t sends = 1, announced = 1;; ++n) {
    if (n % opt.every != 0) continue;
    const double delay_ms = delay_for(n);
    const std::int64_t begins = epoch_us + begins_after_us(n);
    const std::int64_t moment_us =
        begins + static_cast<std::int64_t>(delay_ms * 1000) - early_for(announced++);
    wait_until_us(moment_us);
    if (!apply_connection_faults(s, connected_at)) break;
    if (silent_now()) continue;
    const std::string text = announcement(n);
    const std::int64_t began_ns = unix_ns();
    if (net::send_some(s, text.data(), text.size()) < 0) break;
    report.sent(moment_us, began_ns);
    const bool garbage_time = opt.garbage_until < 0 || seconds_since_start() < opt.garbage_until;
    if (opt.garbage_every > 0 && garbage_time &&
        sends++ % static_cast<std::uint64_t>(opt.garbage_every) == 0) {
      sleep_until_us(begins + kIdUs / 2);  // between two announcements
      send_garbage(s, pick_garbage(sends / static_cast<std::uint64_t>(opt.garbage_every)), id_at(n),
                   rng);
    }
  }
  say("client %s gone", name.c_str());
}

void announce_truth(std::uint32_t start) {
  say("truth start=%" PRIu32 " epoch_us=%" PRId64 " rate_ppm=%d", start, epoch_us, opt.rate_ppm);
}

// Runs beside the server: the jump's new truth, and the end after --duration.
void timekeeper() {
  if (opt.jump_at >= 0) {
    sleep_until_us(started_us + static_cast<std::int64_t>(opt.jump_at * 1e6));
    announce_truth(static_cast<std::uint32_t>(opt.start + static_cast<std::uint64_t>(opt.jump_by)));
  }
  if (opt.duration >= 0) {
    sleep_until_us(started_us + static_cast<std::int64_t>(opt.duration * 1e6));
    say("ran for %.1f s, stopping", opt.duration);
    std::_Exit(0);
  }
}

void usage() {
  std::puts(
      "usage: eventid-sim [options]\n"
      "  --bind ADDR          listen address: A.B.C.D[:PORT], [IPV6][:PORT] or unix:PATH\n"
      "                       (127.0.0.1)\n"
      "  --port N             listen port, 0 for any free one (58050)\n"
      "  --start ID           the ID that begins when the simulator starts (1000)\n"
      "  --epoch-us T         ... or at unix time T (us): a restart that continues the IDs\n"
      "  --every N            send only every N-th ID (1)\n"
      "  --delay-ms X         fixed one-way delay added to every send (0)\n"
      "  --jitter-ms X        mean of an exponential delay added on top (0)\n"
      "  --silent-at S        fall silent S seconds after the start ...\n"
      "  --silent-for S       ... for S seconds (connections stay open)\n"
      "  --close-after S      close every connection S seconds after it began\n"
      "  --reset-after S      reset every connection S seconds after it began\n"
      "  --twice              two announcements in one write\n"
      "  --report-sends       when a connection ends, say how soon after its moment the\n"
      "                       promptest of its sends began: what a benchmark takes the\n"
      "                       sender's own share of a client's path delay from\n"
      "  --garbage-every N    garbage between two announcements after every N-th one\n"
      "  --garbage KIND       random (1 to 12000 random bytes), exact (10000 bytes), nul,\n"
      "                       nospace, wide (a 33-bit token), split (an announcement in two\n"
      "                       writes), or mixed: each in turn (mixed)\n"
      "  --garbage-until S    no more garbage from S seconds after the start on\n"
      "  --jump-at S          the IDs jump S seconds after the start ...\n"
      "  --jump-by N          ... by N (negative: back)\n"
      "  --duration S         end after S seconds (runs until stopped otherwise)\n"
      "  --rate-ppm R         the IDs run fast by R parts per million (negative: slow), a whole\n"
      "                       number from -5000 to 5000 (0)\n"
      "  --early-every N      send every N-th announcement early ...\n"
      "  --early-us US        ... by US microseconds, even before its ID begins (2000)\n"
      "The true ID at unix time t (us) is start + floor((t - epoch_us) * (10^6 + R) / 10^11),\n"
      "with the numbers from the last line\n"
      "\"eventid-sim: truth start=... epoch_us=... rate_ppm=R\".");
}

bool parse_garbage_kind(const std::string& v) {
  const char* names[] = {"random", "exact", "nul", "nospace", "wide", "split", "mixed"};
  for (int i = 0; i < 7; ++i) {
    if (v == names[i]) opt.garbage = static_cast<GarbageKind>(i);
  }
  return std::find(std::begin(names), std::end(names), v) != std::end(names);
}

// A whole number from -5000 to 5000, nothing else.
bool parse_rate_ppm(const std::string& v) {
  const char* first = v.data() + (v.size() > 1 && v[0] == '+' && v[1] != '-' ? 1 : 0);
  const char* last = v.data() + v.size();
  int ppm = 0;
  const auto [end, error] = std::from_chars(first, last, ppm);
  if (error != std::errc() || end != last || ppm < -kMaxRatePpm || ppm > kMaxRatePpm) {
    return false;
  }
  opt.rate_ppm = ppm;
  return true;
}

bool parse_option(const std::string& a, const char* v) {
  const std::pair<const char*, double*> numbers[] = {{"--delay-ms", &opt.delay_ms},
                                                     {"--jitter-ms", &opt.jitter_ms},
                                                     {"--silent-at", &opt.silent_at},
                                                     {"--silent-for", &opt.silent_for},
                                                     {"--close-after", &opt.close_after},
                                                     {"--reset-after", &opt.reset_after},
                                                     {"--garbage-until", &opt.garbage_until},
                                                     {"--jump-at", &opt.jump_at},
                                                     {"--duration", &opt.duration}};
  for (const auto& [name, target] : numbers) {
    if (a == name) {
      *target = std::atof(v);
      return true;
    }
  }
  if (a == "--garbage") return parse_garbage_kind(v);
  if (a == "--rate-ppm") return parse_rate_ppm(v);
  if (a == "--bind") {
    opt.bind = v;
  } else if (a == "--port") {
    opt.port = std::atoi(v);
  } else if (a == "--start") {
    opt.start = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 0));
  } else if (a == "--every") {
    opt.every = std::max(1, std::atoi(v));
  } else if (a == "--garbage-every") {
    opt.garbage_every = std::atoi(v);
  } else if (a == "--epoch-us") {
    epoch_us = std::atoll(v);
  } else if (a == "--jump-by") {
    opt.jump_by = std::atoll(v);
  } else if (a == "--early-every") {
    opt.early_every = std::atoi(v);
  } else if (a == "--early-us") {
    opt.early_us = std::atoll(v);
  } else {
    return false;
  }
  return true;
}

bool parse_options(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--twice") {
      opt.twice = true;
    } else if (a == "--report-sends") {
      opt.report_sends = true;
    } else if (a == "--help" || i + 1 >= argc || !parse_option(a, argv[++i])) {
      return false;
    }
  }
  return opt.port >= 0 && opt.port <= 65535;
}

// --bind in any listening form: "127.0.0.1", "[::1]", "unix:PATH", and a port with either
// address, which --port gives otherwise.
net::Socket listen_or_say_why() {
  net::Endpoint local;
  bool has_port = false;
  if (!net::parse_listen_address(opt.bind, &local, &has_port)) {
    say("cannot listen on %s: not A.B.C.D[:PORT], [IPV6][:PORT] or unix:PATH", opt.bind);
    return net::Socket();
  }
  if (!has_port) local.port = static_cast<std::uint16_t>(opt.port);
  net::ListenFailure failure;
  net::Socket s = net::open_listener(local, &failure);
  if (!s.valid()) {
    say("cannot listen on %s: %s", net::endpoint_text(local).c_str(),
        net::error_text(failure.error).c_str());
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (!parse_options(argc, argv)) {
    usage();
    return 2;
  }
  const net::Library sockets;
  const net::Socket listener = listen_or_say_why();
  if (!sockets.ok() || !listener.valid()) return 1;
  started_us = unix_us();
  if (epoch_us == 0) epoch_us = started_us;
  net::Endpoint bound;
  net::local_endpoint(listener, &bound);
  say("listening on %s", net::endpoint_text(bound).c_str());
  announce_truth(opt.start);
  std::thread(timekeeper).detach();
  for (;;) {
    net::Endpoint peer;
    net::Socket client = net::accept_client(listener, &peer);
    if (!client.valid()) {  // a client's failure, or a shortage: try again shortly
      std::this_thread::sleep_for(milliseconds(10));
      continue;
    }
    const std::string name = net::host_text(peer);
    say("client %s connected", name.c_str());
    std::thread(serve, std::move(client), name, net::endpoint_text(peer)).detach();
  }
}
