#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "delivery/client_names.h"
#include "delivery/id_line.h"
#include "delivery/idle_order.h"
#include "delivery/server.h"
#include "support/captured_console.h"
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

// Idle deadlines hold the clients held, however many have come and gone.
TEST(IdleOrder, HoldsOnlyTheClientsHeldOldestLineFirst) {
  IdleOrder order;
  std::vector<IdleOrder::Place> places(1000);
  for (std::size_t slot = 0; slot < places.size(); ++slot) order.touch(places[slot], slot);
  order.touch(places[0], 0);  // a fresh line: last in the order
  EXPECT_EQ(order.oldest(), 1u);
  for (std::size_t slot = 1; slot < places.size(); ++slot) order.forget(places[slot]);
  EXPECT_EQ(order.size(), 1u);
  EXPECT_EQ(order.oldest(), 0u);
  order.forget(places[0]);
  order.forget(places[0]);
  EXPECT_TRUE(order.empty());
}

// --- client names ---

net::Endpoint host(int n) {
  return {0x0a000000u + static_cast<std::uint32_t>(n), 1};  // 10.0.0.n
}

// Set on a lookup's own thread, once it has its answer.
thread_local bool answered_here = false;

// A resolver that answers from a table, at once or only when the test lets it, and a clock
// that the test moves. A lookup can outlast the server or names that asked for it, and then
// settles its answer at the clock's time: both hold the world, which is still there then.
struct World : std::enable_shared_from_this<World> {
  std::mutex mutex;
  std::condition_variable changed;
  bool holding = false;
  int calls = 0;
  std::map<std::string, std::string> names;  // by address; absent: no name
  std::atomic<std::int64_t> now_us{0};
  std::atomic<int> clock_reads{0};
  // Answers settled: counted as an answer's thread reads the clock to keep it, since a test
  // that moved the clock between the lookup's return and that reading would change how long
  // the answer is kept.
  std::atomic<int> lookups_done{0};

  std::optional<std::string> look_up(const net::Endpoint& peer) {
    std::unique_lock<std::mutex> lock(mutex);
    ++calls;
    changed.wait(lock, [&] { return !holding; });
    answered_here = true;
    const auto it = names.find(net::address_text(peer.address));
    if (it == names.end()) return std::nullopt;
    return it->second;
  }
  void set_name(const std::string& address, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    names[address] = name;
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
  ClientNames::Lookup lookup() {
    return [w = shared_from_this()](const net::Endpoint& peer) { return w->look_up(peer); };
  }
  Clock clock() {
    return [w = shared_from_this()] {
      ++w->clock_reads;
      const std::int64_t now = w->now_us.load();
      if (answered_here) ++w->lookups_done;
      return now;
    };
  }
};

struct ClientNamesTest : testing::Test {
  std::shared_ptr<World> world = std::make_shared<World>();
  std::atomic<int> answers{0};
  ClientNames names{world->lookup(), world->clock(), [this] { ++answers; }};
  void TearDown() override { world->hold(false); }

