# The current ID, then one line as each new ID begins: python3 read.py
import eventid

with eventid.open() as source:  # the packaged relay's segment; "tcp:HOST:58051" for a socket
    reading = source.read()
    print(reading.id, reading.micros, reading.state)
    for _ in range(10):
        reading = source.wait(reading.id + 1)
        print(str(reading), end="")  # the relay's own line, CR LF included
