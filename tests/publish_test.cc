#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "publish/segment.h"
#include "timing/bound.h"
#include "timing/estimate.h"
#include "timing/ring.h"

#if defined(__has_feature)
#define EVENTID_HAS_FEATURE(x) __has_feature(x)
#else
#define EVENTID_HAS_FEATURE(x) 0
#endif

namespace eventid::segment {
namespace {

// A basis written to the segment reads back as the same basis, and makes the same line.
TEST(Segment, ABasisReadsBackWhole) {
  SampleRing ring;
  const auto bound = [](Basis& b) {
    b.bound_known = true, b.bound_fixed_us = 1037.5, b.bound_growth = 101e-6;
  };
  ring.prime(make_sample(0xfffffff0u, 123456789), {0.0002, 0.0002, 0}, bound);
  ring.store(make_sample(0xfffffff1u, 123556000), {0.0002, 0.0002, 0}, bound);
  const Basis basis = ring.basis();
  Layout layout{};
  write_header(layout, ClockId::kMonotonic);
  write_basis(layout, to_record(basis, 1));
  BasisRecord record;
  ASSERT_TRUE(read_basis(layout, &record, true));
  EXPECT_EQ(record.resolution_us, 1);
  for (const std::int64_t now : {123600000, 190000000}) {
    const Estimate want = estimate(basis, now), got = estimate(from_record(record), now);
    EXPECT_EQ(std::tie(got.id, got.micros, got.state, got.jitter, got.jitter0),
              std::tie(want.id, want.micros, want.state, want.jitter, want.jitter0));
    const Bound bound = bound_at(basis, now), read = bound_at(from_record(record), now);
    EXPECT_EQ(std::tie(read.us, read.holdover, read.unsynchronised),
              std::tie(bound.us, bound.holdover, bound.unsynchronised));
  }
  ASSERT_TRUE(read_basis(layout, &record, false));  // a segment of minor version 0
  EXPECT_FALSE(from_record(record).bound_known);
}

// A reader takes only a header it knows, in a mapping that holds the whole layout: another
// major version, another magic, a layout longer than the mapping or shorter than minor version
// 0's are refused; a later minor version, with fields added at the end, is read; the bound's
// terms are read from minor version 1 on.
TEST(Segment, OnlyAKnownHeaderIsRead) {
  struct Case {
    const char* rule;
    void (*change)(Layout&);
    std::size_t mapped;
    bool known, bound;
  };
  const Case table[] = {
      {"as written", [](Layout&) {}, sizeof(Layout), true, true},
      {"a later minor version, longer", [](Layout& l) { l.minor = 7, l.size += 16; },
       sizeof(Layout) + 16, true, true},
      {"minor version 0", [](Layout& l) { l.minor = 0, l.size = kMinor0Size; }, kMinor0Size, true,
       false},
      {"another major version", [](Layout& l) { ++l.major; }, sizeof(Layout), false, false},
      {"another magic", [](Layout& l) { l.magic = 0; }, sizeof(Layout), false, false},
      {"longer than the mapping", [](Layout& l) { l.size += 8; }, sizeof(Layout), false, false},
      {"shorter than minor version 0's", [](Layout& l) { l.size = kMinor0Size - 8; },
       sizeof(Layout), false, false},
      {"a mapping shorter than that", [](Layout&) {}, kMinor0Size - 1, false, false},
  };
  for (const Case& c : table) {
    Layout layout{};
    write_header(layout, ClockId::kMonotonic);
    c.change(layout);
    EXPECT_EQ(header_known(layout, c.mapped), c.known) << c.rule;
    if (c.known) {
      EXPECT_EQ(has_bound(layout), c.bound) << c.rule;
    }
  }
}

// Every field of the test's records follows from one number, so that a record mixed from two
// writes shows.
BasisRecord numbered(std::int64_t n) {
  BasisRecord r{};
  r.flags = static_cast<std::uint32_t>(n & 3);
  r.jitter = static_cast<std::int32_t>(n);
  r.jitter0 = static_cast<std::int32_t>(-n);
  r.lowest_offset_us = n;
  r.rate = static_cast<double>(n) * 0.5;
  r.carried_us = static_cast<double>(-n);
  r.anchor_us = 3 * n;
  r.oldest_arrival_us = 7 * n;
  r.resolution_us = 11 * n;
  return r;
}

bool whole(const BasisRecord& r) {
  const BasisRecord want = numbered(r.lowest_offset_us);
  return r.flags == want.flags && r.jitter == want.jitter && r.jitter0 == want.jitter0 &&
         r.rate == want.rate && r.carried_us == want.carried_us && r.anchor_us == want.anchor_us &&
         r.oldest_arrival_us == want.oldest_arrival_us && r.resolution_us == want.resolution_us;
}

// A writer as fast as it can, readers reading ten million times in all: no reading mixes two
// writes, and the readings never go back.
TEST(Segment, ReadsAgainstAWriterWithoutPauseAreEachOneWrite) {
  constexpr int kReaders = 2;
  // ThreadSanitizer makes each shared load some fifty times dearer and watches every one of
  // them: there, fewer reads still cross many thousands of writes.
#if defined(__SANITIZE_THREAD__) || EVENTID_HAS_FEATURE(thread_sanitizer)
  constexpr int kReadsEach = 200000;
#else
  constexpr int kReadsEach = 5000000;
#endif
  Layout layout{};
  write_header(layout, ClockId::kMonotonic);
  write_basis(layout, numbered(0));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::int64_t n = 1; !done.load(std::memory_order_relaxed); ++n) {
      write_basis(layout, numbered(n));
    }
  });
  std::vector<std::thread> readers;
  std::atomic<int> mixed{0}, backwards{0}, failed{0};
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&] {
      std::int64_t last = 0;
      for (int k = 0; k < kReadsEach; ++k) {
        BasisRecord r;
        if (!read_basis(layout, &r, true)) {
          ++failed;
          continue;
        }
        if (!whole(r)) ++mixed;
        if (r.lowest_offset_us < last) ++backwards;
        last = r.lowest_offset_us;
      }
    });
  }
  for (std::thread& t : readers) t.join();
  done = true;
  writer.join();
  EXPECT_EQ(mixed, 0);
  EXPECT_EQ(backwards, 0);
  EXPECT_EQ(failed, 0);
}

}  // namespace
}  // namespace eventid::segment
