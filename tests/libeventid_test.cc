// The client library through its C interface, against segments the test writes itself, and
// its parsers of a relay's socket protocol.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "delivery/id_line.h"
#include "eventid.h"
#include "publish/writable_segment.h"
#include "reader.h"
#include "support/eventually.h"
#include "timing/bound.h"
#include "timing/clock.h"
#include "timing/estimate.h"

namespace eventid {
namespace {

// A private directory, and a segment in it that the test writes as a relay would.
struct Published {
  std::string where;
  std::unique_ptr<segment::WritableSegment> segment;
  explicit Published(const std::string& name = "basis") {
    std::string dir = testing::TempDir() + "eventid-XXXXXX";
    EXPECT_NE(::mkdtemp(dir.data()), nullptr);
    where = dir + "/" + name;
    std::string why;
    segment = segment::make_segment(where, microsecond_clock(), &why);
    EXPECT_TRUE(segment) << why;
  }
  segment::Layout& layout() { return segment->layout(); }
  void publish(const Basis& basis, std::int64_t resolution_us = 1) {
    segment::write_basis(layout(), segment::to_record(basis, resolution_us));
  }
};

Basis primed_basis() {
  SampleRing ring;
  ring.prime(make_sample(4000, microsecond_clock() - 400000000));
  return ring.basis();
}

eventid_reading empty_reading() {
  eventid_reading r{};
  r.size = sizeof r;
  return r;
}

struct Source {
  eventid_source* source = nullptr;
  explicit Source(const std::string& where) { EXPECT_EQ(eventid_open(where.c_str(), &source), 0); }
  ~Source() { eventid_close(source); }
  int read(eventid_reading* r) const { return eventid_read(source, r); }
};

// What a reading says of a segment in each state a relay leaves it in.
TEST(Library, EachStateOfASegmentReadsAsItShould) {
  struct Case {
    const char* rule;
    void (*make)(Published&);
    int code;
  };
  const Case table[] = {
      {"made, no sample yet", [](Published&) {}, EVENTID_ENOTPRIMED},
      {"primed", [](Published& p) { p.publish(primed_basis()); }, EVENTID_OK},
      {"closed",
       [](Published& p) {
         p.publish(primed_basis());
         segment::mark_closed(p.layout());
       },
       EVENTID_ENORELAY},
      {"heartbeat 4 s old",
       [](Published& p) {
         p.publish(primed_basis());
         segment::beat(p.layout(), microsecond_clock() - 4000000);
       },
       EVENTID_ENORELAY},
      {"another major version",
       [](Published& p) { segment::store(p.layout().major, std::uint16_t{9}); }, EVENTID_EUNUSABLE},
      {"another clock", [](Published& p) { segment::store(p.layout().clock, 77u); },
       EVENTID_EUNUSABLE},
  };
  for (const Case& c : table) {
    Published p;
    c.make(p);
    Source s(p.where);
    eventid_reading r = empty_reading();
    EXPECT_EQ(s.read(&r), c.code) << c.rule;
  }
  Source none("/nonexistent/eventid/basis");
  eventid_reading r = empty_reading();
  EXPECT_EQ(none.read(&r), EVENTID_ENORELAY);
}

// A reading is the relay's own line: the same estimate at the same clock reading, cut to the
// relay's resolution, and formatted byte for byte.
TEST(Library, AReadingIsTheRelaysLine) {
  Published p;
  const Basis basis = primed_basis();
  p.publish(basis, 1000);
  Source s(p.where);
  eventid_reading r = empty_reading();
  ASSERT_EQ(s.read(&r), 0);
  EXPECT_EQ(r.clock_us % 1000, 0);
  const IdLine want = format_id_line(estimate(basis, r.clock_us));
  char line[EVENTID_LINE_MAX];
  ASSERT_EQ(eventid_format(&r, line, sizeof line), static_cast<int>(want.size));
  EXPECT_STREQ(line, want.text);
  EXPECT_EQ(eventid_format(&r, line, want.size), EVENTID_EINVAL);  // no room for the NUL
  eventid_reading small = empty_reading();
  small.size = 8;
  EXPECT_EQ(s.read(&small), EVENTID_EINVAL);
}

// The bound comes with the line where the relay gives it (minor version 1 on) and the caller's
// reading has room for it; a caller of 1.0's size gets 1.0's fields, and nothing past them.
TEST(Library, TheBoundWhereTheRelayTellsItAndTheReadingHoldsIt) {
  Published p;
  Basis basis = primed_basis();
  basis.bound_known = true;
  basis.bound_fixed_us = 1000;
  basis.bound_growth = 100e-6;
  basis.rest_arrival_us = basis.newest_arrival_us = microsecond_clock() - 1000000;
  p.publish(basis);
  Source s(p.where);
  eventid_reading r = EVENTID_READING_INIT;
  ASSERT_EQ(s.read(&r), 0);
  const Bound want = bound_at(basis, r.clock_us);
  EXPECT_EQ(r.bound_us, want.us);
  EXPECT_EQ(r.flags, static_cast<std::uint32_t>(EVENTID_HOLDOVER)) << "the newest sample 1 s old";

  // 1.0's reading in memory of its own size, as an older program has it: AddressSanitizer
  // sees any byte that a read or a wait touches past it. Only the library looks inside.
  const std::uint32_t first_size = offsetof(eventid_reading, bound_us);
  std::unique_ptr<void, decltype(&std::free)> memory(std::malloc(first_size), &std::free);
  std::memcpy(memory.get(), &first_size, sizeof first_size);
  auto* first = static_cast<eventid_reading*>(memory.get());
  ASSERT_EQ(s.read(first), 0);
  std::uint32_t id;
  std::memcpy(&id, static_cast<char*>(memory.get()) + offsetof(eventid_reading, id), sizeof id);
  EXPECT_EQ(eventid_wait(s.source, id, first), 0);

  segment::store(p.layout().minor, std::uint16_t{0});  // a relay older than the bound
  Source older(p.where);
  r = EVENTID_READING_INIT;
  ASSERT_EQ(older.read(&r), 0);
  EXPECT_EQ(std::tie(r.bound_us, r.flags), std::make_tuple(std::int64_t{-1}, 0u));
}

// A relay that makes a new segment in the old one's place is followed, at most a second after
// the old one read closed.
TEST(Library, ASegmentPutInThePlaceOfAClosedOneIsFollowed) {
  auto first = std::make_unique<Published>();
  first->publish(primed_basis());
  Source s(first->where);
  eventid_reading r = empty_reading();
  ASSERT_EQ(s.read(&r), 0);
  segment::mark_closed(first->layout());
  EXPECT_EQ(s.read(&r), EVENTID_ENORELAY);
  std::string why;
  auto second = segment::make_segment(first->where, microsecond_clock(), &why);
  ASSERT_TRUE(second) << why;
  segment::write_basis(second->layout(), segment::to_record(primed_basis(), 1));
  EXPECT_TRUE(eventually([&] { return s.read(&r) == 0; }));
}

// Threads share one source while the relay writes, ends, and a new one takes its place: every
// reading is a line or "no relay", and each thread follows the new relay.
TEST(Library, ThreadsShareOneSourceAcrossARestart) {
  auto first = std::make_unique<Published>();
  first->publish(primed_basis());
  Source s(first->where);
  std::atomic<bool> restarted{false}, stop{false};
  std::atomic<int> strange{0}, following{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      eventid_reading r = empty_reading();
      bool followed = false;
      while (!followed && !stop) {
        const int code = s.read(&r);
        char line[EVENTID_LINE_MAX];
        if (code == 0 ? eventid_format(&r, line, sizeof line) < 0 : code != EVENTID_ENORELAY) {
          ++strange;
        }
        followed = code == 0 && restarted.load();
      }
      ++following;
    });
  }
  for (int n = 0; n < 2000; ++n) first->publish(primed_basis());
  segment::mark_closed(first->layout());
  std::string why;
  auto second = segment::make_segment(first->where, microsecond_clock(), &why);
  ASSERT_TRUE(second) << why;
  segment::write_basis(second->layout(), segment::to_record(primed_basis(), 1));
  restarted = true;
  EXPECT_TRUE(eventually([&] { return following.load() == 2; }));
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(strange, 0);
}

