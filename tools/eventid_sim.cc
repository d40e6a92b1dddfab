// eventid-sim: an upstream event-ID server for demos, end-to-end tests and benchmarks.
//
// It issues IDs at ten a second, on a schedule tied to the system clock, and sends every
// client "EVENTID <id in hex>\r\n" when each ID begins (plus the one-way delay it is told to
// add). The true current ID at any moment is therefore known to anyone on this machine:
//
//   true ID at unix time t (µs) = start + floor((t - epoch) / 100000)
//
// where start and epoch are printed on the line "eventid-sim: truth start=... epoch_us=...".
// Run with --help for the options (delay, slower sends, and faults).
#include <algorithm>
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

using Clock = std::chrono::system_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::int64_t kIdUs = 100000;

struct options_t {
  const char* bind = "127.0.0.1";
  int port = 58050;
  std::uint32_t start = 1000;
  int every = 1;            // send every n-th ID (a slower send interval)
  double delay_ms = 0;      // fixed one-way delay
  double jitter_ms = 0;     // mean of an exponential delay added to it
  double silent_at = -1;    // seconds after start at which all sends stop ...
  double silent_for = 0;    // ... for this long
  double close_after = -1;  // close every connection this many seconds after it began
  double reset_after = -1;  // the same, with a reset
  bool twice = false;       // two announcements in one write
  int garbage_every = 0;    // every n-th send is garbage instead
  double duration = -1;     // end by itself after this many seconds
};

options_t opt;
std::int64_t epoch_us;  // unix time at which ID opt.start began
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

std::int64_t unix_us() {
  return std::chrono::duration_cast<microseconds>(Clock::now().time_since_epoch()).count();
}

double seconds_since_epoch() {
  return static_cast<double>(unix_us() - epoch_us) / 1e6;
}

bool silent_now() {
  const double t = seconds_since_epoch();
  return opt.silent_at >= 0 && t >= opt.silent_at && t < opt.silent_at + opt.silent_for;
}

std::string garbage(std::mt19937& rng) {
  // Letters past 'f' and no spaces: never an ID, always "unparsable" to a relay.
  std::uniform_int_distribution<int> len(1, 200), letter('g', 'z');
  std::string text(static_cast<size_t>(len(rng)), 'g');
  for (char& c : text) c = static_cast<char>(letter(rng));
  return text + "\r\n";
}

std::string announcement(std::uint64_t n, std::uint64_t sends, std::mt19937& rng) {
  if (opt.garbage_every > 0 && sends % static_cast<std::uint64_t>(opt.garbage_every) == 0) {
    return garbage(rng);
  }
  char line[64];
  const auto id = static_cast<std::uint32_t>(opt.start + n);
  if (opt.twice) {
    std::snprintf(line, sizeof line, "EVENTID %" PRIx32 "\r\nEVENTID %" PRIx32 "\r\n", id - 1, id);
  } else {
    std::snprintf(line, sizeof line, "EVENTID %" PRIx32 "\r\n", id);
  }
  return line;
}

