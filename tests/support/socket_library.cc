// Every test program holds the socket library for its whole run, as the relay does.
#include "net/net.h"

namespace {
const eventid::net::Library sockets;
}  // namespace
