#include <winsock2.h>

#include "support/loopback.h"

namespace eventid::test {

int too_many_open_files() {
  return WSAEMFILE;
}

void shrink_receive_buffer(const net::Socket& s) {
  const int size = 4096;
  setsockopt(static_cast<SOCKET>(s.get()), SOL_SOCKET, SO_RCVBUF,
             reinterpret_cast<const char*>(&size), sizeof size);
}

double push_lateness_ids() {
  return 1.0;
}

}  // namespace eventid::test