// Ends the connection as the faults say; returns false when it has.
bool apply_connection_faults(net::Socket& s, double connected_at) {
  const double age = seconds_since_epoch() - connected_at;
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

void serve(net::Socket s, std::string name) {
  std::mt19937 rng(std::random_device{}());
  std::exponential_distribution<double> jitter(opt.jitter_ms > 0 ? 1.0 / opt.jitter_ms : 1.0);
  const double connected_at = seconds_since_epoch();
  // The next ID to announce: the first to begin after the client connected.
  std::uint64_t n = static_cast<std::uint64_t>((unix_us() - epoch_us) / kIdUs) + 1;
  for (std::uint64_t sends = 1;; ++n) {
    if (n % static_cast<std::uint64_t>(opt.every) != 0) continue;
    double delay_ms = opt.delay_ms + (opt.jitter_ms > 0 ? jitter(rng) : 0.0);
    const auto due = std::chrono::time_point<Clock, microseconds>(
        microseconds(epoch_us + static_cast<std::int64_t>(n) * kIdUs +
                     static_cast<std::int64_t>(delay_ms * 1000)));
    std::this_thread::sleep_until(due);
    if (!apply_connection_faults(s, connected_at)) break;
    if (silent_now()) continue;
    const std::string text = announcement(n, sends++, rng);
    if (net::send_some(s, text.data(), text.size()) < 0) break;
  }
  say("client %s gone", name.c_str());
}

void usage() {
  std::puts(
      "usage: eventid-sim [options]\n"
      "  --bind ADDR          listen address (127.0.0.1)\n"
      "  --port N             listen port, 0 for any free one (58050)\n"
      "  --start ID           the ID that begins when the simulator starts (1000)\n"
      "  --every N            send only every N-th ID (1)\n"
      "  --delay-ms X         fixed one-way delay added to every send (0)\n"
      "  --jitter-ms X        mean of an exponential delay added on top (0)\n"
      "  --silent-at S        fall silent S seconds after the start ...\n"
      "  --silent-for S       ... for S seconds (connections stay open)\n"
      "  --close-after S      close every connection S seconds after it began\n"
      "  --reset-after S      reset every connection S seconds after it began\n"
      "  --twice              two announcements in one write\n"
      "  --garbage-every N    every N-th send is garbage (no space, no hex digit)\n"
      "  --duration S         end after S seconds (runs until stopped otherwise)\n"
      "The true ID at unix time t (us) is start + floor((t - epoch_us) / 100000), with both\n"
      "numbers from the line \"eventid-sim: truth start=... epoch_us=...\".");
}

bool parse_options(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") return false;
    if (a == "--twice") {
      opt.twice = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (a == "--bind")
      opt.bind = v;
    else if (a == "--port")
      opt.port = std::atoi(v);
    else if (a == "--start")
      opt.start = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 0));
    else if (a == "--every")
      opt.every = std::max(1, std::atoi(v));
    else if (a == "--delay-ms")
      opt.delay_ms = std::atof(v);
    else if (a == "--jitter-ms")
      opt.jitter_ms = std::atof(v);
    else if (a == "--silent-at")
      opt.silent_at = std::atof(v);
    else if (a == "--silent-for")
      opt.silent_for = std::atof(v);
    else if (a == "--close-after")
      opt.close_after = std::atof(v);
    else if (a == "--reset-after")
      opt.reset_after = std::atof(v);
    else if (a == "--garbage-every")
      opt.garbage_every = std::atoi(v);
    else if (a == "--duration")
      opt.duration = std::atof(v);
    else
      return false;
  }
  return opt.port >= 0 && opt.port <= 65535;
}

net::Socket listen_or_say_why() {
  net::Socket s = net::open_tcp4();
  const bool ok = s.valid() && net::set_listener_address_option(s) &&
                  net::bind_ipv4(s, opt.bind, static_cast<std::uint16_t>(opt.port)) &&
                  net::listen_on(s, 16);
  if (!ok) {
    say("cannot listen on %s:%d: %s", opt.bind, opt.port,
        net::error_text(net::last_error()).c_str());
    return net::Socket();
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
  epoch_us = unix_us();
  say("listening on %s:%u", opt.bind, net::local_port(listener));
  say("truth start=%" PRIu32 " epoch_us=%" PRId64, opt.start, epoch_us);
  if (opt.duration >= 0) {
    std::thread([] {
      std::this_thread::sleep_for(milliseconds(static_cast<std::int64_t>(opt.duration * 1000)));
      say("ran for %.1f s, stopping", opt.duration);
      std::_Exit(0);
    }).detach();
  }
  for (;;) {
    net::Endpoint peer;
    net::Socket client = net::accept_client(listener, &peer);
    if (!client.valid()) {  // a client's failure, or a shortage: try again shortly
      std::this_thread::sleep_for(milliseconds(10));
      continue;
    }
    char name[64];
    net::peer_name(peer, name, sizeof name);
    say("client %s connected", name);
    std::thread(serve, std::move(client), std::string(name)).detach();
  }
}
