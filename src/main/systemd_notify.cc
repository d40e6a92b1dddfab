#include "main/systemd_notify.h"

#include <chrono>
#include <system_error>

#include "net/net.h"

namespace eventid {
namespace {

// HOST:SERVICE, with a bare IPv6 literal in brackets, so that its last colon is not read as the
// one before the service.
std::string upstream_text(const UpstreamAddress& upstream) {
  const bool bare_ipv6 = net::is_ipv6_host(upstream.host);
  return (bare_ipv6 ? "[" + upstream.host + "]" : upstream.host) + ":" + upstream.service;
}

}  // namespace

SystemdNotifier::SystemdNotifier(std::string socket_name, const UpstreamAddress& upstream)
    : socket_name_(std::move(socket_name)), upstream_(upstream_text(upstream)) {
  if (socket_name_.empty()) return;
  try {
    retrying_ = std::thread([this] { retry(); });
  } catch (const std::system_error&) {
    // Without the thread, what cannot go at once is not tried again.
  }
}

SystemdNotifier::~SystemdNotifier() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (retrying_.joinable()) retrying_.join();
}

void SystemdNotifier::ready(bool delivering) {
  std::lock_guard<std::mutex> lock(mutex_);
  ready_ = true;
  delivering_ = delivering;
  send("READY=1\n" + status());
}

void SystemdNotifier::upstream(bool delivering) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ready_ || delivering == delivering_) {
    delivering_ = delivering;
    return;
  }
  delivering_ = delivering;
  // READY=1 that has not gone yet goes with the latest status; a status gives way to the next.
  const bool ready_unsent = unsent_.rfind("READY=1\n", 0) == 0;
  send((ready_unsent ? "READY=1\n" : "") + status());
}

std::string SystemdNotifier::status() const {
  return "STATUS=serving; upstream " + upstream_ + (delivering_ ? " connected" : " disconnected");
}

// With the lock held.
void SystemdNotifier::send(std::string message) {
  if (socket_name_.empty()) return;
  if (net::notify_service_manager(socket_name_, message)) {
    unsent_.clear();
  } else {
    unsent_ = std::move(message);
    wake_.notify_one();
  }
}

void SystemdNotifier::retry() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (unsent_.empty()) {
      wake_.wait(lock, [&] { return stopping_ || !unsent_.empty(); });
    } else {
      wake_.wait_for(lock, std::chrono::microseconds(kRetryUs), [&] { return stopping_; });
      if (!unsent_.empty() && net::notify_service_manager(socket_name_, unsent_)) unsent_.clear();
    }
  }
}

}  // namespace eventid
