// Acts as each new ID begins, without polling.
//   c++ wait.cc $(pkg-config --cflags --libs eventid)
#include <eventid.h>

#include <cstdio>
#include <memory>

int main() {
  eventid_source* opened = nullptr;
  if (int code = eventid_open(nullptr, &opened)) return std::puts(eventid_strerror(code)), 1;
  std::unique_ptr<eventid_source, decltype(&eventid_close)> source(opened, eventid_close);
  eventid_reading r = EVENTID_READING_INIT;
  for (int code = eventid_read(source.get(), &r); code == 0;
       code = eventid_wait(source.get(), r.id + 1, &r)) {
    char line[EVENTID_LINE_MAX];
    eventid_format(&r, line, sizeof line);
    std::fputs(line, stdout);  // "42.00012 O 12 -3\r\n": 12 µs after ID 42 began
  }
}
