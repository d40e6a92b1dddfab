// What every conversation with a client shares, whichever way the server runs it.
#pragma once

#include <string>

#include "delivery/id_line.h"
#include "net/net.h"
#include "timing/clock.h"
#include "timing/ring.h"

namespace eventid {

// A fresh ID line for this moment.
IdLine fresh_line(const SampleRing& ring, const Clock& clock);

// Reports a send failure unless the client reset or closed the connection under it.
void report_send_failure(int err);

// The waiting for the next client's accept: a failure of one queued client, or a shortage
// that passes (reported), is not the listener's. Returns false when the listener is broken
// (reported).
enum class AcceptOutcome { kClient, kTryAgain, kPauseThenTryAgain, kListenerBroken };
AcceptOutcome accept_one(const net::Socket& listener, net::Socket* client, net::Endpoint* peer);

// " (ADDR:PORT)": what pairs "Connected to" with "Connection dropped" when many are served.
std::string peer_label(const net::Endpoint& peer);

}  // namespace eventid