  // What a client of the host is shown as, once its lookup, if any, has answered.
  std::string name_of(int n) {
    if (std::optional<std::string> now = names.settled_name(host(n))) return *now;
    std::optional<std::string> later;
    EXPECT_TRUE(eventually([&] { return (later = names.answer(host(n))).has_value(); }));
    return later.value_or("");
  }
};

TEST_F(ClientNamesTest, AnswersKeptTenMinutesFailuresOneLongNamesShownAsAddresses) {
  world->names = {{"10.0.0.1", "alpha"}, {"10.0.0.3", std::string(22, 'n')}};
  EXPECT_EQ(name_of(1), "alpha");
  EXPECT_EQ(name_of(2), "10.0.0.2");
  EXPECT_EQ(name_of(3), "10.0.0.3");
  EXPECT_EQ(world->lookups(), 3);
  EXPECT_EQ(answers, 3);
  world->now_us = 59'000'000;
  EXPECT_EQ(name_of(2), "10.0.0.2");
  EXPECT_EQ(world->lookups(), 3);
  world->now_us = 61'000'000;
  EXPECT_EQ(name_of(2), "10.0.0.2");
  EXPECT_EQ(world->lookups(), 4);
  world->now_us = 599'000'000;
  EXPECT_EQ(name_of(1), "alpha");
  EXPECT_EQ(world->lookups(), 4);
  world->now_us = 601'000'000;
  EXPECT_EQ(name_of(1), "alpha");
  EXPECT_EQ(world->lookups(), 5);
}

// While a host's lookup is out, its clients show the address; at most four are out at once.
TEST_F(ClientNamesTest, AtMostFourLookupsAtOnceAndTheAddressMeanwhile) {
  world->hold(true);
  for (int n = 1; n <= 4; ++n) EXPECT_FALSE(names.settled_name(host(n))) << n;
  EXPECT_EQ(names.settled_name(host(1)), "10.0.0.1");
  EXPECT_EQ(names.settled_name(host(5)), "10.0.0.5");
  EXPECT_FALSE(names.answer(host(1)));
  EXPECT_EQ(answers, 0);
  world->hold(false);
  EXPECT_TRUE(eventually([&] { return answers == 4; }));
  EXPECT_EQ(names.answer(host(1)), "10.0.0.1");
  EXPECT_FALSE(names.settled_name(host(5)));
}

TEST_F(ClientNamesTest, KeepsSixtyFourHostsAtMost) {
  for (int n = 1; n <= 65; ++n) {
    world->now_us = n;  // the first host's answer expires first, so it goes first
    name_of(n);
  }
  EXPECT_EQ(world->lookups(), 65);
  for (int n = 2; n <= 65; ++n) name_of(n);
  EXPECT_EQ(world->lookups(), 65);
  name_of(1);
  EXPECT_EQ(world->lookups(), 66);
}

// --- the server, in this process, over loopback ---

// The server on a free loopback port, serving a ring primed with ID 42 that arrived at 1 s,
// on a clock that the test moves. Clients' names come from the world; accepting fails with
// too many open files while the test says so.
struct ServerRun {
  explicit ServerRun(ServerConfig config = {}) : config(config) {
    world->names = {{"127.0.0.1", "client-host"}};
    ring.prime(make_sample(42, 1000000));
    ring.set_connected(true);
    world->now_us = 1300000;
    this->config.listen = {{net::kLoopback, 0}};
    listeners = open_listeners(this->config);
    net::Endpoint bound;
    net::local_endpoint(listeners.at(0), &bound);
    port = bound.port;
    const ServerSeam seam{world->lookup(), [this](auto& l, auto* peer, int* err) {
                            ++accepts;
                            if (short_of_descriptors) {
                              *err = test::too_many_open_files();
                              return net::Socket();
                            }
                            return system_acceptor()(l, peer, err);
                          }};
    server = std::make_unique<Server>(loop, listeners, this->config, ring, counters, seam);
    thread = std::thread([this] { EXPECT_TRUE(loop.run()); });
  }
  ~ServerRun() {
    if (!hold_past_end) world->hold(false);
    loop.stop();
    thread.join();
  }
  // The loop reads the clock again when woken, as it does when a name's answer comes.
  void advance(std::int64_t us) {
    world->now_us += us;
    loop.wake();
  }

