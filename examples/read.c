/* The current ID from the relay beside this program.
 *   cc read.c $(pkg-config --cflags --libs eventid) */
#include <eventid.h>
#include <stdio.h>

int main(void) {
  eventid_source *source;
  eventid_reading r = EVENTID_READING_INIT;
  int code = eventid_open(NULL, &source); /* the packaged relay's segment */
  if (code == 0) code = eventid_read(source, &r);
  if (code == 0) printf("ID %u, %u us in, state %c\n", r.id, r.micros, r.state);
  if (code != 0) fprintf(stderr, "eventid: %s\n", eventid_strerror(code));
  eventid_close(source);
  return code == 0 ? 0 : 1;
}
