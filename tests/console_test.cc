#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "console/console.h"

namespace eventid {
namespace {

// A sink that keeps what it is given and, while the test holds it, blocks as a pipe that
// nobody reads does.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  int blocked = 0;  // writes waiting at the gate
  std::string said[2];

  Sink sink(int stream) {
    return [this, stream](const std::vector<std::string>& messages) {
      std::unique_lock<std::mutex> lock(mutex);
      ++blocked;
      changed.notify_all();
      changed.wait(lock, [&] { return !held; });
      --blocked;
      for (const std::string& m : messages) said[stream] += m;
    };
  }
  void hold(bool on) {
    std::lock_guard<std::mutex> lock(mutex);
    held = on;
    changed.notify_all();
  }
  void wait_blocked() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return blocked > 0; });
  }
};

std::string numbered(int n) {
  return std::string("m").append(std::to_string(n)).append("\r\n");
}

// A stuck output never holds up whoever posts: the queue takes 1024 messages, drops and counts
// the rest, and once the output moves the count goes out where the dropped messages stood,
// on their own stream, before anything posted later.
TEST(Console, AStuckSinkDropsBeyondTheQueueAndCountsInOrder) {
  Gate gate;
  Console console(gate.sink(0), gate.sink(1));
  std::string why;
  ASSERT_TRUE(console.start(&why)) << why;
  gate.hold(true);
  console.post(false, numbered(0));
  gate.wait_blocked();
  for (int n = 1; n < 2000; ++n) console.post(false, numbered(n));
  console.post(true, "failure\r\n");
  EXPECT_FALSE(console.flush(100000));  // stuck: waits no longer than asked
  gate.hold(false);
  ASSERT_TRUE(console.flush(10000000));
  console.post(false, numbered(2000));
  console.post(true, "later failure\r\n");
  ASSERT_TRUE(console.flush(10000000));

  std::string out;
  for (int n = 0; n <= static_cast<int>(Console::kQueueLimit); ++n) out += numbered(n);
  out += "975 messages dropped: the output was not being read\r\n" + numbered(2000);
  EXPECT_EQ(gate.said[0], out);
  EXPECT_EQ(gate.said[1], "1 messages dropped: the output was not being read\r\nlater failure\r\n");
}

// Set in place of the process's console, a console takes every message, formatted whole.
TEST(Console, MessagesAreFormattedWholeAndGoToTheirStream) {
  Gate gate;
  Console console(gate.sink(0), gate.sink(1));
  std::string why;
  ASSERT_TRUE(console.start(&why)) << why;
  Console* const standard = set_console(&console);
  const std::string long_name(3000, 'n');
  console_out("Connected to %s\r\n", long_name.c_str());
  report_error("deliver_id() send failed: %s\r\n", 0);
  set_console(standard);
  ASSERT_TRUE(console.flush(10000000));
  EXPECT_EQ(gate.said[0], "Connected to " + long_name + "\r\n");
  EXPECT_EQ(gate.said[1].rfind("deliver_id() send failed: ", 0), 0u);
  EXPECT_EQ(gate.said[1].substr(gate.said[1].size() - 2), "\r\n");
}

// One log that takes both streams (the Windows event log) gets them in the order they came.
TEST(Console, BothStreamsInTheOrderTheyCame) {
  std::vector<std::string> log, expected;
  const auto to_log = [&log](std::string stream) {
    return [&log, stream](const std::vector<std::string>& messages) {
      for (const std::string& m : messages) log.push_back(stream + m);
    };
  };
  Console console(to_log("out "), to_log("err "));
  for (int n = 0; n < 6; ++n) {  // queued before the writer starts: one batch
    console.post(n % 3 == 1, numbered(n));
    expected.push_back((n % 3 == 1 ? "err " : "out ") + numbered(n));
  }
  std::string why;
  ASSERT_TRUE(console.start(&why) && console.flush(10000000)) << why;
  EXPECT_EQ(log, expected);
}

}  // namespace
}  // namespace eventid