  test::CapturedConsole console;
  std::shared_ptr<World> world = std::make_shared<World>();
  ServerConfig config;
  SampleRing ring;
  std::atomic<bool> short_of_descriptors{false};
  std::atomic<int> accepts{0};
  bool hold_past_end = false;  // a lookup held still outlasts the server
  ServerCounters counters;
  EventLoop loop{"deliver_id()", world->clock()};
  std::vector<net::Socket> listeners;
  std::uint16_t port = 0;
  std::unique_ptr<Server> server;
  std::thread thread;
};

ServerConfig many(int clients, std::int64_t idle_timeout_us = 0) {
  ServerConfig config;
  config.clients = clients;
  config.idle_timeout_us = idle_timeout_us;
  return config;
}

// Whether the client gets nothing more: the server closed it, or nothing came in 300 ms.
bool hears_nothing(RelayClient& c) {
  net::set_recv_timeout(c.socket, 300000);
  const bool nothing = c.read_line().empty();
  net::set_recv_timeout(c.socket, 3000000);
  return nothing;
}

// 42 IDs, 100000 µs each, before 1 s: offset -3200000 µs, and jitter0 is
// -3200000 - 39 × (-3200000 / 39) = -11.
TEST(Server, GreetsAtOnceThenOneFreshLinePerReceive) {
  ServerRun server;
  RelayClient client(server.port);
  EXPECT_EQ(client.read_line(), "45.00000 O 0 -11\r\n");
  server.world->now_us = 1550000;
  client.send("x");
  EXPECT_EQ(client.read_line(), "47.50000 O 0 -11\r\n");
  client.send(std::string(250, 'x'));  // three receives of at most 100 bytes: three lines
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.read_line(), "47.50000 O 0 -11\r\n") << i;
  EXPECT_TRUE(hears_nothing(client));
  EXPECT_EQ(server.console.out(),
            "Waiting for incoming connections...\r\nConnected to client-host\r\n");
}

// Beyond the places, clients wait in the listen queue and are greeted in turn as one frees;
// with one place only, the messages carry no address.
TEST(Server, ClientsBeyondThePlacesWaitTheirTurn) {
  for (const int clients : {1, 2}) {
    ServerRun server(many(clients));
    std::vector<std::unique_ptr<RelayClient>> held;
    for (int i = 0; i < clients; ++i) {
      held.push_back(std::make_unique<RelayClient>(server.port));
      EXPECT_TRUE(test::well_formed(held.back()->read_line())) << clients;
    }
    RelayClient next(server.port), after(server.port);
    ASSERT_TRUE(next.connected() && after.connected());  // queued in the listen queue
    EXPECT_TRUE(hears_nothing(next)) << clients;
    held.front().reset();
    EXPECT_TRUE(test::well_formed(next.read_line())) << clients;
    EXPECT_TRUE(hears_nothing(after)) << clients;
    const std::string out = server.console.out();
    EXPECT_EQ(test::occurrences(out, "Connected to client-host\r\n"), clients == 1 ? 2u : 0u);
    EXPECT_EQ(test::occurrences(out, "Connection dropped\r\n"), clients == 1 ? 1u : 0u);
  }
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
      [&] { return test::occurrences(server.console.out(), "Connection dropped\r\n") == 20; }));
  EXPECT_EQ(server.console.err(), "");
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
  // Every resetting client that was greeted before its reset is dropped; the rest never were.
  EXPECT_TRUE(eventually([&] {
    const std::string out = server.console.out();
    return test::occurrences(out, "Connection dropped (") + 3 ==
           test::occurrences(out, "Connected to client-host (");
  }));
  EXPECT_EQ(server.console.err(), "");
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
    EXPECT_EQ(server.console.err(), "") << clients;
  }
}

