"""python/eventid against the relay's own code (READING_ORACLE), segments and a fake relay."""

import os, random, socket, socketserver, struct, subprocess, sys, tempfile, threading, unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import eventid  # noqa: E402

TURN, I64, I32 = (1 << 32) * 100000, 1 << 63, 1 << 31
NOW = 123_456_789_000


def record(lowest, rate=0.0, carried=0.0, anchor=NOW, oldest=NOW, res=1000, flags=3, j=(12, -3)):
    return (flags, j[0], j[1], 0, lowest, rate, carried, anchor, oldest, res)


# (rule, record, now_us): the cases where a port of the sums goes wrong.
CASES = [
    ("mid-ID, ms clock", record(NOW - 42 * 100000 - 7123), NOW + 999),
    ("the last IDs before the wrap", record(NOW - TURN + 150_000), NOW),
    ("the first IDs after it", record(NOW - TURN - 50_000), NOW),
    ("now before ID 0: C's division", record(NOW + 250_001, res=1), NOW),
    ("offsets that overflow 64 bits", record(-I64, anchor=I64 - 1, oldest=-I64), I64 - 1),
    ("fast upstream", record(NOW - TURN, 1e-3, 5e5, anchor=NOW - 10**9, res=1), NOW),
    ("a half rounds away from zero", record(NOW, 1e-3, 2.5, res=1), NOW + 100),
    ("a negative half too", record(NOW, 1e-3, -2.5, res=1), NOW + 100),
    ("a carry clamped", record(NOW, 1e10, 0.0, anchor=NOW - 10**12), NOW),
    ("stale after 6 s", record(NOW, oldest=NOW - 6_000_001, res=1), NOW),
    ("fresh at 6 s", record(NOW, oldest=NOW - 6_000_000, res=1), NOW),
    ("disconnected", record(NOW, flags=1, j=(-I32, I32 - 1)), NOW),
]


NO_BOUND = (0, 0, 0.0, 0.0)
# (rule, record, bound terms, now_us): the bound's edges.
BOUND_CASES = [
    ("fixed and growing", record(NOW, flags=7), (NOW - 3_000_000, NOW, 1037.5, 1e-4), NOW),
    ("a sample from the future", record(NOW, flags=7), (NOW + 10**6, NOW, 12.25, 1e-4), NOW),
    ("holdover at 0.5 s", record(NOW, flags=7, res=1), (NOW, NOW - 500_000, 1.0, 1e-6), NOW),
    ("just after it", record(NOW, flags=7, res=1), (NOW, NOW - 500_001, 1.0, 1e-6), NOW),
    ("disconnected", record(NOW, flags=5, res=1), (NOW, NOW, 1.0, 1e-6), NOW),
    ("unsynchronised at 50 ms", record(NOW, flags=5), (NOW, NOW, 50_000.0, 0.0), NOW),
    ("just under it", record(NOW, flags=5), (NOW, NOW, 49_999.0, 0.0), NOW),
    ("a growth that overflows", record(NOW, flags=7), (-I64, NOW, 1.0, 1e300), I64 - 1),
]


def random_terms(rng, now):
    near = lambda: now + rng.randrange(-10**10, 10**9)  # noqa: E731
    return (rng.choice([near(), rng.randrange(-I64, I64)]), near(), rng.uniform(0, 2e5),
            rng.choice([0.0, 1e-6, rng.uniform(0, 2e-3)]))


def random_case(rng):
    now = rng.choice([rng.randrange(I64), NOW, rng.randrange(TURN, 2 * TURN)])
    near = lambda: now + rng.randrange(-TURN - 10**9, 10**9)  # noqa: E731
    lowest = rng.choice([near(), near() - TURN, rng.randrange(-I64, I64)])
    rate = rng.choice([0.0, rng.uniform(-1e-3, 1e-3), rng.uniform(-1e6, 1e6)])
    anchor, int32 = rng.choice([near(), rng.randrange(-I64, I64)]), lambda: rng.randrange(-I32, I32)
    return record(lowest, rate, rng.uniform(-1e9, 1e9), anchor, near(), rng.choice([1, 1000]),
                  rng.randrange(4), (int32(), int32())), now


def layout(lowest, flags=3, magic=0x52444945, major=1, size=208, clock=1, heartbeat=60_000_000,
           closed=0, sequence=2, jitter=12, length=208, rate=0.0):
    """A segment's bytes; the heartbeat relative to now (ahead, so that no stall makes it old)."""
    now = eventid._clock_us()
    data = struct.pack("=IHHII48xQI52xQ8xIiiIqddqqq", magic, major, 0, size, clock, now + heartbeat,
                       closed, sequence, flags, jitter, -3, 0, lowest, rate, 0.0, now, now, 1000)
    return (data + bytes(max(0, length - 208)))[:length]


