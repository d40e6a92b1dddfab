// End to end on Linux: programs reading a relay that publishes, through libeventid and
// eventid-read, against the real relay and simulator on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <filesystem>
#include <sstream>

#include "eventid.h"
#include "support/e2e.h"

namespace eventid {
namespace {

using namespace test;

std::string private_directory() {
  std::string dir = testing::TempDir() + "eventid-XXXXXX";
  EXPECT_NE(::mkdtemp(dir.data()), nullptr);
  return dir;
}

struct Source {
  eventid_source* source = nullptr;
  explicit Source(const std::string& where) { EXPECT_EQ(eventid_open(where.c_str(), &source), 0); }
  ~Source() { eventid_close(source); }
  int read(eventid_reading* r) const {
    r->size = sizeof *r;
    return eventid_read(source, r);
  }
};

double position(const eventid_reading& r) {
  return r.id + r.micros / 100000.0;
}

struct Publishing {
  std::string where = private_directory() + "/basis";
  RelayRun run{{.relay_args = {"--publish", where, "--resolution", "us"}}};
};

// A socket request answered between two readings of the segment answers what lies between
// them. A sample that lands in between may move the estimate by the loopback's jitter: 1 ms.
TEST(Reader, ReadingsBracketTheSocketsLine) {
  Publishing p;
  ASSERT_TRUE(p.run.listening());
  Source s(p.where);
  RelayClient client(p.run.port);
  ASSERT_TRUE(well_formed(client.read_line()));
  for (int i = 0; i < 50; ++i) {
    eventid_reading before, after;
    ASSERT_EQ(s.read(&before), 0);
    client.send("x");
    const std::string line = client.read_line();
    ASSERT_EQ(s.read(&after), 0);
    ASSERT_TRUE(well_formed(line)) << line;
    EXPECT_GE(line_position(line), position(before) - 0.01) << line;
    EXPECT_LE(line_position(line), position(after) + 0.01) << line;
    EXPECT_EQ(before.state, 'O');
  }
}

// Ended by SIGTERM, the relay reads as gone at once; killed, within 5 s; and a relay started in
// its place is followed by the same source.
TEST(Reader, ARelayEndedOrKilledIsNoRelayAndOneInItsPlaceIsFollowed) {
  auto p = std::make_unique<Publishing>();
  ASSERT_TRUE(p->run.listening());
  Source s(p->where);
  eventid_reading r;
  ASSERT_EQ(s.read(&r), 0);
  ::kill(p->run.relay.pid(), SIGTERM);
  EXPECT_EQ(p->run.relay.wait_exit(10s), 128 + SIGTERM);
  EXPECT_EQ(s.read(&r), EVENTID_ENORELAY);

  RelayRun again({.relay_args = {"--publish", p->where}});
  ASSERT_TRUE(again.listening());
  EXPECT_TRUE(eventually([&] { return s.read(&r) == 0; }));
  again.relay.kill();
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually([&] { return s.read(&r) == EVENTID_ENORELAY; }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 5s);
}

// Every signal that ends the relay by default leaves nothing that looks alive: the segment
// reads as gone at once and the Unix-domain listener's socket file is removed. A signal that
// the tests were started with ignored (nohup, a background job) stays ignored, and is skipped.
TEST(Reader, EachEndingSignalLeavesNoLiveSegmentOrSocketFile) {
  Simulator sim;
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction inherited {};
    ::sigaction(signal_number, nullptr, &inherited);
    if (inherited.sa_handler == SIG_IGN) continue;
    const std::string dir = private_directory(), socket_path = dir + "/id.sock";
    Process relay(EVENTID_RELAY,
                  {"--publish", dir + "/basis", "--listen", "127.0.0.1:0,unix:" + socket_path,
                   "127.0.0.1", std::to_string(sim.port)});
    ASSERT_EQ(listening_addresses(relay, 2).size(), 2u) << relay.err();
    Source s(dir + "/basis");
    eventid_reading r;
    EXPECT_TRUE(eventually([&] { return s.read(&r) == 0; })) << signal_number;
    ::kill(relay.pid(), signal_number);
    EXPECT_EQ(relay.wait_exit(10s), 128 + signal_number);
    EXPECT_EQ(s.read(&r), EVENTID_ENORELAY) << signal_number;
    EXPECT_FALSE(std::filesystem::exists(socket_path)) << signal_number;
  }
}

// Only the relay's user may write the segment; a directory that others may write (sticky or
// not) is refused, since anyone could put a segment of their own there first.
TEST(Reader, NoOtherUserCanWriteOrReplaceTheSegment) {
  Publishing p;
  ASSERT_TRUE(p.run.listening());
  struct stat about;
  ASSERT_EQ(::stat(p.where.c_str(), &about), 0);
  EXPECT_EQ(about.st_mode & 0777, 0644u);
  if (::geteuid() == 0) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
      ::_exit(::open(p.where.c_str(), O_RDWR) < 0 && errno == EACCES ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << "another user opened the segment for writing";
  }
  for (const mode_t mode : {0777, 01777, 0770}) {
    const std::string dir = private_directory();
    ::chmod(dir.c_str(), mode);
    Process relay(EVENTID_RELAY, {"--publish", dir + "/basis", "127.0.0.1", "1"});
    EXPECT_EQ(relay.wait_exit(15s), code(ExitStatus::kListenerFailed)) << std::oct << mode;
    EXPECT_NE(relay.err().find("main() publish failed: "), std::string::npos) << relay.err();
  }
}

// eventid-read --wait: consecutive IDs, each line within 20 ms of its ID's beginning.
TEST(Reader, WaitPrintsEachNewIdAsItBegins) {
  Publishing p;
  ASSERT_TRUE(p.run.listening());
  Process reader(EVENTID_READ, {"--from", p.where, "--wait", "--count", "10"});
  ASSERT_EQ(reader.wait_exit(30s), 0) << reader.err();
  std::istringstream lines(reader.out());
  std::string line;
  std::uint32_t previous = 0;
  int count = 0;
  for (; std::getline(lines, line); ++count) {
    line += "\r\n";
    ASSERT_TRUE(well_formed(line)) << line;
    const auto id = static_cast<std::uint32_t>(line_position(line));
    EXPECT_TRUE(count == 0 || id == previous + 1) << line;
    EXPECT_LT(line_position(line) - id, 0.2) << line;  // 20 ms of 100
    previous = id;
  }
  EXPECT_EQ(count, 10);
}

// Each way that nothing can be read has its status and one line on standard error.
TEST(Reader, EventidReadSaysWhyItReadsNothing) {
  const std::string dir = private_directory();
  Process waiting(EVENTID_RELAY, {"--publish", dir + "/waiting", "127.0.0.1", "1"});
  ASSERT_TRUE(eventually([&] { return ::access((dir + "/waiting").c_str(), F_OK) == 0; }));
  ASSERT_EQ(::close(::open((dir + "/short").c_str(), O_CREAT | O_WRONLY, 0644)), 0);
  const struct {
    std::string from;
    int status;
    const char* says;
  } table[] = {
      {dir + "/none", 1, "no relay"},
      {dir + "/waiting", 2, "not primed yet"},
      {dir + "/short", 3, "unusable segment"},
      {"tcp:127.0.0.1:1", 1, "no relay"},
  };
  for (const auto& c : table) {
    Process reader(EVENTID_READ, {"--from", c.from});
    EXPECT_EQ(reader.wait_exit(15s), c.status) << c.from;
    EXPECT_EQ(reader.err(), "eventid-read: " + c.from + ": " + c.says + "\n");
  }
}

}  // namespace
}  // namespace eventid
