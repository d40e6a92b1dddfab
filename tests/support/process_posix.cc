#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "support/process.h"

extern char** environ;

namespace eventid::test {

struct Process::Impl {
  pid_t pid = -1;
  std::optional<int> status;
  int pipes[3] = {-1, -1, -1};  // the reading ends of unread pipes, by the child's descriptor
};

namespace {

std::string temp_path() {
  char path[] = "/tmp/eventid-test-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  return path;
}

struct pipe_t {
  int reader = -1, writer = -1;
};

// Sets up the child's descriptor fd; returns the pipe it made for it, if any.
pipe_t route_output(posix_spawn_file_actions_t* actions, int fd, Output where,
                    const std::string& path) {
  pipe_t p;
  switch (where) {
    case Output::kFile:
      posix_spawn_file_actions_addopen(actions, fd, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0600);
      break;
    case Output::kClosed:
      posix_spawn_file_actions_addclose(actions, fd);
      break;
    case Output::kUnreadPipe:
    case Output::kBrokenPipe:
      int ends[2];
      if (pipe2(ends, O_CLOEXEC) != 0) break;
      p = {ends[0], ends[1]};
      fcntl(p.reader, F_SETPIPE_SZ, 4096);  // fills after a few dozen messages
      fcntl(p.reader, F_SETFL, O_NONBLOCK);
      posix_spawn_file_actions_adddup2(actions, p.writer, fd);
      break;
  }
  return p;
}

}  // namespace

Process::Process(const std::string& program, const std::vector<std::string>& args, Outputs outputs,
                 const std::vector<std::string>& environment)
    : impl_(new Impl) {
  out_path_ = temp_path();
  err_path_ = temp_path();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const pipe_t piped[3] = {{},
                           route_output(&actions, 1, outputs.out, out_path_),
                           route_output(&actions, 2, outputs.err, err_path_)};
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  if (posix_spawn(&impl_->pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    impl_->pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  const Output wanted[3] = {Output::kFile, outputs.out, outputs.err};
  for (int fd = 1; fd <= 2; ++fd) {
    if (piped[fd].writer < 0) continue;
    close(piped[fd].writer);  // the child has its own copy
    if (wanted[fd] == Output::kBrokenPipe) {
      close(piped[fd].reader);
    } else {
      impl_->pipes[fd] = piped[fd].reader;
    }
  }
}

std::string Process::take_piped(int stream) {
  std::string text;
  char buf[4096];
  for (long n;
       impl_->pipes[stream] >= 0 && (n = read(impl_->pipes[stream], buf, sizeof buf)) > 0;) {
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

Process::~Process() {
  kill();
  for (int fd : impl_->pipes) {
    if (fd >= 0) close(fd);
  }
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

bool Process::terminate() {
  if (impl_->pid <= 0 || impl_->status) return false;
  ::kill(impl_->pid, SIGTERM);
  return wait_exit(std::chrono::seconds(10)).has_value();
}

bool Process::stop_and_continue() {
  ::kill(impl_->pid, SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return ::kill(impl_->pid, SIGCONT) == 0;
}

}  // namespace eventid::test
