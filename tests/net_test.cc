#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "support/loopback.h"

namespace eventid {
namespace {

// A plain send to a reset peer raises SIGPIPE on the second try, which would end the relay.
TEST(Net, SendingToAResetPeerNeverRaisesASignal) {
  test::Pair p = test::connected_pair();
  net::set_reset_on_close(p.client);
  p.client.close();
  const char line[] = "1.00000 O 0 0\r\n";
  for (int i = 0; i < 3; ++i) {  // the first failure reports the reset, later ones a broken pipe
    EXPECT_LT(net::send_some(p.server, line, sizeof line - 1), 0);
    EXPECT_TRUE(net::is_peer_gone(net::last_error())) << net::error_text(net::last_error());
  }
}

TEST(Net, ReceiveTimesOutAndReportsAClose) {
  test::Pair p = test::connected_pair();
  ASSERT_TRUE(net::set_recv_timeout(p.server, 50000));
  char buf[8];
  EXPECT_EQ(net::receive_some(p.server, buf, sizeof buf), -1);
  p.client.close();
  EXPECT_EQ(net::receive_some(p.server, buf, sizeof buf), 0);
}

TEST(Net, ResolvesToIPv4AndCarriesTheResolversText) {
  net::Endpoint to;
  std::string error;
  ASSERT_TRUE(net::resolve_ipv4("127.0.0.1", "58050", &to, &error));
  EXPECT_EQ(net::address_text(to.address), "127.0.0.1");
  EXPECT_EQ(to.port, 58050);
  EXPECT_FALSE(net::resolve_ipv4("127.0.0.1", "no-such-service", &to, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find("Unknown error"), std::string::npos) << error;
}

// Windows leaves errno alone, so strerror would say "Success" or "Unknown error" there.
TEST(Net, ErrorTextsAreThePlatformsOwn) {
  for (const std::string& text : {test::refused_text(), test::port_in_use_text()}) {
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find("Success"), std::string::npos) << text;
    EXPECT_EQ(text.find("Unknown error"), std::string::npos) << text;
    EXPECT_NE(text.back(), '\n') << text;
  }
}

TEST(Net, ListenerTakesItsPortFromOthers) {
  const test::LoopbackListener first;
  const net::Socket second = net::open_tcp4();
  ASSERT_TRUE(net::set_listener_address_option(second));
  EXPECT_FALSE(net::bind_to(second, {net::kLoopback, first.port}));
  EXPECT_EQ(net::classify_accept_error(net::last_error()), net::AcceptFailure::kListener);
}

// A wait with no limit ends when another thread wakes it, each time, and reports no event.
TEST(Net, AWakeEndsAPollersWait) {
  net::Poller poller;
  ASSERT_TRUE(poller.ok());
  test::Pair p = test::connected_pair();
  ASSERT_TRUE(poller.add(p.server, net::kReadable, 7));
  std::vector<net::Poller::Event> events;
  for (int i = 0; i < 20; ++i) {
    std::thread waker([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      poller.wake();
    });
    EXPECT_EQ(poller.wait(&events, -1), 0) << i;
    waker.join();
  }
  poller.wake();
  poller.wake();  // wakes that come before a wait end it at once
  EXPECT_EQ(poller.wait(&events, -1), 0);
  EXPECT_EQ(poller.wait(&events, 0), 0);
  test::send_all(p.client, "x");
  ASSERT_EQ(poller.wait(&events, -1), 1);
  EXPECT_EQ(events[0].key, 7u);
  EXPECT_EQ(events[0].found, net::kReadable);
}

// The same strictness on every platform: inet_pton's dotted quad and nothing else.
TEST(Net, AddressesAreDottedQuadsOnly) {
  std::uint32_t a = 0;
  EXPECT_TRUE(net::parse_address("127.0.0.1", &a));
  EXPECT_EQ(a, net::kLoopback);
  EXPECT_TRUE(net::parse_address("255.255.255.255", &a));
  EXPECT_EQ(a, 0xffffffffu);
  EXPECT_TRUE(net::parse_address("0.0.0.0", &a));
  EXPECT_EQ(a, 0u);
  for (const char* bad :
       {"127.1", "127.0.0.1.", "127.0.0.1 ", " 127.0.0.1", "256.0.0.1", "127.0.0.01", "0x7f.0.0.1",
        "1.2.3", "1..2.3", "localhost", "", "+1.2.3.4", "1.2.3.4/8", "1000.2.3.4"}) {
    EXPECT_FALSE(net::parse_address(bad, &a)) << bad;
  }
  EXPECT_EQ(net::address_text(0xc0a80001u), "192.168.0.1");
}

// An upstream host that connects over IPv6: a literal, a link-local one with its zone.
TEST(Net, IPv6HostsMayNameTheirInterface) {
  for (const char* good : {"::1", "fe80::1%eth0", "fe80::1%2", "::ffff:1.2.3.4"}) {
    EXPECT_TRUE(net::is_ipv6_host(good)) << good;
  }
  for (const char* bad : {"", "fe80::1%", "%eth0", "127.0.0.1", "localhost", "[::1]", "::1 "}) {
    EXPECT_FALSE(net::is_ipv6_host(bad)) << bad;
  }
  net::Endpoint link_local;
  bool has_port = false;
  ASSERT_TRUE(net::parse_listen_address("[fe80::1]", &link_local, &has_port));
  link_local.scope = 1;  // loopback's on Linux; named by its number on Windows
  const std::string shown = net::endpoint_text(link_local);
  EXPECT_TRUE(shown == "[fe80::1%lo]:0" || shown == "[fe80::1%1]:0") << shown;
}

// Every listening option's forms, read back as the messages show them; a port only where the
// form has one.
TEST(Net, ListenAddressForms) {
  const std::string long_path(net::kLongestUnixPath, 'p');
  const struct {
    const char* text;
    const char* shown;  // as endpoint_text() gives it back, port 0 where none was given
    bool has_port;
  } good[] = {
      {"127.0.0.1", "127.0.0.1:0", false},
      {"0.0.0.0:58051", "0.0.0.0:58051", true},
      {"1.2.3.4:65535", "1.2.3.4:65535", true},
      {"[::1]", "[::1]:0", false},
      {"[::]:0", "[::]:0", true},
      {"[fe80::1:2]:80", "[fe80::1:2]:80", true},
      {"[::ffff:1.2.3.4]:1", "[::ffff:1.2.3.4]:1", true},
      {"unix:/run/eventid-relay/id.sock", "unix:/run/eventid-relay/id.sock", false},
      {"unix:relative:with:colons", "unix:relative:with:colons", false},
  };
  for (const auto& g : good) {
    net::Endpoint e;
    bool has_port = !g.has_port;
    ASSERT_TRUE(net::parse_listen_address(g.text, &e, &has_port)) << g.text;
    EXPECT_EQ(net::endpoint_text(e), g.shown);
    EXPECT_EQ(has_port, g.has_port) << g.text;
  }
  for (const std::string& bad : std::vector<std::string>{"",
                                                         "127.1",
                                                         "localhost",
                                                         "localhost:80",
                                                         "1.2.3.4:",
                                                         "1.2.3.4:65536",
                                                         "1.2.3.4:+1",
                                                         "1.2.3.4: 1",
                                                         "1.2.3.4:0x10",
                                                         "1.2.3.4:1:2",
                                                         "::1",
                                                         "[::1",
                                                         "[::1]80",
                                                         "[::1]:",
                                                         "[]",
                                                         "[1.2.3.4]",
                                                         "[::1%lo]",
                                                         "[::1]:123456",
                                                         "unix:",
                                                         "unix",
                                                         "UNIX:/x",
                                                         "tcp:1.2.3.4",
                                                         " 1.2.3.4",
                                                         std::string("unix:a\0b", 8),
                                                         "unix:" + long_path + "p"}) {
    net::Endpoint e;
    bool has_port = false;
    EXPECT_FALSE(net::parse_listen_address(bad, &e, &has_port)) << bad;
  }
  net::Endpoint longest;
  bool has_port = false;
  EXPECT_TRUE(net::parse_listen_address("unix:" + long_path, &longest, &has_port));
}

}  // namespace
}  // namespace eventid
