// The relay as the Windows service eventid-relay. The process's main thread stays in the
// Service Control Manager's dispatcher, which calls on_control; the relay runs on
// service_main's thread. Every end goes through exit_process(), whose hook, last_words, makes
// the final report and ends the process: the relay's statuses become service-specific exit
// codes, so that the manager's recovery actions fire.
#include <windows.h>
#include <winsvc.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "console/console.h"
#include "process/exit.h"
#include "service/service.h"
#include "service/windows/event_log.h"

namespace eventid {
namespace {

wchar_t kServiceName[] = L"eventid-relay";  // the dispatcher's table takes it writable
// The wait for the upstream's first sample has no bound: the start stays pending, reported
// afresh with a new checkpoint well within each hint.
constexpr DWORD kStartHintMs = 15000;
constexpr std::int64_t kStartRefreshUs = 5000000;
constexpr DWORD kStopHintMs = 2000;

struct Service {
  std::mutex mutex;
  std::condition_variable changed;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
  bool stopping = false;  // from the first STOP or SHUTDOWN on, every end is the stop's
  ServingStop serving;
  std::function<void()> relay;
};

// Lives as long as the process: the relay's threads use it until the very end.
Service& service() {
  static Service* const s = new Service;
  return *s;
}

// With s.mutex held. A pending state's checkpoint grows with each report of it.
void report(Service& s, DWORD state, DWORD accepted, DWORD hint_ms) {
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  const bool again = state == s.status.dwCurrentState;
  s.status.dwCheckPoint = pending ? (again ? s.status.dwCheckPoint + 1 : 1) : 0;
  s.status.dwCurrentState = state;
  s.status.dwControlsAccepted = accepted;
  s.status.dwWaitHint = hint_ms;
  SetServiceStatus(s.handle, &s.status);
  s.changed.notify_all();
}

void last_words(ExitStatus status) {
  Service& s = service();
  s.mutex.lock();  // never released: nothing is reported after this
  const int code = s.stopping ? 0 : static_cast<int>(status);
  s.status.dwWin32ExitCode = code ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  s.status.dwServiceSpecificExitCode = static_cast<DWORD>(code);
  report(s, SERVICE_STOPPED, 0, 0);
  std::_Exit(code);
}

// A serving loop closes the listener and every client as it returns, and its thread then
// ends the process; before the loop serves there is nothing to close.
void stop() {
  Service& s = service();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stopping) return;
    s.stopping = true;
    report(s, SERVICE_STOP_PENDING, 0, kStopHintMs);
  }
  if (!s.serving.stop()) exit_process(ExitStatus::kStopped);
}

DWORD WINAPI on_control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      stop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void keep_start_fresh() {
  Service& s = service();
  std::unique_lock<std::mutex> lock(s.mutex);
  while (!s.changed.wait_for(lock, std::chrono::microseconds(kStartRefreshUs),
                             [&] { return s.status.dwCurrentState != SERVICE_START_PENDING; })) {
    report(s, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, kStartHintMs);
  }
}

void use_event_log() {
  std::string why;
  Console* const event_log = start_event_log_console(&why);
  if (!event_log) {
    console_err("main() thread start failed: %s\r\n", why.c_str());
    exit_process(ExitStatus::kNoResources);
  }
  set_console(event_log);
  register_event_source();
}

void register_control_handler() {
  Service& s = service();
  std::lock_guard<std::mutex> lock(s.mutex);  // a control that comes at once waits for this
  s.handle = RegisterServiceCtrlHandlerExW(kServiceName, on_control, nullptr);
  if (!s.handle) {
    report_error("service_main() RegisterServiceCtrlHandlerExW failed: %s\r\n",
                 static_cast<int>(GetLastError()));
    exit_process(ExitStatus::kNoResources);
  }
  report(s, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, kStartHintMs);
  set_exit_hook(last_words);
}

// The relay's options come from the service's command line; sc start's arguments are not used.
void WINAPI service_main(DWORD, LPWSTR*) {
  use_event_log();
  register_control_handler();
  try {
    std::thread(keep_start_fresh).detach();
  } catch (const std::system_error& e) {
    console_err("main() thread start failed: %s\r\n", e.code().message().c_str());
    exit_process(ExitStatus::kNoResources);
  }
  try {
    service().relay();  // never returns
  } catch (const std::bad_alloc&) {
    exit_process(ExitStatus::kNoResources);  // out of memory at start-up
  }
}

}  // namespace

bool service_available() {
  return true;
}

void run_service(std::function<void()> relay) {
  service().relay = std::move(relay);
  const SERVICE_TABLE_ENTRYW table[] = {{kServiceName, service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    report_error("main() StartServiceCtrlDispatcherW failed: %s\r\n",
                 static_cast<int>(GetLastError()));
    exit_process(ExitStatus::kNoResources);
  }
  // The dispatcher returns once the service has reported itself stopped, which last_words
  // does as it ends the process.
  exit_process(ExitStatus::kStopped);
}

void service_listening() {
  Service& s = service();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.handle || s.stopping) return;
  report(s, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0);
}

ServingStop* service_stop() {
  Service& s = service();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.handle ? &s.serving : nullptr;
}

}  // namespace eventid
