// Fault injection: the real relay on loopback, driven by a misbehaving upstream (the
// simulator) or misbehaving clients. After every upstream fault the relay must be alive and,
// after at most 4.1 s of good announcements (40 fresh samples), within one ID of the truth.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>

#include "support/e2e.h"
#include "support/platform_texts.h"

namespace {

void wait_until_sim_seconds(const Simulator& sim, double seconds) {
  while (sim.elapsed() < seconds) std::this_thread::sleep_for(20ms);
}

// Alive, and within one ID of the truth.
void expect_recovered(Process& relay, const Simulator& sim) {
  EXPECT_FALSE(relay.wait_exit(0ms)) << relay.err();
  RelayClient client;
  ASSERT_TRUE(client.connected());
  const std::string line = client.read_line();
  const double truth = sim.truth();
  ASSERT_TRUE(well_formed(line)) << line;
  EXPECT_NEAR(line_position(line), truth, 1.0) << line;
}

struct UpstreamFault {
  const char* story;
  std::vector<std::string> sim_args;
  double fault_ends_at;  // seconds after the simulator's start
};

void PrintTo(const UpstreamFault& fault, std::ostream* os) {
  *os << fault.story;
}

class UpstreamFaults : public testing::TestWithParam<UpstreamFault> {};

TEST_P(UpstreamFaults, RelayRecoversWithinOneId) {
  const UpstreamFault& fault = GetParam();
  Simulator sim(fault.sim_args);
  Process relay = start_relay({"127.0.0.1", std::to_string(sim.port)});
  ASSERT_TRUE(relay_listening(relay)) << relay.err();
  wait_until_sim_seconds(sim, fault.fault_ends_at + 4.1);
  expect_recovered(relay, sim);
}

INSTANTIATE_TEST_SUITE_P(
    Upstream, UpstreamFaults,
    testing::Values(UpstreamFault{"silent_3s", {"--silent-at", "1.5", "--silent-for", "3"}, 4.5},
                    UpstreamFault{"closes", {"--close-after", "1.5"}, 1.5},
                    UpstreamFault{"resets_mid_stream", {"--reset-after", "1.5"}, 1.5},
                    UpstreamFault{"garbage_mixed_with_announcements",
                                  {"--garbage-every", "1", "--garbage-until", "4"},
                                  4},
                    UpstreamFault{
                        "random_garbage",
                        {"--garbage-every", "1", "--garbage", "random", "--garbage-until", "3"},
                        3},
                    UpstreamFault{"two_announcements_per_write", {"--twice"}, 0},
                    UpstreamFault{"ids_jump_forward", {"--jump-at", "2", "--jump-by", "5000"}, 2},
                    UpstreamFault{"ids_jump_back", {"--jump-at", "2", "--jump-by", "-500"}, 2}),
    [](const testing::TestParamInfo<UpstreamFault>& info) { return info.param.story; });

TEST(UpstreamRestart, BackAfterFiveSecondsDown) {
  const std::uint16_t port = closed_port();
  auto first =
      std::make_unique<Simulator>(std::vector<std::string>{"--port", std::to_string(port)});
  Process relay = start_relay({"127.0.0.1", std::to_string(port)});
  ASSERT_TRUE(relay_listening(relay)) << relay.err();
  std::vector<std::string> resumed = first->continuation();
  resumed.insert(resumed.end(), {"--port", std::to_string(port)});
  first.reset();
  std::this_thread::sleep_for(5s);
  Simulator second(resumed);
  // Pauses of 2, 4 and 6 s after the failed attempts: back within 13 s.
  ASSERT_TRUE(eventually(
      [&] {
        return relay.out().find("successful", relay.out().find("getting")) != std::string::npos;
      },
      20s));
  std::this_thread::sleep_for(4100ms);
  expect_recovered(relay, second);
  EXPECT_NE(relay.err().find("Connect failed, 1/20 retries left...\r\n"), std::string::npos);
}

// Neither needs a query to leave the machine: a label longer than 63 characters cannot be
// looked up, and services are looked up locally.
TEST(UpstreamResolution, UnknownHostOrServiceKeepsRetrying) {
  const std::string host = std::string(64, 'a') + ".invalid";
  Process bad_host = start_relay({host, "58050"});
  Process bad_service = start_relay({"127.0.0.1", "no-such-service"});
  for (Process* relay : {&bad_host, &bad_service}) {
    EXPECT_TRUE(eventually(
        [&] { return relay->err().find("Next retry in 2sec\r\n") != std::string::npos; }));
    EXPECT_EQ(relay->err().rfind("ID_connect() getaddrinfo failed: ", 0), 0u) << relay->err();
    EXPECT_FALSE(relay->wait_exit(0ms));
  }
  EXPECT_FALSE(RelayClient().connected());
}

// --- clients ---

std::size_t open_descriptors(int pid) {
  const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  auto it = std::filesystem::directory_iterator(fds, ec);
  return ec ? 0 : static_cast<std::size_t>(std::distance(it, {}));
}

struct RelayFixture : testing::Test {
  Simulator sim;
  Process relay{start_relay({"127.0.0.1", std::to_string(sim.port)})};
  void SetUp() override { ASSERT_TRUE(relay_listening(relay)) << relay.err(); }
  void TearDown() override {
    EXPECT_FALSE(relay.wait_exit(0ms));
    EXPECT_EQ(relay.err(), "");
  }
};

using Clients = RelayFixture;

TEST_F(Clients, AThousandSequentialConnectionsLeakNothing) {
  const std::size_t before = open_descriptors(relay.pid());
  for (int i = 0; i < 1000; ++i) {
    RelayClient c;
    ASSERT_TRUE(well_formed(c.read_line())) << i;
  }
  RelayClient last;  // the relay has dropped every earlier client once it greets this one
  ASSERT_TRUE(well_formed(last.read_line()));
  if (before == 0) GTEST_SKIP() << "no /proc here to count descriptors";
  EXPECT_EQ(open_descriptors(relay.pid()), before + 1);
}

TEST_F(Clients, TwoHundredResetsMidLine) {
  for (int i = 0; i < 200; ++i) {
    RelayClient c;
    ASSERT_TRUE(well_formed(c.read_line()));
    for (int j = 0; j < 20; ++j) c.send(std::string(100, 'x'));  // lines pile up unread
    net::set_reset_on_close(c.socket);
  }
  RelayClient after;
  EXPECT_NEAR(line_position(after.read_line()), sim.truth(), 0.2);
  EXPECT_TRUE(eventually([&] { return occurrences(relay.out(), "Connection dropped") == 200; }));
}

TEST_F(Clients, FloodOfOneMegabyteWhileReading) {
  RelayClient c;
  std::atomic<bool> sent{false};
  std::thread flood([&] {
    const std::string chunk(1000, 'x');
    for (int i = 0; i < 1000; ++i) c.send(chunk);
    sent = true;
  });
  double previous = 0;
  int lines = 0;
  for (std::string line = c.read_line(); !line.empty(); line = c.read_line()) {
    ASSERT_TRUE(well_formed(line)) << line;
    EXPECT_GE(line_position(line), previous) << line;
    previous = line_position(line);
    ++lines;
    if (sent && c.pending.empty()) net::set_recv_timeout(c.socket, 300);
  }
  flood.join();
  EXPECT_GE(lines, 10000);  // at least one per 100 bytes received
}

}  // namespace
