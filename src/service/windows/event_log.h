// The Windows event log as the relay's console when it runs as a service: each message one
// event of source eventid-relay in the Application log.
#pragma once

#include "console/console.h"

namespace eventid {

inline constexpr wchar_t kEventSourceName[] = L"eventid-relay";

// Names this program as the source's message file in the registry, so that the Event Viewer
// shows each event's text; reports a failure as a message. Events are logged either way.
void register_event_source();

// A console whose sinks report each message as one event, its text without the line end:
// standard error's as errors, standard output's as information. Started; null, with the
// system's text in *why, when its thread cannot be.
Console* start_event_log_console(std::string* why);

}  // namespace eventid
