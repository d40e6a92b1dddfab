// Progress and failure messages. Each message reaches its stream in one write and is flushed
// at once, so lines of the two threads never interleave and nothing waits in a buffer when
// the output is piped or the process is ended.
#pragma once

#include <string>

#if defined(__GNUC__)
#define CONSOLE_PRINTF(fmt_index) __attribute__((format(printf, fmt_index, fmt_index + 1)))
#else
#define CONSOLE_PRINTF(fmt_index)
#endif

// Progress, to standard output.
void console_out(const char* format, ...) CONSOLE_PRINTF(1);
// Failures, to standard error.
void console_err(const char* format, ...) CONSOLE_PRINTF(1);

// Test seam: between begin and end, messages are kept instead of being written.
void console_capture_begin();
void console_capture_end();
// What has been kept so far, of standard output and of standard error.
std::string console_captured_out();
std::string console_captured_err();
