#include <sys/socket.h>

#include <cerrno>

#include "support/loopback.h"

namespace eventid::test {

int too_many_open_files() {
  return EMFILE;
}

void shrink_receive_buffer(const net::Socket& s) {
  const int size = 4096;
  setsockopt(static_cast<int>(s.get()), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

double push_lateness_ids() {
  return 0.2;
}

}  // namespace eventid::test
