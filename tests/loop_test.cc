#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loop/event_loop.h"
#include "loop/wake_margin.h"
#include "support/eventually.h"
#include "support/loopback.h"

namespace eventid {
namespace {

// A loop on a clock that the test moves, run on a thread of its own.
struct LoopRun {
  std::atomic<std::int64_t> now_us{1000000};
  EventLoop loop{"test()", [this] { return now_us.load(); }};
  std::thread thread;

  void start() {
    thread = std::thread([this] { EXPECT_TRUE(loop.run()); });
  }
  ~LoopRun() {
    loop.stop();
    if (thread.joinable()) thread.join();
  }
};

// Each timer runs once its deadline has passed, in deadline order; arming again moves it, and
// one disarmed or ended before its turn never runs, even when due in the same turn.
TEST(EventLoop, TimersRunOnceInDeadlineOrder) {
  LoopRun run;
  std::vector<std::string> ran;  // by the loop's thread only, read once it is stopped
  EventLoop::Timer late(run.loop, [&] { ran.push_back("late"); });
  EventLoop::Timer early(run.loop, [&] { ran.push_back("early"); });
  EventLoop::Timer moved(run.loop, [&] { ran.push_back("moved"); });
  EventLoop::Timer disarmed(run.loop, [&] { ran.push_back("disarmed"); });
  auto ended = std::make_unique<EventLoop::Timer>(run.loop, [&] { ran.push_back("ended"); });
  EventLoop::Timer ender(run.loop, [&] { ended.reset(); });
  std::atomic<bool> last{false};
  EventLoop::Timer stopper(run.loop, [&] { last = true; });
  late.arm(1000300);
  early.arm(1000100);
  moved.arm(1000050);
  moved.arm(1000200);
  disarmed.arm(1000150);
  disarmed.disarm();
  ender.arm(1000250);
  ended->arm(1000250);
  stopper.arm(1000400);
  run.start();
  run.now_us = 1000400;
  run.loop.wake();
  ASSERT_TRUE(eventually([&] { return last.load(); }));
  run.loop.stop();
  run.thread.join();
  // "ended" shares its deadline with "ender", armed first, which ends it.
  EXPECT_EQ(ran, (std::vector<std::string>{"early", "moved", "late"}));
}

// Two sockets found ready in one turn: when the first one's handler ends the second's watch,
// the second is not told, though the poller found it ready.
struct Ender final : ReadyHandler {
  explicit Ender(const net::Socket& s) : socket(s) {}
  const net::Socket& socket;
  EventLoop::Watch* other = nullptr;
  std::atomic<int> told{0};
  void on_ready(unsigned) override {
    char byte;
    net::receive_some(socket, &byte, 1);
    ++told;
    if (other) other->end();
  }
};

TEST(EventLoop, AWatchEndedInATurnIsToldNothingMore) {
  LoopRun run;
  test::Pair a = test::connected_pair(), b = test::connected_pair();
  Ender first(a.server), second(b.server);
  EventLoop::Watch watch_a(run.loop, a.server, net::kReadable, first);
  EventLoop::Watch watch_b(run.loop, b.server, net::kReadable, second);
  first.other = &watch_b;
  second.other = &watch_a;
  net::send_some(a.client, "x", 1);
  net::send_some(b.client, "x", 1);
  run.start();
  ASSERT_TRUE(eventually([&] { return first.told + second.told > 0; }));
  run.loop.stop();
  run.thread.join();
  EXPECT_EQ(first.told + second.told, 1);
}

// A loop stopped before it runs ends as soon as it begins; one waiting with no deadline ends
// when another thread stops it.
TEST(EventLoop, StopsFromAnyThreadBeforeOrDuringItsRun) {
  LoopRun before;
  before.loop.stop();
  EXPECT_TRUE(before.loop.run());

  LoopRun during;
  during.start();
  during.loop.stop();
  during.thread.join();
}

// The margin follows the second latest of the last 100 wake-ups, within its bounds.
TEST(WakeMargin, FollowsTheSecondLatestOfTheLastHundredWakeUps) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, std::int64_t>> wake_ups;  // (how many, late by µs), in order
    std::int64_t margin_us;
  };
  const Case cases[] = {
      {"none yet", {}, 200},
      {"quiet", {{100, 40}}, 200},
      {"one stall alone", {{50, 40}, {1, 5000}, {50, 40}}, 200},
      {"two a little late", {{2, 600}, {20, 40}}, 650},
      {"two stalls", {{1, 5000}, {10, 40}, {1, 3000}}, 1000},
      {"stalls forgotten after 100", {{2, 5000}, {99, 40}}, 200},
      {"early counts as on time", {{2, -300}}, 200},
  };
  for (const Case& c : cases) {
    WakeMargin margin;
    for (const auto& [times, late_us] : c.wake_ups) {
      for (int i = 0; i < times; ++i) margin.woke_late_by(late_us);
    }
    EXPECT_EQ(margin.us(), c.margin_us) << c.what;
  }
}

}  // namespace
}  // namespace eventid
