#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/process.h"

extern char** environ;

struct Process::Impl {
  pid_t pid = -1;
  std::optional<int> status;
  std::string out_path, err_path;
};

namespace {

std::string temp_path() {
  char path[] = "/tmp/eventid-test-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  return path;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

Process::Process(const std::string& program, const std::vector<std::string>& args)
    : impl_(new Impl) {
  impl_->out_path = temp_path();
  impl_->err_path = temp_path();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, impl_->out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, impl_->err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
  unlink(impl_->out_path.c_str());
  unlink(impl_->err_path.c_str());
  delete impl_;
}

bool Process::started() const {
  return impl_->pid > 0;
}
int Process::pid() const {
  return impl_->pid;
}
std::string Process::out() const {
  return slurp(impl_->out_path);
}
std::string Process::err() const {
  return slurp(impl_->err_path);
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
