// The relay as the Windows service eventid-relay (--service), run by the Service Control
// Manager, its messages going to the event log. Where there is no such manager, the command
// line refuses --service and the rest does nothing.
#pragma once

#include <functional>

#include "delivery/server.h"

namespace eventid {

// Whether this build can run as a service.
bool service_available();

// Hands the process to the Service Control Manager and runs relay on the service's thread.
// Never returns: every end, a stop included, goes through exit_process(), which reports the
// service stopped with the status as its exit code.
[[noreturn]] void run_service(std::function<void()> relay);

// Clients can connect: the service is running. Nothing unless run_service() is in charge.
void service_listening();

// What a stop of the service ends the serving loop with; null when not run as a service. The
// relay's end once deliver_id() has returned then counts as the stop's: status 0.
ServingStop* service_stop();

}  // namespace eventid