// Waiting for an ID already begun returns at once, across the counter's wrap; one more than an
// hour ahead is refused.
TEST(Library, WaitingForAnIdBegunOrTooFarAhead) {
  Published p;
  p.publish(primed_basis());
  Source s(p.where);
  eventid_reading now = empty_reading(), got = empty_reading();
  ASSERT_EQ(s.read(&now), 0);
  EXPECT_EQ(eventid_wait(s.source, now.id - 5, &got), 0);
  EXPECT_GE(got.id, now.id);
  EXPECT_EQ(eventid_wait(s.source, now.id + 36001, &got), EVENTID_ERANGE);
  EXPECT_EQ(eventid_wait(s.source, now.id + 0x80000000u, &got), 0);  // behind, in serial order
}

TEST(Library, TheRelaysIdLineIsParsedAndNothingElse) {
  const struct {
    const char* line;
    bool good;
  } table[] = {
      {"42.07000 O 12 -3\r\n", true},
      {"4294967295.99999 D -2147483648 2147483647\r\n", true},
      {"42.07000 O 12 -3\n", false},
      {"42.7000 O 12 -3\r\n", false},
      {"42.100000 O 12 -3\r\n", false},
      {"42.07000 X 12 -3\r\n", false},
      {"4294967296.00000 O 0 0\r\n", false},
      {"42.07000 O 2147483648 0\r\n", false},
      {"42.07000 O 1 2 3\r\n", false},
      {"", false},
  };
  for (const auto& c : table) {
    Estimate e;
    EXPECT_EQ(client::parse_id_line(c.line, &e), c.good) << c.line;
  }
  Estimate e;
  ASSERT_TRUE(client::parse_id_line("42.07000 S 12 -3\r\n", &e));
  EXPECT_EQ(std::tie(e.id, e.micros, e.state, e.jitter, e.jitter0),
            std::make_tuple(42u, 7000u, 'S', 12, -3));
}

TEST(Library, TcpAddresses) {
  const struct {
    const char* where;
    const char* host;  // null: refused
    const char* port;
  } table[] = {
      {"tcp:127.0.0.1:58051", "127.0.0.1", "58051"},
      {"tcp:localhost", "localhost", "58051"},
      {"tcp:[::1]:9", "::1", "9"},
      {"tcp:[::1]", "::1", "58051"},
      {"tcp:", nullptr, nullptr},
      {"tcp:host:", nullptr, nullptr},
      {"tcp:host:65536", nullptr, nullptr},
      {"tcp:host:0", nullptr, nullptr},
      {"tcp:[::1", nullptr, nullptr},
      {"tcp:[::1]x", nullptr, nullptr},
  };
  for (const auto& c : table) {
    std::string host, port;
    const bool ok = client::parse_tcp_address(c.where, &host, &port);
    EXPECT_EQ(ok, c.host != nullptr) << c.where;
    if (ok && c.host) {
      EXPECT_EQ(host + " " + port, std::string(c.host) + " " + c.port);
    }
  }
  eventid_source* source = nullptr;
  EXPECT_EQ(eventid_open("tcp:host:x", &source), EVENTID_EINVAL);
  EXPECT_EQ(source, nullptr);
}

}  // namespace
}  // namespace eventid
