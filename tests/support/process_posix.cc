#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "support/process.h"

extern char** environ;

struct Process::Impl {
  pid_t pid = -1;
  std::optional<int> status;
};

namespace {

std::string temp_path() {
  char path[] = "/tmp/eventid-test-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  return path;
}

}  // namespace

Process::Process(const std::string& program, const std::vector<std::string>& args)
    : impl_(new Impl) {
  out_path_ = temp_path();
  err_path_ = temp_path();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&impl_->pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    impl_->pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
  kill();
  unlink(out_path_.c_str());
  unlink(err_path_.c_str());
  delete impl_;
}

bool Process::started() const {
  return impl_->pid > 0;
}
int Process::pid() const {
  return impl_->pid;
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!impl_->status && impl_->pid > 0) {
    int raw = 0;
    if (waitpid(impl_->pid, &raw, WNOHANG) == impl_->pid) {
      impl_->status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      break;
    }
    if (std::chrono::steady_clock::now() > until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return impl_->status;
}

void Process::kill() {
  if (impl_->pid <= 0 || impl_->status) return;
  ::kill(impl_->pid, SIGKILL);
  wait_exit(std::chrono::seconds(10));
}
