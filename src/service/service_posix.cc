// No Service Control Manager here: the command line refuses --service.
#include <cstdlib>

#include "service/service.h"

namespace eventid {

bool service_available() {
  return false;
}

void run_service(std::function<void()>) {
  std::abort();  // not reached: --service is a usage error
}

void service_listening() {}

ServingStop* service_stop() {
  return nullptr;
}

}  // namespace eventid
