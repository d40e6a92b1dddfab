#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "console/console.h"
#include "delivery/client_names.h"
#include "delivery/id_line.h"
#include "delivery/server.h"
#include "support/clients.h"
#include "support/eventually.h"
#include "support/loopback.h"

namespace eventid {
namespace {

using test::RelayClient;

std::string line(const Estimate& e) {
  const IdLine line = format_id_line(e);
  EXPECT_EQ(line.size, std::strlen(line.text));
  return line.text;
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
  EXPECT_EQ(widest.size(), kMaxIdLine);
}

// --- client names ---

using time_point = std::chrono::steady_clock::time_point;

net::Endpoint host(int n) {
  return {0x0a000000u + static_cast<std::uint32_t>(n), 1};  // 10.0.0.n
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
    const auto it = names.find(net::address_text(peer.address));
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

// --- the server, in this process, over loopback ---

// The server on a free loopback port, serving a ring primed with ID 42 that arrived at 1 s,
// on a clock that the test moves. Clients' names come from lookup.
struct ServerRun {
  explicit ServerRun(
      ServerConfig config = {},
      ClientNames::Lookup lookup = [](auto&) { return std::optional<std::string>("client-host"); })
      : config(config), names(std::move(lookup)) {
    ring.prime(make_sample(42, 1000000));
    ring.set_connected(true);
    console_capture_begin();
    this->config.local = {net::kLoopback, 0};
    listener = open_listener(this->config);
    net::Endpoint bound;
    net::local_endpoint(listener, &bound);
    port = bound.port;
    thread = std::jthread([this](std::stop_token stop) {
      serve_clients(
          listener, this->config, ring, [this] { return now_us.load(); }, names, stop);
    });
  }
  ~ServerRun() {
    thread.request_stop();
    RelayClient last(port);  // the server looks at the stop once it has accepted
    thread.join();
    console_capture_end();
  }

  ServerConfig config;
  SampleRing ring;
  std::atomic<std::int64_t> now_us{1300000};
  ClientNames names;
  net::Socket listener;
  std::uint16_t port = 0;
  std::jthread thread;
};

// 42 IDs, 100000 µs each, before 1 s: offset -3200000 µs, and jitter0 is
// -3200000 - 39 × (-3200000 / 39) = -11.
TEST(Server, GreetsAtOnceThenOneFreshLinePerReceive) {
  ServerRun server;
  RelayClient client(server.port);
  EXPECT_EQ(client.read_line(), "45.00000 O 0 -11\r\n");
  server.now_us = 1550000;
  client.send("x");
  EXPECT_EQ(client.read_line(), "47.50000 O 0 -11\r\n");
  client.send(std::string(250, 'x'));  // three receives of at most 100 bytes: three lines
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.read_line(), "47.50000 O 0 -11\r\n") << i;
  net::set_recv_timeout(client.socket, 300);
  EXPECT_EQ(client.read_line(), "");
  EXPECT_EQ(console_captured_out(),
            "Waiting for incoming connections...\r\nConnected to client-host\r\n");
}

TEST(Server, ASilentClientGetsOneLineAndTheNextWaitsItsTurn) {
  ServerRun server;
  auto first = std::make_unique<RelayClient>(server.port);
  EXPECT_TRUE(test::well_formed(first->read_line()));
  net::set_recv_timeout(first->socket, 300);
  EXPECT_EQ(first->read_line(), "");
  RelayClient second(server.port);
  ASSERT_TRUE(second.connected());  // queued in the listen queue
  net::set_recv_timeout(second.socket, 300);
  EXPECT_EQ(second.read_line(), "");
  first.reset();
  net::set_recv_timeout(second.socket, 3000);
  EXPECT_TRUE(test::well_formed(second.read_line()));
  EXPECT_NE(console_captured_out().find("Connection dropped\r\nConnected to client-host\r\n"),
            std::string::npos);
}

// Lines pile up unread, then the client resets: it is dropped, and no send failure reported.
TEST(Server, AResetIsNoSendFailure) {
  ServerRun server;
  for (int i = 0; i < 20; ++i) {
    RelayClient client(server.port);
    EXPECT_TRUE(test::well_formed(client.read_line()));
    for (int j = 0; j < 20; ++j) client.send(std::string(100, 'x'));
    net::set_reset_on_close(client.socket);
  }
  EXPECT_TRUE(eventually(
      [] { return test::occurrences(console_captured_out(), "Connection dropped\r\n") == 20; }));
  EXPECT_EQ(console_captured_err(), "");
}

// --- many clients at once ---

ServerConfig many(int clients, int idle_timeout_s = 0) {
  ServerConfig config;
  config.clients = clients;
  config.idle_timeout_s = idle_timeout_s;
  return config;
}

// Beside a silent client, one that floods requests and never reads, and one that resets, an
// active client is answered at once, every time; the messages pair up by address and port.
TEST(Server, NoClientHoldsUpAnother) {
  ServerRun server(many(4));
  RelayClient silent(server.port);
  EXPECT_TRUE(test::well_formed(silent.read_line()));
  RelayClient flooder(server.port);
  EXPECT_TRUE(test::well_formed(flooder.read_line()));
  net::set_nonblocking(flooder.socket, true);
  const std::string chunk(1000, 'x');
  for (int i = 0; i < 20000 && net::send_some(flooder.socket, chunk.data(), chunk.size()) > 0;) {
    ++i;
  }
  RelayClient active(server.port);
  EXPECT_TRUE(test::well_formed(active.read_line()));
  for (int i = 0; i < 100; ++i) {
    if (i % 10 == 0) {
      RelayClient resetting(server.port);
      net::set_reset_on_close(resetting.socket);
    }
    active.send("x");
    ASSERT_TRUE(test::well_formed(active.read_line())) << i;
  }
  // Every resetting client that was accepted before its reset is dropped; the rest never were.
  EXPECT_TRUE(eventually([] {
    const std::string out = console_captured_out();
    return test::occurrences(out, "Connection dropped (") + 3 ==
           test::occurrences(out, "Connected to client-host (");
  }));
  EXPECT_EQ(console_captured_err(), "");
}

// Clients that reset while they wait in the listen queue are none of the listener's failures:
// the next client is greeted, one at a time or many at once.
TEST(Server, ClientsThatResetInTheQueueAreSkipped) {
  for (const int clients : {1, 2}) {
    ServerRun server(many(clients));
    std::vector<std::unique_ptr<RelayClient>> holding;
    for (int i = 0; i < clients; ++i) {
      holding.push_back(std::make_unique<RelayClient>(server.port));
      EXPECT_TRUE(test::well_formed(holding.back()->read_line()));
    }
    for (int i = 0; i < 5; ++i) {
      RelayClient resetting(server.port);  // queued: every place is taken
      net::set_reset_on_close(resetting.socket);
    }
    holding.clear();
    RelayClient next(server.port);
    EXPECT_TRUE(test::well_formed(next.read_line())) << clients;
    EXPECT_EQ(console_captured_err(), "") << clients;
  }
}

// Beyond the places, clients wait in the listen queue and are greeted as one frees.
TEST(Server, ClientsBeyondThePlacesWaitTheirTurn) {
  ServerRun server(many(2));
  auto first = std::make_unique<RelayClient>(server.port);
  RelayClient second(server.port), third(server.port);
  EXPECT_TRUE(test::well_formed(first->read_line()));
  EXPECT_TRUE(test::well_formed(second.read_line()));
  net::set_recv_timeout(third.socket, 300);
  EXPECT_EQ(third.read_line(), "");
  first.reset();
  net::set_recv_timeout(third.socket, 3000);
  EXPECT_TRUE(test::well_formed(third.read_line()));
}

// A name server that never answers: the host's first client is greeted after a short wait
// with its address, and the others meanwhile at once.
TEST(Server, ASlowNameCostsOthersNothing) {
  std::promise<void> never;
  std::shared_future<void> answer = never.get_future().share();
  {
    ServerRun server(many(3), [answer](auto&) {
      answer.wait_for(std::chrono::seconds(5));
      return std::optional<std::string>("late");
    });
    RelayClient first(server.port), second(server.port);
    EXPECT_TRUE(test::well_formed(second.read_line()));
    EXPECT_TRUE(test::well_formed(first.read_line()));
    EXPECT_EQ(test::occurrences(console_captured_out(), "Connected to 127.0.0.1 (127.0.0.1:"), 2u);
  }
  never.set_value();
}

// Silent for the idle timeout: dropped, one at a time or many at once; a client that keeps
// asking stays.
TEST(Server, IdleClientsAreDropped) {
  for (const int clients : {1, 3}) {
    ServerRun server(many(clients, 1));
    RelayClient idle(server.port);
    EXPECT_TRUE(test::well_formed(idle.read_line()));
    const auto since = std::chrono::steady_clock::now();
    EXPECT_EQ(idle.read_line(), "") << clients;  // closed by the server, or 3 s passed
    const auto waited = std::chrono::steady_clock::now() - since;
    EXPECT_GE(waited, 900ms) << clients;
    EXPECT_LT(waited, 2900ms) << clients;
    EXPECT_TRUE(eventually(
        [] { return test::occurrences(console_captured_out(), "Connection dropped") == 1; }));
    RelayClient busy(server.port);
    EXPECT_TRUE(test::well_formed(busy.read_line()));
    for (int i = 0; i < 4; ++i) {
      std::this_thread::sleep_for(400ms);
      busy.send("x");
      ASSERT_TRUE(test::well_formed(busy.read_line())) << clients << " " << i;
    }
  }
}

}  // namespace
}  // namespace eventid
