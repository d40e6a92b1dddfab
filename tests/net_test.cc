#include <gtest/gtest.h>

#include <string>

#include "net/net.h"
#include "support/platform_texts.h"

namespace {

struct Pair {
  net::Socket client, server;
};

Pair connected_pair() {
  net::Socket listener = net::open_tcp4();
  EXPECT_TRUE(net::bind_ipv4(listener, "127.0.0.1", 0));
  EXPECT_TRUE(net::listen_on(listener, 1));
  net::Endpoint to;
  std::string error;
  EXPECT_TRUE(net::resolve_ipv4("127.0.0.1", std::to_string(net::local_port(listener)).c_str(), &to,
                                &error));
  Pair p{net::open_tcp4(), {}};
  EXPECT_TRUE(net::connect_to(p.client, to));
  net::Endpoint peer;
  p.server = net::accept_client(listener, &peer);
  EXPECT_EQ(net::numeric_host(peer), "127.0.0.1");
  return p;
}

// A plain send to a reset peer raises SIGPIPE on the second try, which would end the relay.
TEST(Net, SendingToAResetPeerNeverRaisesASignal) {
  Pair p = connected_pair();
  net::set_reset_on_close(p.client);
  p.client.close();
  const char line[] = "1.00000 O 0 0\r\n";
  for (int i = 0; i < 3; ++i) {  // the first failure reports the reset, later ones a broken pipe
    EXPECT_LT(net::send_some(p.server, line, sizeof line - 1), 0);
    EXPECT_TRUE(net::is_peer_gone(net::last_error())) << net::error_text(net::last_error());
  }
}

TEST(Net, ReceiveTimesOutAndReportsAClose) {
  Pair p = connected_pair();
  ASSERT_TRUE(net::set_recv_timeout(p.server, 50));
  char buf[8];
  EXPECT_EQ(net::receive_some(p.server, buf, sizeof buf), -1);
  p.client.close();
  EXPECT_EQ(net::receive_some(p.server, buf, sizeof buf), 0);
}

TEST(Net, ResolverFailuresCarryTheResolversText) {
  net::Endpoint to;
  std::string error;
  EXPECT_FALSE(net::resolve_ipv4("127.0.0.1", "no-such-service", &to, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find("Unknown error"), std::string::npos) << error;
}

// Windows leaves errno alone, so strerror would say "Success" or "Unknown error" there.
TEST(Net, ErrorTextsAreThePlatformsOwn) {
  for (const std::string& text : {refused_text(), port_in_use_text()}) {
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find("Success"), std::string::npos) << text;
    EXPECT_EQ(text.find("Unknown error"), std::string::npos) << text;
    EXPECT_NE(text.back(), '\n') << text;
  }
}

TEST(Net, ListenerTakesItsPortFromOthers) {
  net::Socket first = net::open_tcp4();
  ASSERT_TRUE(net::set_listener_address_option(first));
  ASSERT_TRUE(net::bind_ipv4(first, "127.0.0.1", 0));
  ASSERT_TRUE(net::listen_on(first, 1));
  net::Socket second = net::open_tcp4();
  ASSERT_TRUE(net::set_listener_address_option(second));
  EXPECT_FALSE(net::bind_ipv4(second, "127.0.0.1", net::local_port(first)));
  EXPECT_EQ(net::classify_accept_error(net::last_error()), net::AcceptFailure::kListener);
}

}  // namespace
