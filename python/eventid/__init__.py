"""The current event ID from the eventid-relay beside the program, in pure Python.

A relay started with --publish keeps what its estimate rests on in a small shared-memory
segment: a reading here is a clock read and a few loads, with no system call and no round trip,
and its line is the relay's own, byte for byte. The same calls also work against a relay's TCP
port ("tcp:HOST:PORT"), for a relay that does not publish or one on another host. The calls and
the codes are those of libeventid's C API (eventid.h).

    import eventid

    with eventid.open() as source:             # or eventid.open("tcp:relayhost:58051")
        try:
            reading = source.read()
            print(reading.id, reading.micros, reading.state, reading.clock_us)
            print(reading, end="")             # "42.07000 O 12 -3\\r\\n", as the relay sends it
            print(source.wait(reading.id + 10), end="")  # a second later
        except eventid.Error as error:
            print("no estimate:", error, error.code)
"""

import errno
import math
import mmap
import os
import socket
import stat
import struct
import time
from typing import NamedTuple

# open() and format() keep the C API's names, but stay out of "import *", where they would hide
# the built-ins.
__all__ = ["Source", "Reading", "Error", "strerror", "DEFAULT_WHERE",
           "OK", "ENORELAY", "ENOTPRIMED", "EUNUSABLE", "EIO", "EINVAL", "ERANGE", "ENOMEM"]

# The C API's codes: they keep their values in every later version.
OK = 0
ENORELAY = -1    # no segment, one whose relay ended or stopped beating; a tcp: relay refusing
ENOTPRIMED = -2  # a relay that has had no sample from its upstream yet
EUNUSABLE = -3   # not a segment this module can read; (tcp:) an answer that is not an ID line
EIO = -4         # the system failed: a mapping, a socket
EINVAL = -5      # a malformed tcp: address, an ID that is no int, a closed source
ERANGE = -6      # wait(): the ID begins more than an hour from now
ENOMEM = -7      # the C API's own; kept so that the two name the same codes

_MESSAGES = {OK: "success", ENORELAY: "no relay", ENOTPRIMED: "not primed yet",
             EUNUSABLE: "unusable segment", EIO: "I/O failure", EINVAL: "invalid argument",
             ERANGE: "ID too far ahead", ENOMEM: "out of memory"}


def strerror(code):
    """A short text for a code, eventid_strerror()'s."""
    return _MESSAGES.get(code, "unknown error")


class Error(Exception):
    """Every failure of this module; .code is one of the codes above."""

    def __init__(self, code, detail=None):
        text = strerror(code)
        super().__init__(text if detail is None else f"{text}: {detail}")
        self.code = code


class Reading(NamedTuple):
    """One estimate: the fields of the relay's ID line, and the clock reading it was made at, in
    µs: CLOCK_MONOTONIC on Linux, QueryPerformanceCounter on Windows, cut to the relay's
    resolution as its own clock reads (over tcp:, when the line arrived)."""

    id: int
    micros: int
    state: str  # 'O' fresh, 'S' stale (no sample for 6 s), 'D' upstream disconnected
    jitter: int
    jitter0: int
    clock_us: int
    # How far the estimate may be off, in µs, against the upstream as its fastest announcements
    # reach the relay; -1 where the relay does not tell it (over tcp:, an older relay).
    bound_us: int = -1
    holdover: bool = False  # the upstream lost or silent over 0.5 s, the bound under 50 ms
    unsynchronised: bool = False  # the bound 50 ms or more: the ID may be wrong

    def __str__(self):
        """The ID line as the relay sends it, "\\r\\n" included."""
        return f"{self.id}.{self.micros:05d} {self.state} {self.jitter} {self.jitter0}\r\n"


def format(reading):
    """The reading's ID line, eventid_format()'s."""
    return str(reading)


_WINDOWS = os.name == "nt"
DEFAULT_WHERE = "Global\\eventid-relay" if _WINDOWS else "/run/eventid-relay/basis"
# The relay's own clock, so that a basis read here means what it means there.
_CLOCK_ID = 2 if _WINDOWS else 1
_clock_ns = time.perf_counter_ns if _WINDOWS else time.monotonic_ns


def _clock_us():
    return _clock_ns() // 1000


# The estimate, as the relay makes it from a basis (src/timing/estimate.cc).
_ID_US = 100000
_STALE_AFTER_US = 6000000
_FAR_US = 4.0e18  # the bound of a carry, so that rounding it stays within 64 bits
_ID_TURN_US = (1 << 32) * _ID_US
_HOLDOVER_AFTER_US = 500000
_UNSYNCHRONISED_US = _ID_US // 2
_WAIT_IDS_MAX = 36000


