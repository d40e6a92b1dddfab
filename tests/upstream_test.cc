#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "support/captured_console.h"
#include "support/clients.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "timing/clock.h"
#include "timing/estimate.h"
#include "upstream/chunk.h"
#include "upstream/collector.h"
#include "upstream/repeat_limit.h"

namespace eventid {
namespace {

using test::LoopbackListener;
using test::send_all;

// --- the chunk parser ---

struct ChunkCase {
  const char* rule;
  std::string chunk;
  std::optional<std::uint32_t> last_id;
  ChunkVerdict verdict;
  std::uint32_t id;
};

const std::optional<std::uint32_t> kNone;

std::vector<ChunkCase> chunk_cases() {
  using V = ChunkVerdict;
  return {
      {"last token", "EVT 1f\r\n", kNone, V::kId, 31},
      {"only the last space counts", "a b c 10\r\n", kNone, V::kId, 16},
      {"two announcements in one chunk", "EVT 1\r\nEVT 2\r\n", kNone, V::kId, 2},
      {"no space", "1f\r\n", kNone, V::kUnparsable, 0},
      {"a space only at the first byte", " 1f\r\n", kNone, V::kUnparsable, 0},
      {"trailing space repeats the last ID", "EVT 12 ", 5u, V::kId, 5},
      {"no digit and no earlier ID", "EVT 12 ", kNone, V::kUnparsable, 0},
      {"letters only", "EVT xyz", 9u, V::kId, 9},
      {"0x prefix", "EVT 0x1F\n", kNone, V::kId, 31},
      {"0X prefix", "EVT 0X1f\n", kNone, V::kId, 31},
      {"0x without a digit is zero", "EVT 0xg", kNone, V::kId, 0},
      {"0x at the end is zero", "EVT 0x", kNone, V::kId, 0},
      {"plus sign", "EVT +a", kNone, V::kId, 10},
      {"minus zero", "EVT -0", kNone, V::kId, 0},
      {"negative does not fit", "EVT -1", kNone, V::kUnparsable, 0},
      {"negative never wraps into range", "EVT -ffffffffffffffff", kNone, V::kUnparsable, 0},
      {"sign without digit", "EVT -", 3u, V::kId, 3},
      {"widest 32-bit value", "EVT ffffffff\n", kNone, V::kId, 0xffffffffu},
      {"33 bits do not fit", "EVT 100000000\n", kNone, V::kUnparsable, 0},
      {"leading zeros are not width", "EVT 00000000000000000000001\n", kNone, V::kId, 1},
      {"many digits never overflow", "EVT " + std::string(500, 'f'), 1u, V::kUnparsable, 0},
      {"white space after the space", "X \t\v\f\r\n2a", kNone, V::kId, 42},
      {"stops at the first other byte", "EVT 12G4", kNone, V::kId, 0x12},
      {"stops at a NUL", std::string("EVT 1\0f", 7), kNone, V::kId, 1},
      {"NUL before the last space", std::string("E\0T 1f", 6), kNone, V::kId, 31},
      {"largest chunk", std::string(9996, 'x') + " 1\n", kNone, V::kId, 1},
      {"a chunk that fills the buffer", std::string(9997, 'x') + " 1\n", kNone, V::kInvalid, 0},
  };
}

TEST(ChunkParser, Table) {
  for (const ChunkCase& c : chunk_cases()) {
    const ChunkResult r = parse_chunk(c.chunk.data(), c.chunk.size(), c.last_id);
    EXPECT_EQ(r.verdict, c.verdict) << c.rule;
    if (c.verdict == ChunkVerdict::kId) {
      EXPECT_EQ(r.id, c.id) << c.rule;
    }
  }
}

TEST(ChunkParser, ReadsOnlyTheReceivedBytes) {
  const char buffer[] = "EVT 1fff";
  const ChunkResult r = parse_chunk(buffer, 5, kNone);
  EXPECT_EQ(r.verdict, ChunkVerdict::kId);
  EXPECT_EQ(r.id, 1u);
  EXPECT_EQ(parse_hex_token(buffer + 4, buffer + 4).outcome, HexOutcome::kNoDigits);
}

// A message of 10000 bytes or more comes in pieces; none of them is taken for an ID, and it
// is reported once. Pieces are the bytes of one receive each; the count of a message's bytes
// runs across them.
TEST(ChunkReader, AnOversizeMessageInPiecesIsOneInvalidMessage) {
  using V = ChunkVerdict;
  const auto x = [](std::size_t n) { return std::string(n, 'x'); };
  const std::string full = x(kUpstreamBufferSize);  // fills the buffer, no line end
  const std::string full_ending = std::string(kUpstreamBufferSize - 1, 'x') + "\n";
  struct Case {
    const char* rule;
    std::vector<std::string> pieces;
    std::vector<V> verdicts;
  };
  const std::vector<Case> cases = {
      {"the last piece's ID is not taken",
       {full, " EVENTID 7ff\r\n", "EVT 5\r\n"},
       {V::kInvalid, V::kInvalidRest, V::kId}},
      {"pieces without a line end, then one with bytes after its line end",
       {full, full, "xxx", "x\nEVT 7 ", "EVT 8\n"},
       {V::kInvalid, V::kInvalidRest, V::kInvalidRest, V::kInvalidRest, V::kId}},
      {"a full buffer that ends the line is a message of its own",
       {full_ending, "EVT 8\n"},
       {V::kInvalid, V::kId}},
      {"a line end that never comes",
       {full, full, "EVT 8 ", "EVT 9 "},
       {V::kInvalid, V::kInvalidRest, V::kInvalidRest, V::kInvalidRest}},
      {"pieces that never fill the buffer",
       {x(9001) + " ", x(5000) + " 7fffffff\r\n", "EVT 5\r\n"},
       {V::kId, V::kInvalid, V::kId}},
      {"the rest up to its line end",
       {x(5000), x(5000), "EVT 7\r\n", "EVT 8\r\n"},
       {V::kUnparsable, V::kInvalid, V::kInvalidRest, V::kId}},
      {"9999 bytes with the line end fit", {x(9000), x(996) + " 5\n"}, {V::kUnparsable, V::kId}},
      {"10000 do not", {x(9000), x(997) + " 5\n"}, {V::kUnparsable, V::kInvalid}},
      {"a CR ends a message", {x(9000) + "\r", x(9000) + " 5"}, {V::kUnparsable, V::kId}},
      {"so does an ID", {x(9000) + " 5", x(9000) + " 6"}, {V::kId, V::kId}},
      {"but not a repeated one", {x(9000) + " 5 ", x(9000) + " 6"}, {V::kId, V::kInvalid}},
      {"the bytes after a line end begin the next message",
       {x(9000), x(2000) + "\n" + x(5000), x(5000) + " 7\r\n"},
       {V::kUnparsable, V::kInvalid, V::kInvalid}},
  };
  for (const Case& c : cases) {
    ChunkReader reader;
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      EXPECT_EQ(reader.read(c.pieces[i].data(), c.pieces[i].size(), 1u).verdict, c.verdicts[i])
          << c.rule << ", piece " << i;
    }
  }
  ChunkReader fresh;  // a new connection starts clean
  EXPECT_EQ(fresh.read("EVT 8\n", 6, kNone).verdict, V::kId);
  const std::string fits = x(9000) + " 8\n";
  ChunkReader counted, next_connection;
  counted.read(fits.data(), 9000, kNone);
  EXPECT_EQ(next_connection.read(fits.data(), fits.size(), kNone).verdict, V::kId);
}

TEST(RepeatLimit, TenASecondThenTheRestToldOnceTheSecondIsOver) {
  RepeatLimit limit;
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(limit.allow(7'000'000 + i)) << i;
  EXPECT_EQ(limit.left_out_before(7'999'999), 0u);  // fewer than 11: as ever
  for (int i = 0; i < 13; ++i) EXPECT_FALSE(limit.allow(7'500'000)) << i;
  EXPECT_EQ(limit.left_out_before(7'999'999), 0u);  // not while the second lasts
  EXPECT_EQ(limit.left_out_before(9'000'000), 13u);
  EXPECT_EQ(limit.left_out_before(9'000'001), 0u);
  EXPECT_TRUE(limit.allow(9'000'002));  // a new second
}

// --- the collector against a fake upstream on loopback ---

// Runs a collector thread with a seam that never really pauses and never ends the process;
// its clock runs ahead by every pause taken, as if the pause had been slept. The test's end is
// the collector's end: once no upstream accepts, it runs out of retries. Everything the thread
// writes is read through the ring, an atomic, or after the join.
struct CollectorRun {
  test::CapturedConsole console;
  SampleRing ring;
  UpstreamAddress upstream;
  std::vector<std::int64_t> pauses;
  std::atomic<int> pause_count{0};
  std::atomic<std::int64_t> paused_us{0};
  std::function<void(int pause_count)> on_pause = [](int) {};
  std::optional<ExitStatus> end_status;
  Clock clock = millisecond_clock;  // before the pauses taken
  UpstreamCounters* counters = nullptr;
  CollectorOptions options;
  std::thread thread;

