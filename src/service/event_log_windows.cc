// The event log's side of running as a service: the source's registration and the console.
#include "service/windows/event_log.h"

#include <memory>
#include <string>
#include <string_view>

#include "messages.h"  // NOLINT: windmc writes it from service/windows/messages.mc
#include "service/windows/owned.h"

namespace eventid {
namespace {

constexpr wchar_t kSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\eventid-relay";
constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// The messages are in the code page that the system's own texts (FormatMessageA) come in.
std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  std::wstring wide(MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
  return wide;
}

std::wstring this_program() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path;
}

void report_event(HANDLE source, bool error, std::string_view message) {
  if (message.size() >= 2 && message.substr(message.size() - 2) == "\r\n") {
    message.remove_suffix(2);
  }
  const std::wstring text = widen(message);
  const wchar_t* strings[] = {text.c_str()};
  ReportEventW(source, error ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0,
               EVENTID_MESSAGE_TEXT, nullptr, 1, 0, strings, nullptr);
}

Sink event_sink(std::shared_ptr<const EventSource> source, bool error) {
  return [source, error](const std::vector<std::string>& messages) {
    for (const std::string& m : messages) report_event(source->get(), error, m);
  };
}

}  // namespace

void register_event_source() {
  RegistryKey key;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, key.out(), nullptr);
  if (rc != ERROR_SUCCESS) {
    report_error("service_main() RegCreateKeyExW failed: %s\r\n", static_cast<int>(rc));
    return;
  }
  const std::wstring program = this_program();
  rc = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                      reinterpret_cast<const BYTE*>(program.c_str()),
                      static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&kTypesSupported), sizeof kTypesSupported);
  }
  if (rc != ERROR_SUCCESS) {
    report_error("service_main() RegSetValueExW failed: %s\r\n", static_cast<int>(rc));
  }
}

Console* start_event_log_console(std::string* why) {
  const auto source =
      std::make_shared<const EventSource>(RegisterEventSourceW(nullptr, kEventSourceName));
  auto console = std::make_unique<Console>(event_sink(source, false), event_sink(source, true));
  if (!console->start(why)) return nullptr;
  return console.release();
}

}  // namespace eventid
