// End-to-end: the real relay against the real simulator, on loopback. The relay's port is
// fixed, so these run one at a time.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "delivery/server.h"
#include "support/e2e.h"
#include "support/loopback.h"

namespace eventid {
namespace {

using namespace test;

// Within 20 ms of the simulator's truth, read just after the line arrived.
void expect_tracks_truth(const std::string& line, const Simulator& sim) {
  ASSERT_TRUE(well_formed(line)) << line;
  EXPECT_EQ(line_state(line), 'O') << line;
  EXPECT_NEAR(line_position(line), sim.truth(), 0.2) << line;
}

TEST(RelayStartup, ListensOnlyAfterTheFirstSampleAndNeverWithinASecond) {
  Simulator sim;
  const auto started = std::chrono::steady_clock::now();
  Process relay(EVENTID_RELAY, {"127.0.0.1", std::to_string(sim.port)});
  EXPECT_FALSE(RelayClient().connected());
  ASSERT_TRUE(relay_listening(relay)) << relay.out() << relay.err();
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1s);
  EXPECT_EQ(relay.out(),
            "Trying to connect to 127.0.0.1\r\n"
            "Connection to 127.0.0.1 successful\r\n"
            "Connected to EventID server and getting data\r\n"
            "Waiting for incoming connections...\r\n");
  EXPECT_EQ(relay.err(), "");
}

TEST(RelayStartup, LocalhostAndTheDefaults) {
  Simulator sim;
  Process relay(EVENTID_RELAY, {"localhost", std::to_string(sim.port)});
  ASSERT_TRUE(relay_listening(relay)) << relay.err();
  EXPECT_EQ(relay.out().rfind("Trying to connect to localhost\r\nConnection to localhost", 0), 0u);
  relay.kill();

  Process bare(EVENTID_RELAY, {});
  EXPECT_TRUE(eventually([&] { return bare.out().size() >= 32; }));
  EXPECT_EQ(bare.out().rfind("Trying to connect to localhost\r\n", 0), 0u);
}

TEST(RelayStartup, UnreachableUpstreamOpensNoPortAndRetries) {
  Process relay(EVENTID_RELAY, {"127.0.0.1", std::to_string(closed_port())});
  const std::string first = "ID_connect() connect failed: " + refused_text() +
                            "\r\n"
                            "Connect failed, 1/20 retries left...\r\n"
                            "Next retry in 2sec\r\n";
  ASSERT_TRUE(eventually([&] { return relay.err().size() >= first.size(); }));
  EXPECT_EQ(relay.err().substr(0, first.size()), first);
  EXPECT_TRUE(eventually([&] { return occurrences(relay.err(), "Connect failed, 2/20") == 1; }));
  EXPECT_FALSE(RelayClient().connected());
  EXPECT_FALSE(relay.wait_exit(0ms));
}

TEST(RelayClients, GreetingThenOneLinePerChunk) {
  RelayRun run;
  ASSERT_TRUE(relay_listening(run.relay));
  RelayClient client;
  ASSERT_TRUE(client.connected());
  expect_tracks_truth(client.read_line(), run.sim);
  for (int i = 0; i < 20; ++i) {
    client.send("x");
    expect_tracks_truth(client.read_line(), run.sim);
    std::this_thread::sleep_for(15ms);
  }
  EXPECT_TRUE(
      eventually([&] { return occurrences(run.relay.out(), "Connected to localhost\r\n"); }));
}

TEST(RelayClients, SilentClientGetsExactlyOneLine) {
  RelayRun run;
  ASSERT_TRUE(relay_listening(run.relay));
  RelayClient client;
  EXPECT_TRUE(well_formed(client.read_line()));
  net::set_recv_timeout(client.socket, 500);
  EXPECT_EQ(client.read_line(), "");
}

TEST(RelayClients, SecondClientWaitsForTheFirst) {
  RelayRun run;
  ASSERT_TRUE(relay_listening(run.relay));
  auto first = std::make_unique<RelayClient>();
  EXPECT_TRUE(well_formed(first->read_line()));
  RelayClient second;
  ASSERT_TRUE(second.connected());  // queued in the backlog
  net::set_recv_timeout(second.socket, 500);
  EXPECT_EQ(second.read_line(), "");
  first.reset();
  net::set_recv_timeout(second.socket, 5000);
  expect_tracks_truth(second.read_line(), run.sim);
}

// A hundred clients at once: each waits its turn in the listen queue and is greeted in the
// order it came, none left to retry its handshake.
TEST(RelayClients, BurstOfAHundredIsGreetedInTurn) {
  RelayRun run;
  ASSERT_TRUE(relay_listening(run.relay));
  const std::vector<Greeting> greetings = greet_burst(kDeliveryPort, 100, 10s);
  ASSERT_EQ(greetings.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(greetings[i].client, i);
    EXPECT_TRUE(well_formed(greetings[i].line)) << greetings[i].line;
  }
}

TEST(RelayFailures, PortTakenEndsWithStatusThree) {
  const net::Socket squatter = net::open_tcp4();
  ASSERT_TRUE(net::bind_to(squatter, {0, kDeliveryPort}));
  ASSERT_TRUE(net::listen_on(squatter, 1));
  Simulator sim;
  Process relay(EVENTID_RELAY, {"127.0.0.1", std::to_string(sim.port)});
  EXPECT_EQ(relay.wait_exit(15s), 3);
  EXPECT_EQ(relay.err(), "deliver_id() bind failed: " + port_in_use_text() + "\r\n");
}

// With no descriptor left for a client, accept fails: the relay reports it and keeps trying
// instead of ending.
TEST(RelayFailures, OutOfDescriptorsIsReportedNotFatal) {
  if (!EVENTID_POSIX_SHELL)
    GTEST_SKIP() << "needs a POSIX shell's ulimit to run out of descriptors";
  Simulator sim;
  // 0, 1, 2, the upstream connection and the listener: nothing left for a client. Whatever
  // else the test runner let the shell inherit is closed first.
  const std::string script =
      "for fd in /proc/$$/fd/*; do n=${fd##*/}; [ $n -gt 2 ] && eval \"exec $n>&-\"; done; "
      "ulimit -n 5; exec " EVENTID_RELAY " 127.0.0.1 " +
      std::to_string(sim.port);
  Process relay("/bin/bash", {"-c", script});
  ASSERT_TRUE(relay_listening(relay)) << relay.err();
  RelayClient client;
  const char* report = "deliver_id() accept failed: Too many open files\r\n";
  EXPECT_TRUE(eventually([&] { return occurrences(relay.err(), report) >= 3; }));
  EXPECT_FALSE(relay.wait_exit(0ms));
}

// Falls silent 1.5 s after the start for 6 s: the relay must go D (after its 2 s receive
// timeout), S once announcements return (the ring still holds samples from before), then O
// once 40 fresh samples have replaced them.
TEST(RelayFailures, UpstreamSilenceGoesDownStaleThenOk) {
  RelayRun run({"--silent-at", "1.5", "--silent-for", "6"});
  ASSERT_TRUE(relay_listening(run.relay));
  RelayClient client;
  std::string states;
  for (int i = 0; i < 200 && states.size() < 4; ++i) {
    const std::string line = client.read_line();
    ASSERT_TRUE(well_formed(line)) << line;
    if (states.empty() || states.back() != line_state(line)) states += line_state(line);
    std::this_thread::sleep_for(100ms);
    client.send("x");
  }
  EXPECT_EQ(states, "ODSO");
  EXPECT_NE(run.relay.err().find("ID_collect() recv failed, -1 bytes received, closing socket: "),
            std::string::npos);
}

}  // namespace
}  // namespace eventid