def _int64(n):
    """n as C's wrapping 64-bit sums leave it: a broken upstream's offsets overflow them."""
    n &= 0xFFFFFFFFFFFFFFFF
    return n - (1 << 64) if n >> 63 else n


def _int32(n):
    n &= 0xFFFFFFFF
    return n - (1 << 32) if n >> 31 else n


def _llround(x):
    """C's llround(): halves go away from zero, where Python's round() takes them to even."""
    if x != x:
        return -(1 << 63)  # NaN, which no relay writes: what llround() gives for it on x86
    whole = int(x)  # exact: x - whole is the fraction, without rounding
    if abs(x - whole) >= 0.5:
        whole += 1 if x > 0 else -1
    return whole


def _bound(flags, terms, now_us):
    """The relay's bound_at(basis, now_us) (src/timing/bound.h): bound_us and the two flags."""
    if terms is None or not flags & _BOUND_KNOWN:
        return -1, False, False
    rest, newest, fixed, growth = terms
    age = min(max(_int64(now_us - rest), 0), _ID_TURN_US)
    bound_us = math.ceil(max(min(fixed + float(age) * growth, 1e15), 0.0))
    unsynchronised = bound_us >= _UNSYNCHRONISED_US
    lost = not flags & _CONNECTED or _int64(now_us - newest) > _HOLDOVER_AFTER_US
    return bound_us, lost and not unsynchronised, unsynchronised


def _estimate(record, terms, now_us):
    """The relay's estimate(basis, now_us) from a record as it lies in the segment, with the
    relay's wrapping sums and rounding, so that its line is the relay's byte for byte; terms
    are the bound's, None in a segment of minor version 0."""
    flags, jitter, jitter0, _, lowest, rate, carried, anchor, oldest, resolution = record
    now_us -= now_us % resolution  # the relay's clock reads in whole steps of its resolution
    zero = lowest
    if rate != 0:
        carried -= rate * float(_int64(now_us - anchor))
        carried = -_FAR_US if carried < -_FAR_US else _FAR_US if carried > _FAR_US else carried
        zero = _int64(zero + _llround(carried))
    elapsed = _int64(now_us - zero)
    whole = elapsed // _ID_US if elapsed >= 0 else -(-elapsed // _ID_US)  # C's: toward zero
    if not flags & _CONNECTED:
        state = "D"
    else:
        state = "S" if _int64(now_us - oldest) > _STALE_AFTER_US else "O"
    micros = (elapsed - whole * _ID_US) & 0xFFFFFFFF
    return Reading(whole & 0xFFFFFFFF, micros, state, jitter, jitter0, now_us,
                   *_bound(flags, terms, now_us))


class Source:
    """Where the relay is read; open() makes one. Reads and waits may run in several threads at
    once; close() comes after them."""

    def __init__(self):
        self._closed = False

    def read(self):
        """The estimate now, as a Reading; Error when there is none."""
        if self._closed:
            raise Error(EINVAL, "the source is closed")
        return self._read()

    def wait(self, id):
        """Sleeps until ID id begins by the estimate, then reads. An ID already begun (in serial
        order, across the counter's wrap) answers at once; one more than an hour (36000 IDs)
        ahead raises ERANGE. The estimate is read again as the wait goes on, so that a boundary
        that moves (a new sample, another rate) moves the wake-up."""
        if not isinstance(id, int):
            raise Error(EINVAL, "an ID is an int")
        while True:
            reading = self.read()
            ahead = _int32(id - reading.id)
            if ahead <= 0:
                return reading
            if ahead > _WAIT_IDS_MAX:
                raise Error(ERANGE)
            self._sleep_toward(reading.clock_us + ahead * _ID_US - reading.micros)

    def close(self):
        self._closed = True

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


# The segment's layout (src/publish/segment.h), in the machine's own byte order.
# _LAYOUT_SIZE is minor version 0's, the least a reader takes; minor version 1 adds the
# bound's terms after the record.
_MAGIC, _MAJOR, _LAYOUT_SIZE, _BOUND_LAYOUT_SIZE = 0x52444945, 1, 208, 240
_HEADER = struct.Struct("=IHHII")  # magic, major, minor, size, clock; at 0
_LIFE = struct.Struct("=QI")  # heartbeat_us, closed; at 64
_SEQUENCE = struct.Struct("=Q")  # at 128
_RECORD = struct.Struct("=IiiIqddqqq")  # the basis record; at 144
_BOUND_TERMS = struct.Struct("=qqdd")  # rest and newest arrival, fixed, growth; at 208
_PRIMED, _CONNECTED, _BOUND_KNOWN = 1, 2, 4
_HEARTBEAT_MAX_AGE_US = 3000000
_LOOK_EVERY_US = 1000000
_RECHECK_US = 10000
_SPIN_TRIES, _READ_TRIES = 64, 2000


