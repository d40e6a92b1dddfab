// A plain client of the simulator that stamps each announcement's arrival, for the benchmarks
// (Linux only): the least lateness after the ID's true beginning is the path's own floor (the
// simulator sends each ID alike to every client, and on time to within a few µs).
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/net.h"
#include "sim_truth.h"
#include "support/loopback.h"

class ArrivalWatch {
 public:
  ArrivalWatch(std::uint16_t port, const Truth& truth)
      : socket_(eventid::test::connect_loopback(port)), thread_([this, truth] { watch(truth); }) {}
  ~ArrivalWatch() {
    stop_ = true;
    thread_.join();
  }
  ArrivalWatch(const ArrivalWatch&) = delete;
  ArrivalWatch& operator=(const ArrivalWatch&) = delete;

  // The least lateness of an arrival after its ID's true beginning, in µs; NaN before any.
  // Stamped as a receive returns, or (kernel) as the system took the data in.
  double least_lateness_us(bool kernel = false) const {
    const std::int64_t least = kernel ? least_kernel_ns_ : least_ns_;
    return least == kNone ? std::nan("") : static_cast<double>(least) / 1e3;
  }
  int arrivals() const { return arrivals_; }
  // The port this client connected from, as the simulator names it; 0 if unknown.
  std::uint16_t local_port() const {
    eventid::net::Endpoint self;
    return eventid::net::local_endpoint(socket_, &self) ? self.port : 0;
  }
  // Each announcement's ID and the system's stamp of its arrival (unix ns), where it gave one.
  std::vector<std::pair<std::uint32_t, std::int64_t>> kernel_stamps() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return kernel_stamps_;
  }
  // The lateness (µs) of the first announcement after each gap of more than a second: after a
  // silence, what the path alone adds to the first sample.
  std::vector<double> after_gaps() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return after_gaps_;
  }

 private:
  static constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();

  void watch(const Truth& truth) {
    namespace net = eventid::net;
    net::set_recv_timeout(socket_, 200000);  // looks at stop_ this often
    net::enable_receive_stamps(socket_);
    std::string pending;
    char buffer[512];
    while (!stop_ && socket_.valid()) {
      std::int64_t age_us = -1;
      const long n = net::receive_stamped(socket_, buffer, sizeof buffer, &age_us);
      const std::int64_t arrived_ns = clock_ns(CLOCK_REALTIME);
      if (n == 0 || (n < 0 && !net::would_block(net::last_error()))) return;
      if (n < 0) continue;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
        stamp(pending.substr(0, end), arrived_ns, age_us, truth);
        pending.erase(0, end + 2);
      }
    }
  }

  // "EVENTID <hex>": its lateness after its ID's true beginning.
  void stamp(const std::string& line, std::int64_t arrived_ns, std::int64_t age_us,
             const Truth& truth) {
    if (line.rfind("EVENTID ", 0) != 0) return;
    const auto id = static_cast<std::uint32_t>(std::strtoul(line.c_str() + 8, nullptr, 16));
    const std::int64_t late_ns = arrived_ns - truth.began_us(id) * 1000;
    least_ns_ = std::min<std::int64_t>(least_ns_, late_ns);
    if (age_us >= 0) {
      least_kernel_ns_ = std::min<std::int64_t>(least_kernel_ns_, late_ns - age_us * 1000);
      const std::lock_guard<std::mutex> lock(mutex_);
      kernel_stamps_.emplace_back(id, arrived_ns - age_us * 1000);
    }
    if (arrivals_++ > 0 && arrived_ns - last_ns_ > 1000000000) {
      const std::lock_guard<std::mutex> lock(mutex_);
      after_gaps_.push_back(static_cast<double>(late_ns) / 1e3);
    }
    last_ns_ = arrived_ns;
  }

  eventid::net::Socket socket_;
  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> least_ns_{kNone}, least_kernel_ns_{kNone};
  std::atomic<int> arrivals_{0};
  std::int64_t last_ns_ = 0;  // the watching thread's alone
  mutable std::mutex mutex_;
  std::vector<double> after_gaps_;
  std::vector<std::pair<std::uint32_t, std::int64_t>> kernel_stamps_;
  std::thread thread_;
};
