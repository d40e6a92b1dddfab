// Every test program holds the socket library for its whole run, as the relay does.
#include "net/net.h"

namespace {
const net::Library sockets;
}  // namespace