def current(id_, into_us=50_000):
    """The lowest offset at which ID id_ is into_us µs old now."""
    return eventid._clock_us() - id_ * 100000 - into_us


def outcome(call, *args):
    """What call returns, or the code it raises (negative, unlike the fields compared)."""
    try:
        return call(*args)
    except eventid.Error as error:
        return error.code


class OracleTest(unittest.TestCase):
    @unittest.skipUnless(os.environ.get("READING_ORACLE"), "READING_ORACLE names the oracle")
    def test_lines_are_the_relays(self):
        rng = random.Random(7)
        cases = [(rule, r, NO_BOUND, now) for rule, r, now in CASES] + BOUND_CASES
        for i in range(3000):
            r, now = random_case(rng)
            cases.append((f"random {i}", r, random_terms(rng, now), now))
        text = "".join(f"{r[0] | (4 if t is not NO_BOUND else 0)} {r[1]} {r[2]} {r[4]} "
                       f"{r[5].hex()} {r[6].hex()} {r[7]} {r[8]} {r[9]} {t[0]} {t[1]} "
                       f"{t[2].hex()} {t[3].hex()} {now}\n" for _, r, t, now in cases)
        oracle = subprocess.run([os.environ["READING_ORACLE"]], input=text.encode(),
                                capture_output=True, check=True)
        lines = oracle.stdout.decode().splitlines(keepends=True)
        for (rule, r, t, now), line, bound in zip(cases, lines[0::2], lines[1::2], strict=True):
            r = (r[0] | (4 if t is not NO_BOUND else 0),) + r[1:]
            reading = eventid._estimate(r, t, now)
            self.assertEqual(str(reading), line, rule)
            got = f"{reading.bound_us} {int(reading.holdover)} {int(reading.unsynchronised)}\n"
            self.assertEqual(got, bound, rule)


class SegmentTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder, self.path = folder.name, os.path.join(folder.name, "basis")

    def publish(self, data):
        """As the relay does: a new file renamed into place."""
        with open(self.path + ".new", "wb") as file:
            file.write(data)
        os.replace(self.path + ".new", self.path)

    def rewrite(self, lowest, rate=0.0):
        """A new basis in place, under the sequence as the relay writes one."""
        fd = os.open(self.path, os.O_RDWR)
        (sequence,) = struct.unpack("=Q", os.pread(fd, 8, 128))
        os.pwrite(fd, struct.pack("=Q", sequence + 1), 128)
        os.pwrite(fd, layout(lowest, rate=rate)[144:], 144)
        os.pwrite(fd, struct.pack("=Q", sequence + 2), 128)
        os.close(fd)

    def test_what_a_segment_reads_as(self):
        table = [("as written", {}, 12),
                 ("a later minor version, longer", dict(size=224, length=224), 12),
                 ("not primed", dict(flags=2), eventid.ENOTPRIMED),
                 ("closed", dict(closed=1), eventid.ENORELAY),
                 ("a heartbeat 3.1 s old", dict(heartbeat=-3_100_000), eventid.ENORELAY),
                 ("a write that never ends", dict(sequence=3), eventid.ENORELAY),
                 ("another magic", dict(magic=0x52444946), eventid.EUNUSABLE),
                 ("another major version", dict(major=2), eventid.EUNUSABLE),
                 ("a layout longer than the file", dict(size=216), eventid.EUNUSABLE),
                 ("a layout shorter than its own", dict(size=200), eventid.EUNUSABLE),
                 ("another clock", dict(clock=2), eventid.EUNUSABLE),
                 ("a short file", dict(length=207), eventid.EUNUSABLE)]
        for rule, change, want in table:
            self.publish(layout(current(42), **change))
            with eventid.open(self.path) as source:
                self.assertEqual(outcome(lambda: source.read().jitter), want, rule)
        for rule, path, want in [("no file", self.path + "x", eventid.ENORELAY),
                                 ("a folder", self.folder, eventid.EUNUSABLE)]:
            self.assertEqual(outcome(eventid.open(path).read), want, rule)

    def test_a_restarted_relay_is_followed(self):
        for rule, offset, end in [("closed", 72, b"\1"), ("stopped beating", 64, bytes(8))]:
            self.publish(layout(current(42), jitter=1))
            old, source = os.open(self.path, os.O_RDWR), eventid.open(self.path)
            self.assertEqual(source.read().jitter, 1, rule)
            self.publish(layout(current(42), jitter=2))
            os.pwrite(old, end, offset)
            os.close(old)
            self.assertEqual(source.read().jitter, 2, rule)
        fd = os.open(self.path, os.O_RDWR)
        os.pwrite(fd, b"\1", 72)  # the relay ends
        os.close(fd)
        with mock.patch.object(eventid, "_LOOK_EVERY_US", 10**12):
            self.assertEqual(outcome(source.read), eventid.ENORELAY)  # a look that found none
            self.publish(layout(current(42), jitter=3))
            self.assertEqual(outcome(source.read), eventid.ENORELAY, "looked again at once")
        with mock.patch.object(eventid, "_LOOK_EVERY_US", 0):
            self.assertEqual(source.read().jitter, 3)

    def test_waits(self):
        self.publish(layout(0))
        source = eventid.open(self.path)
        for now_id, asked, want in [(5, 5, 5), (5, 4, 5), (0, (1 << 32) - 1, 0),
                                    (5, 5 + 36005, eventid.ERANGE),
                                    ((1 << 32) - 10, 36000, eventid.ERANGE)]:
            self.rewrite(current(now_id), rate=-1.0)  # an upstream whose IDs stand still
            self.assertEqual(outcome(lambda: source.wait(asked).id), want, (now_id, asked))
        self.rewrite(current(5, 70_000))
        self.assertGreaterEqual(source.wait(6).id, 6)
        self.rewrite(current(5))
        woke = []
        waiter = threading.Thread(target=lambda: woke.append(source.wait(3000)))
        waiter.start()
        self.rewrite(current(3000))  # a boundary that moved five minutes closer
        waiter.join(30)
        self.assertGreaterEqual(woke[0].id, 3000)