// A name server that does not answer: the host's first client waits for its name until the
// wait is over, and is then shown by address; the others meanwhile are greeted at once, and
// the server does not look for the answer again and again. An answer that comes wakes it.
TEST(Server, NamesSettleWithoutHoldingUpOthersOrSpinning) {
  ServerRun server(many(3));
  World& world = *server.world;
  world.hold(true);
  RelayClient first(server.port), second(server.port);
  EXPECT_TRUE(test::well_formed(second.read_line()));
  const int reads = world.clock_reads;
  EXPECT_TRUE(hears_nothing(first));
  EXPECT_LE(world.clock_reads - reads, 20);  // a few for the wait's timeouts, not hundreds
  server.advance(ClientNames::kFirstWaitUs);
  EXPECT_TRUE(test::well_formed(first.read_line()));
  EXPECT_EQ(test::occurrences(server.console.out(), "Connected to 127.0.0.1 (127.0.0.1:"), 2u);

  world.hold(false);  // the answer comes too late for those two
  EXPECT_TRUE(eventually([&] { return world.lookups_done == 1; }));
  world.hold(true);
  world.set_name("127.0.0.1", "late");
  world.now_us += ClientNames::kAnswerKeptUs;  // forgotten: the next client asks again
  RelayClient third(server.port);
  EXPECT_TRUE(hears_nothing(third));
  world.hold(false);
  EXPECT_TRUE(test::well_formed(third.read_line()));  // and the clock has not moved
  EXPECT_EQ(test::occurrences(server.console.out(), "Connected to late ("), 1u);
}

// Waiting for its name, a client that only shuts its sending side (as `printf x | nc` does)
// is greeted, answered and logged as any other; one that resets is closed at once, and
// unannounced, so that the next one is served without waiting out the name.
TEST(Server, ClientsThatCloseBeforeTheirGreeting) {
  ServerRun server;
  World& world = *server.world;
  world.hold(true);
  RelayClient half_closed(server.port);
  half_closed.send("x");
  net::shutdown_sending(half_closed.socket);
  EXPECT_TRUE(hears_nothing(half_closed));
  world.hold(false);
  EXPECT_TRUE(test::well_formed(half_closed.read_line()));
  EXPECT_TRUE(test::well_formed(half_closed.read_line()));
  EXPECT_EQ(half_closed.read_line(), "");  // closed by the server

  world.hold(true);
  world.now_us += ClientNames::kAnswerKeptUs;
  {
    RelayClient resetting(server.port);
    EXPECT_TRUE(eventually([&] { return world.lookups() == 2; }));
    net::set_reset_on_close(resetting.socket);
  }
  RelayClient next(server.port);
  EXPECT_TRUE(test::well_formed(next.read_line()));  // and the clock has not moved
  EXPECT_EQ(server.console.out(),
            "Waiting for incoming connections...\r\nConnected to client-host\r\n"
            "Connection dropped\r\nConnected to 127.0.0.1\r\n");
}

// An idle timeout drops a client silent that long since its latest line, and one that floods
// requests but has left its latest line unread that long: one at a time or many at once.
TEST(Server, IdleClientsAreDropped) {
  constexpr std::int64_t kTimeout = 2000000;
  for (const int clients : {1, 3}) {
    ServerRun server(many(clients, kTimeout));
    RelayClient silent(server.port);
    EXPECT_TRUE(test::well_formed(silent.read_line()));
    server.advance(kTimeout - 1);
    EXPECT_TRUE(hears_nothing(silent));
    EXPECT_EQ(test::occurrences(server.console.out(), "Connection dropped"), 0u);
    server.advance(1);
    EXPECT_EQ(silent.read_line(), "") << clients;  // closed by the server

    {
      const test::Flooder flooder(server.port);
      ASSERT_TRUE(flooder.greeted());
      // It earns lines until the server holds one that it cannot send; then it is dropped.
      EXPECT_TRUE(eventually([&] {
        server.advance(kTimeout);
        return test::occurrences(server.console.out(), "Connection dropped") == 2;
      }));
    }
    RelayClient next(server.port);
    EXPECT_TRUE(test::well_formed(next.read_line())) << clients;

    for (int i = 0; i < 4; ++i) {  // asking within the timeout keeps a client
      server.advance(kTimeout / 2);
      next.send("x");
      ASSERT_TRUE(test::well_formed(next.read_line())) << clients << " " << i;
    }
  }
}