def _alive(mapping, now_us):
    heartbeat_us, closed = _LIFE.unpack_from(mapping, 64)
    return not closed and now_us - heartbeat_us <= _HEARTBEAT_MAX_AGE_US


def _has_bound(mapping):
    _, _, minor, size, _ = _HEADER.unpack_from(mapping, 0)
    return minor >= 1 and size >= _BOUND_LAYOUT_SIZE


def _read_record(mapping, with_bound):
    """The basis of one whole write, and the bound's terms where the segment has them: copied
    between two readings of the sequence that are the same even number (odd while the relay
    writes). A writer that stopped within its write for long, or died there, gives none."""
    for tries in range(_READ_TRIES):
        if tries >= _SPIN_TRIES:
            time.sleep(0.0001)  # the writer may need this processor to finish
        (before,) = _SEQUENCE.unpack_from(mapping, 128)
        if before & 1:
            continue
        record = _RECORD.unpack_from(mapping, 144)
        terms = _BOUND_TERMS.unpack_from(mapping, 208) if with_bound else None
        if _SEQUENCE.unpack_from(mapping, 128)[0] == before:
            return record, terms
    raise Error(ENORELAY, "the basis never came whole")


def _check_header(mapping):
    magic, major, _, size, clock = _HEADER.unpack_from(mapping, 0)
    why = None
    if magic != _MAGIC or major != _MAJOR:
        why = "another layout or major version"
    elif not _LAYOUT_SIZE <= size <= len(mapping):
        why = f"a layout of {size} bytes in {len(mapping)}"
    elif clock != _CLOCK_ID:
        why = f"clock {clock}, not this system's"
    if why:
        mapping.close()
        raise Error(EUNUSABLE, why)