class TcpTest(unittest.TestCase):
    def serve(self, answer):
        """A relay on a free loopback port that sends answer() to each client; its address."""
        class Relay(socketserver.BaseRequestHandler):
            def handle(self):
                self.request.sendall(answer())
        relay = socketserver.TCPServer(("127.0.0.1", 0), Relay)
        threading.Thread(target=relay.serve_forever, daemon=True).start()
        self.addCleanup(relay.server_close)
        self.addCleanup(relay.shutdown)
        return f"tcp:127.0.0.1:{relay.server_address[1]}"

    def test_addresses(self):
        for where, want in [("tcp:h:80", ("h", 80)), ("tcp:[::1]:80", ("::1", 80)),
                            ("tcp:h", ("h", 58051)), ("tcp:[::1]", ("::1", 58051))] + [
                (bad, eventid.EINVAL) for bad in ["tcp:", "tcp::80", "tcp:h:", "tcp:h:0",
                "tcp:h:65536", "tcp:h:8x", "tcp:::1", "tcp:[::1", "tcp:[::1]x", "tcp:[]:80"]]:
            self.assertEqual(outcome(lambda: eventid.open(where)._address), want, where)

    def test_answers(self):
        answer = [b""]
        source = eventid.open(self.serve(lambda: answer[0]))
        for answer[0], want in [(b"42.07000 O 12 -3\r\n", "42.07000 O 12 -3\r\n"),
                                (b"", eventid.ENORELAY), (b"hello\r\n", eventid.EUNUSABLE),
                                (b"42.07000 O 12 -3\n", eventid.EUNUSABLE),
                                (b"42.7000 O 12 -3\r\n", eventid.EUNUSABLE),
                                (b"4294967296.00000 O 0 0\r\n", eventid.EUNUSABLE),
                                (b"42.07000 X 12 -3\r\n", eventid.EUNUSABLE)]:
            self.assertEqual(outcome(lambda: str(source.read())), want, answer[0])
        with socket.create_server(("127.0.0.1", 0)) as closed:
            port = closed.getsockname()[1]
        self.assertEqual(outcome(eventid.open(f"tcp:127.0.0.1:{port}").read), eventid.ENORELAY)

    def test_a_wait_asks_again_at_the_boundary(self):
        basis = record(current(5, 70_000))  # 30 ms before ID 6
        where = self.serve(lambda: str(eventid._estimate(basis, None, eventid._clock_us())).encode())
        self.assertGreaterEqual(eventid.open(where).wait(6).id, 6)


if __name__ == "__main__":
    unittest.main()