  CollectorRun(const char* host, std::uint16_t port) : upstream{host, std::to_string(port)} {}
  void start() {
    thread = std::thread([this] {
      const CollectorSeam seam{[this](std::int64_t us) {
                                 pauses.push_back(us);
                                 paused_us += us;
                                 on_pause(++pause_count);
                               },
                               [this](ExitStatus status) { end_status = status; },
                               [this] { return clock() + paused_us; }};
      options.counters = counters;
      ID_collect(ring, upstream, seam, options);
    });
  }
  bool stored(int slot, std::uint32_t id) const { return ring.snapshot().slots[slot].id == id; }
  bool connected() const { return ring.snapshot().connected; }
  bool out_has(const char* text) { return console.out().find(text) != std::string::npos; }
  ~CollectorRun() {
    if (thread.joinable()) thread.join();
  }
};

constexpr std::int64_t seconds(std::int64_t n) {
  return n * 1000000;
}

// The retry schedule's pauses after the n-th to the 20th failure in a row.
std::vector<std::int64_t> retry_pauses_from(int n) {
  std::vector<std::int64_t> pauses;
  for (; n <= kMaxRetries; ++n) pauses.push_back(seconds(2 * n));
  return pauses;
}

// Connections that each lived well under 2 s: each is followed by a pause that makes the
// next attempt start 2 s after the previous one began.
TEST(Collector, StoresAnnouncementsAndReconnectsWhenClosed) {
  LoopbackListener up;
  CollectorRun run("127.0.0.1", up.port);
  run.start();
  {
    net::Socket first = up.accept();
    send_all(first, "EVT 1f\r\n");
    ASSERT_TRUE(eventually([&] { return run.ring.primed(); }));
    EXPECT_TRUE(run.connected());
    EXPECT_TRUE(run.stored(0, 31) && run.stored(39, 31));
    std::this_thread::sleep_for(20ms);
    send_all(first, "EVT 20\r\n");
    ASSERT_TRUE(eventually([&] { return run.stored(1, 32); }));
    const SampleRing::Slots slots = run.ring.snapshot().slots;
    EXPECT_GT(slots[1].offset_us, slots[0].offset_us - kIdDurationUs);
  }  // closed: the collector must drop to D and reconnect
  EXPECT_TRUE(eventually([&] { return !run.connected(); }));
  net::Socket second = up.accept();
  ASSERT_TRUE(second.valid());
  send_all(second, "EVT 21\r\n");
  ASSERT_TRUE(eventually([&] { return run.connected(); }));
  EXPECT_TRUE(run.stored(2, 33));
  up.socket.close();
  second.close();
  run.thread.join();
  ASSERT_EQ(run.pauses.size(), 2u + kMaxRetries);
  for (int i = 0; i < 2; ++i) EXPECT_GT(run.pauses[i], seconds(1)) << i;
  EXPECT_EQ(run.end_status, ExitStatus::kUpstreamGone);
  const std::string greeting =
      "Trying to connect to 127.0.0.1\r\n"
      "Connection to 127.0.0.1 successful\r\n"
      "Connected to EventID server and getting data\r\n"
      "Trying to connect to 127.0.0.1\r\n"
      "Connection to 127.0.0.1 successful\r\n"
      "Trying to connect to 127.0.0.1\r\n";
  EXPECT_EQ(run.console.out().substr(0, greeting.size()), greeting);
  const std::string closed =
      "ID_collect() recv failed, 0 bytes received, closing socket: Connection closed by peer\r\n";
  EXPECT_EQ(run.console.err().substr(0, closed.size()), closed);
}

// Data that comes in while the collector is busy: with the system's stamps the sample keeps the
// time it came in, without them the time the collector got to read it.
TEST(Collector, KernelStampsLeaveABusyCollectorOutOfTheSample) {
  {
    LoopbackListener probe;
    if (!net::enable_receive_stamps(test::connect_loopback(probe.port))) {
      GTEST_SKIP() << "this system stamps no stream's data";
    }
  }
  for (const bool kernel_stamps : {false, true}) {
    SCOPED_TRACE(kernel_stamps);
    LoopbackListener up;
    UpstreamCounters counters;
    CollectorRun run("127.0.0.1", up.port);
    run.options.kernel_stamps = kernel_stamps;
    run.options.resolution_us = 1;
    run.counters = &counters;
    std::atomic<bool> hold_next{false}, holding{false}, released{false};
    run.clock = [&] {  // the reading after the first receive waits for the test
      if (hold_next.exchange(false)) {
        holding = true;
        while (!released) std::this_thread::yield();
      }
      return microsecond_clock();
    };
    run.start();
    net::Socket s = up.accept();  // the collector's next clock reading follows a receive
    hold_next = true;
    send_all(s, "EVT 1e\r\n");
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    const std::int64_t sent_us = microsecond_clock();
    send_all(s, "EVT 1f\r\n");
    std::this_thread::sleep_for(300ms);  // the collector busy meanwhile
    released = true;
    ASSERT_TRUE(eventually([&] { return run.stored(1, 31); }));
    const std::int64_t lateness_us = run.ring.snapshot().slots[1].arrival_us - sent_us;
    // The system may start stamping a moment after the first socket asks it to.
    EXPECT_EQ(counters.kernel_stamped > 0, kernel_stamps);
    EXPECT_EQ(lateness_us < 100000, kernel_stamps) << lateness_us;
    EXPECT_EQ(lateness_us >= 300000, !kernel_stamps) << lateness_us;
    up.socket.close();
    s.close();
  }
}

TEST(Collector, ArrivalFromAKernelStamp) {
  const std::int64_t table[][4] = {
      // clock reading, stamp's age, resolution: arrival
      {5000000, -1, 1, 5000000},                  // no stamp
      {5000000, 1234, 1, 4998766},                // µs clock
      {5000000, 1500, 1000, 4998000},             // ms clock: to the nearest tick
      {5000000, kUpstreamTimeoutUs, 1, 5000000},  // the system's clock was set meanwhile
  };
  for (const auto& c : table) EXPECT_EQ(arrival_us(c[0], c[1], c[2]), c[3]) << c[1] << " " << c[2];
}

TEST(Collector, SilentUpstreamTimesOutAfterTwoSeconds) {
  LoopbackListener up;
  CollectorRun run("127.0.0.1", up.port);
  run.start();
  net::Socket first = up.accept();
  // The silence the collector times starts once it has taken this announcement, which is after
  // this moment however late the test sees it taken.
  const auto silent_since = std::chrono::steady_clock::now();
  send_all(first, "EVT 1\r\n");
  ASSERT_TRUE(eventually([&] { return run.connected(); }));
  net::Socket second = up.accept();  // the collector gave up on the silent one
  const auto waited = std::chrono::steady_clock::now() - silent_since;
  EXPECT_FALSE(run.connected());
  EXPECT_GE(waited, 1900ms);
  EXPECT_LT(waited, 10s);
  const std::string err = run.console.err();
  EXPECT_EQ(err.rfind("ID_collect() recv failed, -1 bytes received, closing socket: ", 0), 0u)
      << err;
  send_all(second, "EVT 2\r\n");
  ASSERT_TRUE(eventually([&] { return run.connected(); }));
  up.socket.close();
  second.close();
  run.thread.join();
  // After the connection that lived 2 s, none; after the short second one, its pace.
  ASSERT_EQ(run.pauses.size(), 1u + kMaxRetries);
  EXPECT_GT(run.pauses[0], seconds(1));
}

TEST(Collector, InvalidAndUnparsableChunksStoreNothing) {
  LoopbackListener up;
  CollectorRun run("127.0.0.1", up.port);
  run.start();
  net::Socket s = up.accept();
  send_all(s, "no-space\r\n");
  ASSERT_TRUE(
      eventually([&] { return run.out_has("ID_collect() skipping unparsable message\r\n"); }));
  send_all(s, "EVT 5\r\n");
  ASSERT_TRUE(eventually([&] { return run.ring.primed(); }));
  send_all(s, "EVT 123456789\r\n");
  ASSERT_TRUE(eventually([&] { return run.out_has("data\r\nID_collect() skipping unparsable"); }));
  send_all(s, "EVT 6\r\n");
  ASSERT_TRUE(eventually([&] { return run.stored(1, 6); }));
  EXPECT_TRUE(run.stored(2, 5));  // the wide token left no trace
  up.socket.close();
  s.close();
}

// The collector stores as fast as the upstream sends while the main thread's estimates read
// the ring: built with ThreadSanitizer, this is where a race would show.
TEST(Collector, StoresAtAHighRateWhileEstimatesAreRead) {
  LoopbackListener up;
  CollectorRun run("127.0.0.1", up.port);
  run.start();
  net::Socket s = up.accept();
  send_all(s, "EVT 1\r\n");
  ASSERT_TRUE(eventually([&] { return run.ring.primed(); }));
  std::atomic<bool> done{false};
  std::thread upstream([&] {
    for (std::uint32_t id = 2; id < 20000; ++id) send_all(s, "EVT " + std::to_string(id) + "\r\n");
    done = true;
  });
  int estimates = 0;
  while (!done) {
    const Estimate e = estimate(run.ring.basis(), millisecond_clock());
    ASSERT_TRUE(e.state == 'O' || e.state == 'S') << e.state;
    ++estimates;
  }
  upstream.join();
  EXPECT_GT(estimates, 0);
  up.socket.close();
  s.close();
}

TEST(Collector, RetryScheduleThenGivesUp) {
  const std::string refused = "ID_connect() connect failed: " + test::refused_text() + "\r\n";
  CollectorRun run("127.0.0.1", test::closed_port());
  run.start();
  run.thread.join();
  std::string expected;
  for (int n = 1; n <= kMaxRetries; ++n) {
    EXPECT_EQ(run.pauses.at(n - 1), seconds(2 * n));
    expected += refused;
    expected += "Connect failed, " + std::to_string(n) + "/20 retries left...\r\n";
    expected += "Next retry in " + std::to_string(n * 2) + "sec\r\n";
  }
  expected += refused;
  expected += "ID_collect() giving up to reconnect\r\n";
  EXPECT_EQ(run.console.err(), expected);
  EXPECT_EQ(run.end_status, ExitStatus::kUpstreamGone);
  EXPECT_FALSE(run.ring.primed());
}

// Only a stored sample starts the count of failures afresh: a second outage gets the whole
// schedule again.
TEST(Collector, AStoredSampleResetsTheFailureCount) {
  const std::uint16_t port = test::closed_port();
  CollectorRun run("127.0.0.1", port);
  std::unique_ptr<LoopbackListener> up;
  std::atomic<bool> listening{false};
  run.on_pause = [&](int count) {
    if (count == 2) {
      up = std::make_unique<LoopbackListener>(port);
      listening = true;
    }
  };
  run.start();
  ASSERT_TRUE(eventually([&] { return listening.load(); }));
  {
    net::Socket s = up->accept();
    send_all(s, "EVT 1\r\n");
    ASSERT_TRUE(eventually([&] { return run.connected(); }));
    up->socket.close();
  }
  run.thread.join();
  ASSERT_EQ(run.pauses.size(), 3u + kMaxRetries);
  EXPECT_GT(run.pauses[2], seconds(1));  // the short connection's pace
  run.pauses.erase(run.pauses.begin() + 2);
  std::vector<std::int64_t> expected = {seconds(2), seconds(4)};
  for (std::int64_t us : retry_pauses_from(1)) expected.push_back(us);
  EXPECT_EQ(run.pauses, expected);
  EXPECT_EQ(run.end_status, ExitStatus::kUpstreamGone);
}

// An upstream that accepts and closes at once, or after one announcement, is asked again no
// sooner than 2 s after the previous attempt began; neither the messages nor the failure
// count change.
TEST(Collector, AFlappingUpstreamIsAskedEveryTwoSecondsAtMost) {
  LoopbackListener up;
  CollectorRun run("127.0.0.1", up.port);
  run.start();
  for (int i = 0; i < 4; ++i) {
    const net::Socket s = up.accept();
    if (i % 2 == 1) {
      send_all(s, "EVT " + std::to_string(i) + "\r\n");
      ASSERT_TRUE(eventually([&] { return run.stored(1, i); }));
    }
  }  // each closed at once
  up.socket.close();
  run.thread.join();
  ASSERT_GE(run.pauses.size(), 4u + kMaxRetries);
  for (int i = 0; i < 4; ++i) {
    EXPECT_GT(run.pauses[i], seconds(1)) << i;  // an attempt on loopback takes far less
    EXPECT_LE(run.pauses[i], seconds(2)) << i;
  }
  const std::vector<std::int64_t> tail(run.pauses.end() - kMaxRetries, run.pauses.end());
  EXPECT_EQ(tail, retry_pauses_from(1));
  const std::string err = run.console.err();
  const std::string closed =
      "ID_collect() recv failed, 0 bytes received, closing socket: Connection closed by peer\r\n";
  EXPECT_EQ(err.substr(0, 4 * closed.size()), closed + closed + closed + closed);
  EXPECT_EQ(err.find("Connect failed, "), err.find("Connect failed, 1/20 retries left...\r\n"));
}

// Garbage as fast as an upstream can send it: at most ten skip messages a second, and the
// rest told as one line once that second is over.
TEST(Collector, AFloodOfGarbageIsToldTenTimesASecondAtMost) {
  std::atomic<std::int64_t> now_us{5000000};
  UpstreamCounters counters;
  CollectorRun run("127.0.0.1", 0);
  const LoopbackListener up;  // closed before the run ends, however the test ends
  run.upstream.service = std::to_string(up.port);
  run.clock = [&] { return now_us.load(); };
  run.counters = &counters;
  run.start();
  const net::Socket s = up.accept();
  for (std::uint64_t i = 1; i <= 25; ++i) {
    send_all(s, "garbage\r\n");
    ASSERT_TRUE(eventually([&] { return counters.unparsable == i; }));  // a receive each
  }
  now_us += 1000000;
  send_all(s, "EVT 5\r\n");
  ASSERT_TRUE(eventually([&] { return run.ring.primed(); }));
  const std::string out = run.console.out();
  EXPECT_EQ(test::occurrences(out, "ID_collect() skipping unparsable message\r\n"), 10u) << out;
  EXPECT_NE(out.find("skipping unparsable message\r\n"
                     "ID_collect() 15 more unparsable messages skipped\r\n"
                     "Connected to EventID server and getting data\r\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(counters.skips_left_out, 15u);
}

TEST(Collector, ResolutionFailureShowsTheResolversText) {
  CollectorRun run("127.0.0.1", 0);
  run.upstream.service = "no-such-service";
  run.start();
  run.thread.join();
  const std::string err = run.console.err();
  EXPECT_EQ(err.rfind("ID_connect() getaddrinfo failed: ", 0), 0u);
  EXPECT_EQ(err.find("Success"), std::string::npos) << err;
  EXPECT_EQ(err.find("Unknown error"), std::string::npos) << err;
}

// "localhost" (the default host) resolves to ::1 first on many systems; the IPv4 socket must
// get 127.0.0.1.
TEST(Collector, LocalhostResolvesToIPv4) {
  const LoopbackListener up;
  test::CapturedConsole console;
  const net::Socket s = ID_connect({default_upstream_host(), std::to_string(up.port)});
  EXPECT_TRUE(s.valid()) << console.err();
  EXPECT_EQ(console.out(),
            "Trying to connect to localhost\r\nConnection to localhost successful\r\n");
}

// Where the resolver gives several addresses, each failed attempt names the address it tried.
TEST(Collector, EachAddressTriedIsNamedWhenItFails) {
  test::CapturedConsole console;
  const std::string port = std::to_string(test::closed_port());
  EXPECT_FALSE(ID_connect({"localhost", port, true}).valid());
  const std::string err = console.err();
  EXPECT_NE(err.find("ID_connect() address tried: 127.0.0.1:" + port + "\r\n"), std::string::npos)
      << err;
  EXPECT_EQ(test::occurrences(err, "address tried: "), test::occurrences(err, "connect failed: "))
      << err;
}

}  // namespace
}  // namespace eventid