// Out of descriptors: written once as the shortage begins, and once when accepting works
// again, however many times accepting is tried meanwhile (every 100 ms).
TEST(Server, AShortageOfDescriptorsIsWrittenOnceWhenItBeginsAndOnceWhenItEnds) {
  ServerRun server;
  {
    // The host's name, once known, is shown at once: the clock that the test moves below to
    // end the pauses never decides whether a name's answer came in time.
    RelayClient first(server.port);
    EXPECT_TRUE(test::well_formed(first.read_line()));
  }
  EXPECT_TRUE(eventually(
      [&] { return test::occurrences(server.console.out(), "Connection dropped") == 1; }));
  server.short_of_descriptors = true;
  RelayClient waiting(server.port);
  EXPECT_TRUE(eventually([&] { return server.accepts == 2; }));
  // The server starts its pause just after the failed accept is counted, and may read the
  // clock after an advance made in between: the clock moves on until the next try comes.
  const auto next_try = [&] {
    const int tried = server.accepts;
    return eventually([&] {
      server.advance(kShortagePauseUs);
      return server.accepts > tried;
    });
  };
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(next_try());
  server.short_of_descriptors = false;
  EXPECT_TRUE(eventually([&] {
    server.advance(kShortagePauseUs);
    return test::occurrences(server.console.out(), "Connected to") == 2;
  }));
  EXPECT_TRUE(test::well_formed(waiting.read_line()));
  const std::string failure =
      "deliver_id() accept failed: " + net::error_text(test::too_many_open_files()) + "\r\n";
  EXPECT_EQ(server.console.err(), failure);
  EXPECT_EQ(server.console.out(),
            "Waiting for incoming connections...\r\nConnected to client-host\r\n"
            "Connection dropped\r\ndeliver_id() accepting again\r\nConnected to client-host\r\n");
}

// A lookup that outlasts the server and its loop settles its answer at a clock of its own,
// never at the loop's, which has gone with it.
TEST(Server, ALookupThatOutlastsTheServerReadsNothingItLeft) {
  std::shared_ptr<World> world;
  {
    ServerRun server;
    world = server.world;
    world->hold(true);
    server.hold_past_end = true;
    RelayClient waiting(server.port);
    EXPECT_TRUE(eventually([&] { return world->lookups() == 1; }));
  }
  const int reads = world->clock_reads;
  world->hold(false);
  EXPECT_TRUE(eventually([&] { return world->clock_reads > reads; }));
}

// Another thread ends deliver_id(), serving or not yet: the listener and its clients closed as
// it returns, and a loop stopped before it began ends as soon as it begins.
TEST(ServingStop, EndsDeliverIdWhetherItServesYetOrNot) {
  test::CapturedConsole console;
  SampleRing ring;
  ring.prime(make_sample(1000, millisecond_clock()));
  for (const bool serving : {false, true}) {
    ServingStop stop;
    EXPECT_TRUE(serving || !stop.stop());  // stopped before it begins: nothing serves yet
    const std::uint16_t port = test::closed_port();
    std::atomic<bool> listening{false}, returned{false};
    std::thread loop([&] {
      ServerCounters counters;
      ServerConfig config;
      config.listen = {{net::kLoopback, port}};
      deliver_id(
          config, ring, millisecond_clock, counters, [&] { listening = true; }, &stop);
      returned = true;
    });
    EXPECT_TRUE(eventually([&] { return listening.load(); }));
    if (serving) {
      RelayClient client(port);
      EXPECT_TRUE(test::well_formed(client.read_line()));
      EXPECT_TRUE(stop.stop());
      char byte;
      EXPECT_EQ(net::receive_some(client.socket, &byte, 1), 0);  // closed, not timed out
    }
    EXPECT_TRUE(eventually([&] { return returned.load(); }));
    stop.stop();  // a loop that went on serving ends, and the test with it
    loop.join();
    EXPECT_FALSE(test::connect_loopback(port).valid());
  }
}

}  // namespace
}  // namespace eventid
