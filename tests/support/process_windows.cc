#include <windows.h>

#include "support/process.h"

namespace eventid::test {

struct Process::Impl {
  PROCESS_INFORMATION pi{};
  bool started = false;
  std::optional<int> status;
};

namespace {

std::string temp_path() {
  char dir[MAX_PATH], path[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  GetTempFileNameA(dir, "eid", 0, path);
  return path;
}

HANDLE open_for_child(const std::string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The build hands tests absolute Unix paths when it runs under Wine, which maps / to Z:.
std::string windows_path(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string quoted(const std::string& arg) {
  return arg.find_first_of(" \t\"") == std::string::npos && !arg.empty() ? arg : "\"" + arg + "\"";
}

}  // namespace

// Pipes and added environment are left to the POSIX tests: here every output but kClosed goes
// to its file.
Process::Process(const std::string& program, const std::vector<std::string>& args, Outputs outputs,
                 const std::vector<std::string>&)
    : impl_(new Impl) {
  out_path_ = temp_path();
  err_path_ = temp_path();
  const std::string exe = windows_path(program);
  std::string command = quoted(exe);
  for (const auto& a : args) command += " " + quoted(a);
  HANDLE in = open_for_child("NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = outputs.out == Output::kClosed
                   ? nullptr
                   : open_for_child(out_path_, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = outputs.err == Output::kClosed
                   ? nullptr
                   : open_for_child(err_path_, GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  impl_->started = CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW, nullptr, nullptr, &si, &impl_->pi) != 0;
  for (HANDLE h : {in, out, err}) {
    if (h) CloseHandle(h);
  }
}

std::string Process::take_piped(int) {
  return "";
}

Process::~Process() {
  kill();
  if (impl_->started) {
    CloseHandle(impl_->pi.hProcess);
    CloseHandle(impl_->pi.hThread);
  }
  DeleteFileA(out_path_.c_str());
  DeleteFileA(err_path_.c_str());
  delete impl_;
}

bool Process::started() const {
  return impl_->started;
}
int Process::pid() const {
  return static_cast<int>(impl_->pi.dwProcessId);
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds limit) {
  if (impl_->status || !impl_->started) return impl_->status;
  if (WaitForSingleObject(impl_->pi.hProcess, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(impl_->pi.hProcess, &code);
    impl_->status = static_cast<int>(code);
  }
  return impl_->status;
}

void Process::kill() {
  if (!impl_->started || impl_->status) return;
  TerminateProcess(impl_->pi.hProcess, 137);
  wait_exit(std::chrono::seconds(10));
}

bool Process::terminate() {
  return false;
}

bool Process::stop_and_continue() {
  return false;
}

}  // namespace eventid::test
