#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "delivery/client_names.h"
#include "delivery/id_line.h"
#include "support/eventually.h"

namespace {

std::string line(ID_t id) {
  char s[kLineBufferSize];
  const int n = make_id_str(s, sizeof s, id);
  EXPECT_EQ(n, static_cast<int>(std::strlen(s)));
  return s;
}

TEST(IdLine, Fields) {
  EXPECT_EQ(line({42, 7000, 'O', 12, -3}), "42.07000 O 12 -3\r\n");
  EXPECT_EQ(line({0, 0, 'D', 0, 0}), "0.00000 D 0 0\r\n");
  EXPECT_EQ(line({23, 99000, 'S', -1, 25}), "23.99000 S -1 25\r\n");
  EXPECT_EQ(line({1, 123456, 'O', 0, 0}), "1.123456 O 0 0\r\n");  // padded, never cut
}

TEST(IdLine, WidestFieldsMakeFortyNineCharacters) {
  const std::string widest = line({UINT32_MAX, UINT32_MAX, 'S', INT32_MIN, INT32_MIN});
  EXPECT_EQ(widest, "4294967295.4294967295 S -2147483648 -2147483648\r\n");
  EXPECT_EQ(widest.size(), static_cast<size_t>(kMaxIdLine));
}

TEST(IdLine, ShortBufferIsCutAndTerminated) {
  char s[8];
  EXPECT_EQ(make_id_str(s, sizeof s, {42, 7000, 'O', 12, -3}), 18);
  EXPECT_STREQ(s, "42.0700");
}

// --- client names ---

using time_point = std::chrono::steady_clock::time_point;

net::Endpoint host(int n) {
  net::Endpoint e;
  std::string error;
  EXPECT_TRUE(net::resolve_ipv4(("10.0.0." + std::to_string(n)).c_str(), "1", &e, &error));
  return e;
}

// A resolver that answers from a table, at once or only when the test lets it, and a clock
// that the test moves. Lookups hold the world they ask, so that one still out when its test
// ends asks a world that is still there.
struct World {
  std::mutex mutex;
  std::condition_variable changed;
  bool holding = false;
  int calls = 0;
  std::map<std::string, std::string> names;  // by address; absent: no name
  std::atomic<std::int64_t> now_ms{0};

  std::optional<std::string> look_up(const net::Endpoint& peer) {
    std::unique_lock<std::mutex> lock(mutex);
    ++calls;
    changed.wait(lock, [&] { return !holding; });
    const auto it = names.find(net::numeric_host(peer));
    if (it == names.end()) return std::nullopt;
    return it->second;
  }
  void hold(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    holding = on;
    changed.notify_all();
  }
  int lookups() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
};

struct ClientNamesTest : testing::Test {
  std::shared_ptr<World> world = std::make_shared<World>();
  ClientNames names{
      [w = world](const net::Endpoint& peer) { return w->look_up(peer); },
      [w = world] { return time_point(std::chrono::milliseconds(w->now_ms.load())); }};
  void TearDown() override { world->hold(false); }
};

TEST_F(ClientNamesTest, AnswersKeptTenMinutesFailuresOneLongNamesShownAsAddresses) {
  world->names = {{"10.0.0.1", "alpha"}, {"10.0.0.3", std::string(22, 'n')}};
  EXPECT_EQ(names.name_of(host(1)), "alpha");
  EXPECT_EQ(names.name_of(host(2)), "10.0.0.2");
  EXPECT_EQ(names.name_of(host(3)), "10.0.0.3");
  EXPECT_EQ(world->lookups(), 3);
  world->now_ms = 59'000;
  EXPECT_EQ(names.name_of(host(2)), "10.0.0.2");
  EXPECT_EQ(world->lookups(), 3);
  world->now_ms = 61'000;
  EXPECT_EQ(names.name_of(host(2)), "10.0.0.2");
  EXPECT_EQ(world->lookups(), 4);
  world->now_ms = 599'000;
  EXPECT_EQ(names.name_of(host(1)), "alpha");
  EXPECT_EQ(world->lookups(), 4);
  world->now_ms = 601'000;
  EXPECT_EQ(names.name_of(host(1)), "alpha");
  EXPECT_EQ(world->lookups(), 5);
}

// A name server that does not answer: the host's first connection waits briefly, later ones
// not at all, and the answer is used once it comes.
TEST_F(ClientNamesTest, ASlowLookupDelaysOnlyTheFirstConnectionBriefly) {
  world->names = {{"10.0.0.1", "alpha"}};
  world->hold(true);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(names.name_of(host(1)), "10.0.0.1");
  const auto first_wait = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(first_wait, 80ms);
  EXPECT_LT(first_wait, 2s);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(names.name_of(host(1)), "10.0.0.1");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, first_wait);
  world->hold(false);
  EXPECT_TRUE(eventually([&] { return names.name_of(host(1)) == "alpha"; }));
  EXPECT_EQ(world->lookups(), 1);
}

TEST_F(ClientNamesTest, AtMostFourLookupsAtOnce) {
  world->hold(true);
  for (int n = 1; n <= 4; ++n) EXPECT_FALSE(names.settled_name(host(n))) << n;
  EXPECT_EQ(names.settled_name(host(5)), "10.0.0.5");
  EXPECT_FALSE(names.answer(host(1)));
  world->hold(false);
  EXPECT_TRUE(eventually([&] { return names.answer(host(1)) == "10.0.0.1"; }));
  EXPECT_TRUE(eventually([&] { return !names.settled_name(host(5)); }));
}

TEST_F(ClientNamesTest, KeepsSixtyFourHostsAtMost) {
  for (int n = 1; n <= 65; ++n) {
    world->now_ms = n;  // the first host's answer expires first, so it goes first
    names.name_of(host(n));
  }
  EXPECT_EQ(world->lookups(), 65);
  for (int n = 2; n <= 65; ++n) names.name_of(host(n));
  EXPECT_EQ(world->lookups(), 65);
  names.name_of(host(1));
  EXPECT_EQ(world->lookups(), 66);
}

}  // namespace
