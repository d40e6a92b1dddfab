#include <cerrno>

#include "support/loopback.h"

namespace eventid::test {

int too_many_open_files() {
  return EMFILE;
}

}  // namespace eventid::test
