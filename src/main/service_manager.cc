#include "main/service_manager.h"

#include "net/net.h"

namespace eventid {

ServiceManager::ServiceManager(std::string socket_name, const UpstreamAddress& upstream)
    : socket_name_(std::move(socket_name)), upstream_(upstream.host + ":" + upstream.service) {}

void ServiceManager::ready(bool delivering) {
  std::lock_guard<std::mutex> lock(mutex_);
  ready_ = true;
  delivering_ = delivering;
  send_status("READY=1\n");
}

void ServiceManager::upstream(bool delivering) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ready_ || delivering == delivering_) {
    delivering_ = delivering;
    return;
  }
  delivering_ = delivering;
  send_status("");
}

void ServiceManager::send_status(const char* extra) {
  if (socket_name_.empty()) return;
  net::notify_service_manager(socket_name_, std::string(extra) + "STATUS=serving; upstream " +
                                                upstream_ +
                                                (delivering_ ? " connected" : " disconnected"));
}

}  // namespace eventid
