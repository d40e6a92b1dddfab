// The push listener in this process, over loopback, on a clock that the test moves.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "delivery/id_line.h"
#include "delivery/push.h"
#include "support/captured_console.h"
#include "support/clients.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "timing/estimate.h"

namespace eventid {
namespace {

using test::RelayClient;

// A ring primed with ID 42 that arrived at 1 s, so that ID N begins at N × 100 ms - 3.2 s, and
// the push listener on a free loopback port, on the test's clock, from 1.3 s: ID 45. Where
// primed_by_client is given, the ring is primed only as the client of that number is taken.
struct PushRun {
  explicit PushRun(int clients = 1, const UpstreamRate& rate = {}, int primed_by_client = 0) {
    if (primed_by_client == 0) ring.prime(make_sample(42, 1000000), rate);
    listener = open_push_listener({net::kLoopback, 0});
    net::Endpoint bound;
    net::local_endpoint(listener, &bound);
    port = bound.port;
    ServerSeam seam{[](const net::Endpoint&) { return std::optional<std::string>("host"); }};
    seam.accept = [this, primed_by_client, rate](const net::Socket& l, net::Endpoint* peer,
                                                 int* error) {
      net::Socket s = system_acceptor()(l, peer, error);
      if (s.valid() && counters.accepted + 1 == static_cast<unsigned>(primed_by_client)) {
        ring.prime(make_sample(42, 1000000), rate);
      }
      return s;
    };
    server =
        std::make_unique<PushServer>(loop, listener, PushConfig{clients}, ring, counters, seam);
    thread = std::thread([this] { EXPECT_TRUE(loop.run()); });
  }
  ~PushRun() {
    loop.stop();
    thread.join();
  }
  void set_clock(std::int64_t us) {
    now_us = us;
    loop.wake();
  }
  // The ID and its µs, without the jitter figures that every sample changes.
  static std::string position(const std::string& line) { return line.substr(0, line.find(' ')); }

