// How the relay ends (POSIX): a signal that comes while a file it takes away as it ends is being
// made waits for the file to be handed over, and then ends the process as it would have.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "process/exit.h"

namespace eventid {
namespace {

// The same for every ending signal: SIGTERM shows it.
TEST(EndingSignals, ASignalWhileAFileIsMadeWaitsForItsHandOver) {
  const std::string path = testing::TempDir() + "eventid-ending-" + std::to_string(::getpid());
  const pid_t child = ::fork();
  if (child == 0) {
    close_on_ending_signals();
    {
      const MakingEndingFile making;
      std::ofstream(path) << "made";
      ::raise(SIGTERM);  // comes before the file is handed over
      remove_when_ending(path);
    }
    ::_exit(0);  // not reached: the hand-over ends the process by the signal
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_FALSE(std::filesystem::exists(path));
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace eventid
