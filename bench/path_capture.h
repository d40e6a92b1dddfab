// The loopback path as the relay's own socket meets it, for the benchmarks (Linux only, and
// root or CAP_NET_RAW): a packet socket on "lo" sees each announcement the simulator sends,
// stamped by the system as it is taken in, a µs or two before the receiving socket is given a
// stamp of its own. The least lateness after the ID's true beginning, per receiving port, is
// that connection's own path floor, seen from outside it.
#pragma once

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim_truth.h"

class PathCapture {
 public:
  // Watches what the simulator on sim_port sends; valid() is false where the system refuses a
  // packet socket (not root, or no such interface).
  PathCapture(std::uint16_t sim_port, const Truth& truth) : sim_port_(sim_port), truth_(truth) {
    fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd_ < 0) return;
    sockaddr_ll lo{};
    lo.sll_family = AF_PACKET;
    lo.sll_protocol = htons(ETH_P_ALL);
    lo.sll_ifindex = static_cast<int>(::if_nametoindex("lo"));
    const int on = 1;
    if (lo.sll_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&lo), sizeof lo) != 0 ||
        ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    thread_ = std::thread([this] { watch(); });
  }
  ~PathCapture() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  PathCapture(const PathCapture&) = delete;
  PathCapture& operator=(const PathCapture&) = delete;

  bool valid() const { return fd_ >= 0; }

  // How long after the capture's own stamp a socket is given its stamp, µs: the median over
  // the announcements to port of the stamps the socket was given (ID, unix ns) less the
  // capture's; NaN if none match. The system stamps the two at points a µs or two apart.
  double socket_later_us(std::uint16_t port,
                         const std::vector<std::pair<std::uint32_t, std::int64_t>>& given) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto its = first_ns_.find(port);
    std::vector<double> later;
    for (const auto& [id, ns] : given) {
      if (its == first_ns_.end()) break;
      const auto seen = its->second.find(id);
      if (seen != its->second.end()) later.push_back(static_cast<double>(ns - seen->second) / 1e3);
    }
    if (later.empty()) return std::nan("");
    std::nth_element(later.begin(), later.begin() + later.size() / 2, later.end());
    return later[later.size() / 2];
  }

  // The least lateness (µs) of an announcement after its ID's true beginning, over the
  // connections but the one from except_port; NaN if none was seen.
  double least_lateness_us(std::uint16_t except_port) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    double least = std::nan("");
    for (const auto& [port, ns] : least_ns_) {
      if (port != except_port) least = std::fmin(least, static_cast<double>(ns) / 1e3);
    }
    return least;
  }

 private:
  void watch() {
    unsigned char packet[2048];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;  // looks at stop_ this often
      sockaddr_ll from{};
      iovec io{packet, sizeof packet};
      msghdr m{};
      m.msg_name = &from;
      m.msg_namelen = sizeof from;
      m.msg_iov = &io;
      m.msg_iovlen = 1;
      m.msg_control = control;
      m.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(fd_, &m, 0);
      // Each packet on lo shows twice: as it leaves and as it is taken in. A socket bound to
      // every protocol is handed the second before the protocols are (bound to IPv4 alone it
      // would be handed it after TCP's work, some 10 µs later): its stamp lies within a µs or
      // two before the receiving socket's own.
      if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING || from.sll_protocol != htons(ETH_P_IP)) {
        continue;
      }
      const cmsghdr* c = CMSG_FIRSTHDR(&m);
      if (!c || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_TIMESTAMPNS) continue;
      timespec stamp;
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      take(packet, static_cast<std::size_t>(n),
           static_cast<std::int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec);
    }
  }

  // An IPv4 TCP segment from the simulator: each "EVENTID <hex>\r\n" that begins in it.
  void take(const unsigned char* p, std::size_t n, std::int64_t stamp_ns) {
    if (n < sizeof(iphdr)) return;
    iphdr ip;
    std::memcpy(&ip, p, sizeof ip);
    const std::size_t ip_len = ip.ihl * 4u;
    if (ip.protocol != IPPROTO_TCP || n < ip_len + sizeof(tcphdr)) return;
    tcphdr tcp;
    std::memcpy(&tcp, p + ip_len, sizeof tcp);
    const std::size_t data_at = ip_len + tcp.doff * 4u;
    if (ntohs(tcp.source) != sim_port_ || data_at >= n) return;
    const std::string data(reinterpret_cast<const char*>(p + data_at), n - data_at);
    for (std::size_t at = 0; (at = data.find("EVENTID ", at)) != std::string::npos; at += 8) {
      const auto id = static_cast<std::uint32_t>(std::strtoul(data.c_str() + at + 8, nullptr, 16));
      const std::int64_t late_ns = stamp_ns - truth_.began_us(id) * 1000;
      const std::lock_guard<std::mutex> lock(mutex_);
      const std::uint16_t port = ntohs(tcp.dest);
      auto [it, fresh] = least_ns_.try_emplace(port, late_ns);
      if (!fresh && late_ns < it->second) it->second = late_ns;
      first_ns_[port].try_emplace(id, stamp_ns);
    }
  }

  int fd_ = -1;
  const std::uint16_t sim_port_;
  const Truth truth_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<std::uint16_t, std::int64_t> least_ns_;                           // by receiving port
  std::map<std::uint16_t, std::map<std::uint32_t, std::int64_t>> first_ns_;  // and by ID
  std::thread thread_;
};
