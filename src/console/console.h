// Progress and failure messages. Each message is formatted whole and handed to a thread of the
// console's own, which writes it to its stream in one write, flushed at once: lines of
// different threads never interleave, nothing waits in a buffer when the output is piped, and
// no thread that serves ever waits on a stream. While a stream is not being read, up to 1024
// messages wait in order; later ones are dropped and counted, and the count is written as one
// message once the stream moves again. A stream whose reader has gone drops its messages.
#pragma once

#include <chrono>
#include <string>

namespace eventid {

#if defined(__GNUC__)
#define CONSOLE_PRINTF(fmt_index) __attribute__((format(printf, fmt_index, fmt_index + 1)))
#else
#define CONSOLE_PRINTF(fmt_index)
#endif

// Progress, to standard output.
void console_out(const char* format, ...) CONSOLE_PRINTF(1);
// Failures, to standard error.
void console_err(const char* format, ...) CONSOLE_PRINTF(1);
// A failure whose format's one %s is the system's text for the socket error err.
void report_error(const char* format, int err);

// How long console_exit waits for the queued messages to be written.
inline constexpr std::chrono::seconds kExitFlushLimit{1};

// Ends the process with status, once what is queued has been written (waiting at most
// kExitFlushLimit for a stream that is not being read). Runs no destructors: other threads may
// still be using what they would release.
[[noreturn]] void console_exit(int status);

// Test seam: between begin and end, messages are kept instead of being written.
void console_capture_begin();
void console_capture_end();
// What has been kept so far, of standard output and of standard error.
std::string console_captured_out();
std::string console_captured_err();

}  // namespace eventid