  test::CapturedConsole console;
  std::atomic<std::int64_t> now_us{1300000};
  // Once this many lines have been made, the clock reads moved_us instead.
  std::atomic<std::uint64_t> moves_after_lines{0};
  std::atomic<std::int64_t> moved_us{0};
  SampleRing ring;
  ServerCounters counters;
  EventLoop loop{"push_id()", [this] {
                   const std::uint64_t n = moves_after_lines;
                   return n > 0 && counters.lines >= n ? moved_us.load() : now_us.load();
                 }};
  net::Socket listener;
  std::uint16_t port = 0;
  std::unique_ptr<PushServer> server;
  std::thread thread;
};

// Whether the client gets nothing more in 300 ms.
bool hears_nothing(RelayClient& c) {
  net::set_recv_timeout(c.socket, 300000);
  const bool nothing = c.read_line().empty();
  net::set_recv_timeout(c.socket, 3000000);
  return nothing;
}

struct Step {
  std::int64_t now_us;
  const char* position;  // of the line pushed then; null for none
};

void expect_pushes(PushRun& push, RelayClient& client, const std::vector<Step>& steps) {
  for (const Step& s : steps) {
    push.set_clock(s.now_us);
    if (s.position) {
      EXPECT_EQ(PushRun::position(client.read_line()), s.position) << s.now_us;
    } else {
      EXPECT_TRUE(hears_nothing(client)) << s.now_us;
    }
  }
}

// What a client sends is ignored; a clock that leaps gets the ID of the moment, once.
TEST(Push, GreetsAtOnceThenOneLineAsEachIdBegins) {
  PushRun push;
  RelayClient client(push.port);
  EXPECT_EQ(client.read_line(), "45.00000 O 0 -11\r\n");
  client.send(std::string(5000, 'x'));
  expect_pushes(push, client,
                {{1399999, nullptr},
                 {1400000, "46.00000"},
                 {1450000, nullptr},
                 {1750001, "49.50001"},
                 {1800000, "50.00000"}});
  EXPECT_EQ(push.counters.lines, 4u);
  EXPECT_EQ(push.console.out(),
            "Push on 127.0.0.1:" + std::to_string(push.port) + "\r\nConnected to host\r\n");
}

// The IDs step back by one (the estimate's end of an ID moved later, as a few µs would): the
// next line is the next ID after the last pushed. Back by two: a line at once.
TEST(Push, AnIdIsPushedOnceAndAStepBackOfMoreThanOneAtOnce) {
  PushRun push;
  RelayClient client(push.port);
  client.read_line();
  expect_pushes(push, client, {{1400000, "46.00000"}});
  push.ring.store(make_sample(45, 1400000), {}, {}, {.from_us = 1400000});
  expect_pushes(push, client, {{1500000, nullptr}, {1600000, "47.00000"}});
  push.ring.store(make_sample(45, 1600000), {}, {}, {.from_us = 1600000});
  EXPECT_EQ(PushRun::position(client.read_line()), "45.00000");
}

// The second client is greeted in the turn that primes the ring, and ID 46 begins after its
// greeting, before the turn ends: 46 is still pushed. The first client, greeted before, lets
// the second's name be known at once.
TEST(Push, AnIdThatBeginsInTheTurnOfTheFirstGreetingIsPushed) {
  PushRun push(2, {}, 2);
  push.moved_us = 1400000;
  push.moves_after_lines = 2;
  RelayClient first(push.port);
  first.read_line();
  RelayClient second(push.port);
  EXPECT_EQ(PushRun::position(second.read_line()), "45.00000");
  EXPECT_EQ(PushRun::position(second.read_line()), "46.00000");
}

// A client greeted after an ID began, in the turn that pushes it (the wake-up came late), has
// it once.
TEST(Push, AClientGreetedAfterAnIdBeganIsNotSentItAgain) {
  PushRun push(2);
  RelayClient first(push.port);
  first.read_line();
  push.now_us = 1450000;  // no wake: the loop reads it as the second client comes
  RelayClient second(push.port);
  EXPECT_EQ(PushRun::position(second.read_line()), "46.50000");
  EXPECT_EQ(PushRun::position(first.read_line()), "46.50000");
  EXPECT_TRUE(hears_nothing(second));
}

// An upstream a hundred times slower than the relay's clock puts the loop's own wake-up for
// ID 43 ten seconds away: only the faster sample's arrival can bring the line in time.
TEST(Push, ASampleThatMovesTheBoundaryMovesTheWakeUp) {
  const UpstreamRate slow{-0.99, -0.99};
  PushRun push(1, slow);
  RelayClient client(push.port);
  EXPECT_EQ(PushRun::position(client.read_line()), "42.03000");
  EXPECT_TRUE(hears_nothing(client));  // and the loop's wake-ups from the greeting are over
  push.ring.store(make_sample(43, 1300000), slow);
  EXPECT_EQ(PushRun::position(client.read_line()), "43.00000");
}

// One client never reads: the relay holds one line for it at most, and drops it, as idle,
// 1 s after its first send that blocked, whatever the system takes from it since; the other
// gets every line, and a client beyond the places waits for one.
TEST(Push, AClientThatDoesNotReadIsDroppedASecondAfterItsSendBlocked) {
  PushRun push(2);
  RelayClient stuck(push.port);
  test::shrink_receive_buffer(stuck.socket);
  EXPECT_TRUE(test::well_formed(stuck.read_line()));
  RelayClient reader(push.port);  // pushed to after the stuck one, in each round
  EXPECT_TRUE(test::well_formed(reader.read_line()));
  RelayClient waiting(push.port);
  // A round that makes one line only passes the stuck client by: its send has blocked by the
  // round before. Where the system drains each blocked line before the next round (Wine
  // does), no round passes it by, and only the drop itself shows.
  std::int64_t now = 1300000, blocked_by = 0;
  while (push.counters.dropped_idle == 0 && now < 1000000000) {
    const std::uint64_t lines = push.counters.lines;
    push.set_clock(now += 100000);
    ASSERT_TRUE(test::well_formed(reader.read_line())) << now;
    if (!blocked_by && push.counters.dropped_idle == 0 && push.counters.lines - lines == 1) {
      blocked_by = now - 100000;
      EXPECT_TRUE(hears_nothing(waiting));
    }
  }
  EXPECT_EQ(push.counters.dropped_idle, 1u);
  // Or a round later: the clock may move on while a turn that woke for something else is
  // under way, after it has looked for clients to drop and before it pushes.
  if (blocked_by > 0) {
    EXPECT_LE(now, blocked_by + kPushBlockedUs + 100000);
  }
  EXPECT_TRUE(test::well_formed(waiting.read_line()));  // the place freed
  const std::string out = push.console.out();
  EXPECT_EQ(test::occurrences(out, "Connection dropped (127.0.0.1:"), 1u) << out;
  EXPECT_EQ(test::occurrences(out, "Connected to host (127.0.0.1:"), 3u) << out;
}

}  // namespace
}  // namespace eventid
