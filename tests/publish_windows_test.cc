// The published segment as Windows has it, under Wine: a named file mapping made by the real
// relay, read by eventid-read.exe (the static library) and by this test through eventid.dll.
#include <windows.h>

#include <gtest/gtest.h>

#include "eventid.h"
#include "support/e2e.h"
#include "support/id_line_check.h"
#include "support/loopback.h"
#include "timing/clock.h"

namespace eventid::test {
namespace {

// Tests run side by side in one Wine prefix: each on a name of its own.
std::string mapping_name(const char* test) {
  return std::string("Local\\eventid-test-") + test + "-" + std::to_string(GetCurrentProcessId());
}

std::vector<std::string> publishing(const std::string& name, std::uint16_t upstream) {
  return {"--publish", name, "--listen",  "127.0.0.1",
          "--port",    "0",  "127.0.0.1", std::to_string(upstream)};
}

// A reader that holds the mapping from its first read to its end.
class Reader {
 public:
  explicit Reader(const std::string& where) { eventid_open(where.c_str(), &source_); }
  ~Reader() { eventid_close(source_); }
  int read() {
    reading_ = {};
    reading_.size = sizeof reading_;
    return eventid_read(source_, &reading_);
  }
  const eventid_reading& reading() const { return reading_; }
  double position() const { return reading_.id + reading_.micros / 1e5; }

 private:
  eventid_source* source_ = nullptr;
  eventid_reading reading_{};
};

// The relay, started on this test's console: Ctrl+C reaches the processes of one console.
class ConsoleRelay {
 public:
  explicit ConsoleRelay(const std::vector<std::string>& args) {
    std::string exe = std::string("Z:") + EVENTID_RELAY;
    for (char& c : exe) c = c == '/' ? '\\' : c;
    std::string command = "\"" + exe + "\"";
    for (const auto& a : args) command += " \"" + a + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    started_ = CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &process_);
  }
  ~ConsoleRelay() {
    if (!started_) return;
    TerminateProcess(process_.hProcess, 137);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
  }
  DWORD wait_exit(DWORD limit_ms) {
    DWORD status = STILL_ACTIVE;
    if (WaitForSingleObject(process_.hProcess, limit_ms) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process_.hProcess, &status);
    }
    return status;
  }

 private:
  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

// One relay publishes and its clock is the readers'; a second is refused the live name; once
// the first is killed, the reader that holds the mapping finds no relay, and follows the next
// relay that takes the name over.
TEST(PublishWindows, ReadRefusedTakenOverAndFollowed) {
  const std::string name = mapping_name("take-over");
  RelayRun run({.relay_args = {"--publish", name, "--resolution", "us"}});
  ASSERT_TRUE(run.listening());
  Process read(EVENTID_READ, {"--from", name});
  ASSERT_EQ(read.wait_exit(15s), 0) << read.err();
  const std::string line = read.out();  // its standard output is in text mode: CR LF
  EXPECT_TRUE(id_line_check::well_formed(line)) << line;
  EXPECT_NE(line.find(" O "), std::string::npos) << line;

  Reader reader(name);
  const std::int64_t before = microsecond_clock();
  ASSERT_EQ(reader.read(), EVENTID_OK);
  const std::int64_t after = microsecond_clock();
  EXPECT_LE(before, reader.reading().clock_us);
  EXPECT_LE(reader.reading().clock_us, after);
  EXPECT_NEAR(reader.position(), run.sim.truth(), 1.0);

  Process second(EVENTID_RELAY, publishing(name, run.sim.port));
  EXPECT_EQ(second.wait_exit(15s), code(ExitStatus::kListenerFailed));
  EXPECT_NE(second.err().find("main() publish failed: " + name + ": a relay publishes there"),
            std::string::npos)
      << second.err();

  run.relay.kill();
  EXPECT_TRUE(eventually([&] { return reader.read() == EVENTID_ENORELAY; }));
  Process third(EVENTID_RELAY, publishing(name, run.sim.port));
  EXPECT_TRUE(eventually([&] { return reader.read() == EVENTID_OK; }, 30s)) << third.err();
  EXPECT_EQ(reader.reading().state, 'O');
  EXPECT_NEAR(reader.position(), run.sim.truth(), 1.0);
}

// Ctrl+C ends the relay as it would have ended it, with the segment closed: its readers know at
// once, well within the heartbeat's 3 s, and a relay started at once takes it over.
TEST(PublishWindows, CtrlCClosesItAndTheNextRelayTakesItOver) {
  FreeConsole();  // under ctest, this test's console takes no Ctrl+C: one of its own does
  if (!AllocConsole()) GTEST_SKIP() << "no console to send Ctrl+C on";
  const std::string name = mapping_name("ctrl-c");
  ConsoleRelay relay(publishing(name, closed_port()));
  Reader reader(name);
  ASSERT_TRUE(eventually([&] { return reader.read() == EVENTID_ENOTPRIMED; }));
  SetConsoleCtrlHandler(nullptr, TRUE);  // this test ignores it; set after the start, as inherited
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  ASSERT_EQ(relay.wait_exit(15000), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
  EXPECT_EQ(reader.read(), EVENTID_ENORELAY);

  Process next(EVENTID_RELAY, publishing(name, closed_port()));
  EXPECT_TRUE(eventually([&] { return reader.read() == EVENTID_ENOTPRIMED; })) << next.err();
  EXPECT_FALSE(next.wait_exit(0ms)) << next.err();
}

}  // namespace
}  // namespace eventid::test
