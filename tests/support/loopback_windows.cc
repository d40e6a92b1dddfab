#include <winsock2.h>

#include "support/loopback.h"

namespace eventid::test {

int too_many_open_files() {
  return WSAEMFILE;
}

}  // namespace eventid::test
