// Readiness and status for a service manager that asks for them (systemd's Type=notify), by
// datagrams to the socket that NOTIFY_SOCKET names. Without it, nothing is sent.
#pragma once

#include <mutex>
#include <string>

#include "upstream/collector.h"

namespace eventid {

class ServiceManager {
 public:
  // socket_name: NOTIFY_SOCKET's value, or empty.
  ServiceManager(std::string socket_name, const UpstreamAddress& upstream);

  // Clients can connect: READY=1, with the upstream's state.
  void ready(bool delivering);
  // The upstream started delivering, or a connection that delivered failed. Sent only once
  // ready, and only when it changes what the status says.
  void upstream(bool delivering);

 private:
  void send_status(const char* extra);
  const std::string socket_name_;
  const std::string upstream_;  // "HOST:SERVICE"
  std::mutex mutex_;
  bool ready_ = false;
  bool delivering_ = false;
};

}  // namespace eventid