def _map_file(path):
    """The segment file at path, mapped read-only, and the identity of that file."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # a FIFO does not hold the open up
    except (FileNotFoundError, NotADirectoryError):
        raise Error(ENORELAY, f"no segment at {path}") from None
    except OSError as error:
        raise Error(EIO, f"{path}: {error.strerror}") from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise Error(EUNUSABLE, f"{path} is not a regular file")
        if info.st_size < _LAYOUT_SIZE:
            raise Error(EUNUSABLE, f"{path} holds {info.st_size} bytes")
        mapping = mmap.mmap(fd, info.st_size, access=mmap.ACCESS_READ)
    except OSError as error:
        raise Error(EIO, f"{path}: {error.strerror}") from None
    finally:
        os.close(fd)
    _check_header(mapping)
    return mapping, (info.st_dev, info.st_ino)


def _same_file(path, identity):
    """Whether path still names the mapped file: a restarted relay renames a new one over it,
    and the old mapping reads on. A stat each time costs more than a read: only on a look."""
    try:
        info = os.stat(path)
    except OSError:
        return False
    return (info.st_dev, info.st_ino) == identity


def _map_named(name):
    """A named file mapping. Python's mmap makes one where none exists: an empty one (no magic)
    is no relay, and is let go at once, so that the relay can make its own."""
    try:
        mapping = mmap.mmap(-1, _LAYOUT_SIZE, tagname=name, access=mmap.ACCESS_READ)
        (magic, _, _, size, _) = _HEADER.unpack_from(mapping, 0)
        if magic == 0:
            mapping.close()
            raise Error(ENORELAY, f"no segment named {name}")
        if size > _LAYOUT_SIZE:  # a later minor version, longer
            mapping.close()
            mapping = mmap.mmap(-1, size, tagname=name, access=mmap.ACCESS_READ)
    except OSError as error:
        raise Error(ENORELAY, f"{name}: {error.strerror}") from None
    _check_header(mapping)
    return mapping, None


def _same_name(name, identity):
    """Never: a mapping held keeps its name alive, so a look always lets the old one go."""
    return False


if _WINDOWS:
    _map_segment, _same_file = _map_named, _same_name
else:
    _map_segment = _map_file


class _Segment(Source):
    """A relay's published basis: each read computes the line at this process's clock."""

    def __init__(self, where):
        super().__init__()
        self._where = where
        self._map, self._identity = None, None
        self._failure, self._looked_us = None, None  # the last look that found no live relay
        self._resolution_us = 1000
        try:
            self._follow(_clock_us())
        except Error:
            pass  # the reads say why, and follow a relay that starts later

    def _read(self):
        now_us = _clock_us()
        mapping = self._map
        if mapping is None or not _alive(mapping, now_us):
            mapping = self._follow(now_us)
        record, terms = _read_record(mapping, _has_bound(mapping))
        if not record[0] & _PRIMED:
            raise Error(ENOTPRIMED)
        if record[9] < 1:
            raise Error(EUNUSABLE, f"a resolution of {record[9]} µs")
        self._resolution_us = record[9]
        return _estimate(record, terms, now_us)

    def _follow(self, now_us):
        """The live segment that WHERE names now. A relay that ended (or stopped beating) may
        have been restarted with a new segment: look for one, but at most once a second."""
        if self._looked_us is not None and now_us - self._looked_us < _LOOK_EVERY_US:
            raise self._failure
        try:
            if self._map is None or not _same_file(self._where, self._identity):
                self._map = None  # not closed: another thread may be reading it
                self._map, self._identity = _map_segment(self._where)
            if not _alive(self._map, now_us):
                raise Error(ENORELAY, "the relay has ended or stopped beating")
        except Error as error:
            self._failure, self._looked_us = error, now_us
            raise
        self._looked_us = None
        return self._map

    def _sleep_toward(self, boundary_us):
        """Until the relay's clock, in its whole steps, reaches the boundary: a deadline inside
        a step would wake to the old ID. At most 10 ms, so that a boundary that moves is seen."""
        step = self._resolution_us
        deadline_us = -(-boundary_us // step) * step
        pause_us = min(max(deadline_us - _clock_us(), step), _RECHECK_US)
        time.sleep(pause_us / 1e6)

    def close(self):
        super().close()
        mapping, self._map = self._map, None
        if mapping is not None:
            mapping.close()


# The relay's TCP port: it sends one ID line as soon as a client connects.
_DEFAULT_PORT = 58051
_TIMEOUT_S = 2.0
_LINE_MAX = 64
_TCP_MIN_PAUSE_US = 1000  # the relay's resolution is not told: at least a step of the default


def _parse_tcp(address):
    """(host, port) of "HOST:PORT", "[V6]:PORT", "HOST" or "[V6]"; the port 58051 if none."""
    if address.startswith("["):
        host, bracket, rest = address[1:].partition("]")
        port = rest[1:] if rest.startswith(":") else None
        valid = bracket and (port is not None or not rest)
    else:
        host, colon, port = address.partition(":")
        port = port if colon else None
        valid = port is None or ":" not in port  # an IPv6 literal takes brackets
    port = str(_DEFAULT_PORT) if port is None else port
    if not (valid and host and port.isascii() and port.isdigit() and 0 < int(port) < 65536):
        raise Error(EINVAL, f"not a tcp: address: tcp:{address}")
    return host, int(port)


def _socket_code(error):
    """A relay that refuses, does not answer or cannot be found is no relay; a socket that the
    system cannot give is its failure."""
    lack = (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM)
    return EIO if getattr(error, "errno", None) in lack else ENORELAY


_LINE_FIELDS = struct.Struct("=IIii")  # the widths of the line's numbers


def _parse_line(answer, clock_us):
    """The reading of an ID line: anything that does not read back as the same bytes is none."""
    if not answer:
        raise Error(ENORELAY, "the relay closed without a line")
    try:
        number, state, jitter, jitter0 = answer.decode("ascii").split(" ")
        whole, micros = number.split(".")
        reading = Reading(int(whole), int(micros), state, int(jitter), int(jitter0), clock_us)
        _LINE_FIELDS.pack(reading.id, reading.micros, reading.jitter, reading.jitter0)
    except (ValueError, struct.error):
        reading = None
    if reading is None or state not in ("O", "S", "D") or str(reading).encode() != answer:
        raise Error(EUNUSABLE, f"not an ID line: {answer!r}")
    return reading


class _Tcp(Source):
    """A relay's TCP port, asked afresh at each read: no connection is held between reads."""

    def __init__(self, address):
        super().__init__()
        self._address = address

    def _read(self):
        answer = b""
        try:
            with socket.create_connection(self._address, timeout=_TIMEOUT_S) as connection:
                while not answer.endswith(b"\n") and len(answer) < _LINE_MAX:
                    chunk = connection.recv(_LINE_MAX - len(answer))
                    if not chunk:
                        break
                    answer += chunk
        except OSError as error:
            raise Error(_socket_code(error), f"tcp:{self._address[0]}: {error}") from None
        return _parse_line(answer, _clock_us())

    def _sleep_toward(self, boundary_us):
        time.sleep(max(boundary_us - _clock_us(), _TCP_MIN_PAUSE_US) / 1e6)


def open(where=None):
    """A Source for where: None or "" for DEFAULT_WHERE, a path (on Windows a file-mapping name)
    for another segment, or "tcp:HOST:PORT" for a relay's socket. A segment that cannot be read
    yet is no error: the reads say why, and follow a relay that starts or restarts later."""
    if not where:
        where = DEFAULT_WHERE
    if not isinstance(where, str):
        raise Error(EINVAL, "where is a str")
    if where.startswith("tcp:"):
        return _Tcp(_parse_tcp(where[4:]))
    return _Segment(where)
