// The segment as a named, pagefile-backed file mapping ("Global\eventid-relay", "Local\x" or a
// bare name). Its security lets every user map it for reading and only the relay's own user do
// more. A name that is taken is refused, unless it holds a segment that a relay of the same
// user made and that has ended (closed, or its heartbeat stale): readers that still hold such a
// mapping keep it alive, and the new relay takes it over, so that they follow it at once.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <csignal>
#include <system_error>
#include <vector>

#include "publish/writable_segment.h"

namespace eventid::segment {
namespace {

// A relay whose heartbeat is older than this has ended: readers give it up at the same age.
constexpr std::int64_t kStaleAfterUs = 3000000;
// Every access, for the relay's user; mapping for reading, for everyone.
constexpr const wchar_t* kAllAccess = L"GA";
constexpr const wchar_t* kReadAccess = L"0x4";  // FILE_MAP_READ

std::string system_text(DWORD error) {
  return std::system_category().message(static_cast<int>(error));
}

struct OwnedHandle {
  HANDLE handle;
  explicit OwnedHandle(HANDLE h) : handle(h) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() {
    if (handle) CloseHandle(handle);
  }
};

// What the system allocated with LocalAlloc: security descriptors, SID strings.
template <typename T>
struct LocalMemory {
  T memory = nullptr;
  LocalMemory() = default;
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() {
    if (memory) LocalFree(memory);
  }
};

// The mapping and its view, both the relay's to the end.
class MappingSegment final : public WritableSegment {
 public:
  MappingSegment(Layout* layout, HANDLE mapping) : WritableSegment(layout), mapping_(mapping) {}
  ~MappingSegment() override { UnmapViewOfFile(&layout()); }

 private:
  OwnedHandle mapping_;
};

// The user this process runs as, in a TOKEN_USER; empty when the token cannot say.
std::vector<BYTE> token_user() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  OwnedHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.handle, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  if (size == 0 || !GetTokenInformation(token.handle, TokenUser, user.data(), size, &size)) {
    return {};
  }
  return user;
}

// Owned by the relay's user, who may do anything with it; everyone else may only map it for
// reading. The owner is named, since an administrator's objects otherwise belong to the
// Administrators group, and the ownership check below would fail on its own mapping.
bool make_security(PSID user, LocalMemory<PSECURITY_DESCRIPTOR>* descriptor, std::string* why) {
  LocalMemory<wchar_t*> sid;
  if (!ConvertSidToStringSidW(user, &sid.memory)) {
    *why = "the relay's user: " + system_text(GetLastError());
    return false;
  }
  const std::wstring text = std::wstring(L"O:") + sid.memory + L"D:P(A;;" + kAllAccess + L";;;" +
                            sid.memory + L")(A;;" + kReadAccess + L";;;WD)";
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                            &descriptor->memory, nullptr)) {
    *why = "the mapping's security: " + system_text(GetLastError());
    return false;
  }
  return true;
}

// The name as Windows takes it: the relay's arguments come in the ANSI code page.
std::wstring wide(const std::string& text) {
  const int length =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
  return result;
}

// Whether the mapping's owner is user. A mapping that names no owner (one made without a
// security descriptor, or where the system cannot tell) is taken for another's.
bool owned_by(HANDLE mapping, PSID user) {
  PSID owner = nullptr;
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  const DWORD got = GetSecurityInfo(mapping, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                    nullptr, nullptr, nullptr, &descriptor.memory);
  return got == ERROR_SUCCESS && owner && EqualSid(owner, user);
}

// The magic last, after the heartbeat: a reader that opens the mapping before it is whole
// finds no magic yet, which it takes for no relay rather than for something else's mapping.
void write_new(Layout& layout, std::int64_t now_us) {
  Layout header{};
  write_header(header, relay_clock());
  store(layout.major, header.major);
  store(layout.minor, header.minor);
  store(layout.size, header.size);
  store(layout.clock, header.clock);
  beat(layout, now_us);
  store(layout.magic, header.magic);
}

// Takes over the segment of a relay that has ended. Readers see it closed until it is whole
// again: the basis not primed, the counter even (a relay killed within a write leaves it odd),
// the header rewritten and beating.
bool take_over(Layout& layout, std::int64_t now_us, std::string* why) {
  const auto heartbeat = static_cast<std::int64_t>(load(layout.heartbeat_us));
  if (load(layout.closed) == 0 && now_us - heartbeat <= kStaleAfterUs) {
    *why = "a relay publishes there";
    return false;
  }
  mark_closed(layout);
  const std::uint64_t sequence = load(layout.sequence);
  store(layout.sequence, sequence + (sequence & 1));
  write_basis(layout, BasisRecord{});
  write_header(layout, relay_clock());
  beat(layout, now_us);
  store(layout.closed, std::uint32_t{0});
  return true;
}

// Two relays that start at once on an ended segment take turns to look at it and take it over:
// the second then finds it live. Held only while the segment is made.
class TakeOverTurn {
 public:
  TakeOverTurn(const std::wstring& name, SECURITY_ATTRIBUTES* attributes)
      : mutex_(CreateMutexW(attributes, FALSE, (name + L".take-over").c_str())) {
    const DWORD waited = mutex_.handle ? WaitForSingleObject(mutex_.handle, kTurnWaitMs) : 0;
    held_ = mutex_.handle && (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED);
  }
  TakeOverTurn(const TakeOverTurn&) = delete;
  TakeOverTurn& operator=(const TakeOverTurn&) = delete;
  ~TakeOverTurn() {
    if (held_) ReleaseMutex(mutex_.handle);
  }
  bool held() const { return held_; }

 private:
  static constexpr DWORD kTurnWaitMs = 10000;
  OwnedHandle mutex_;
  bool held_ = false;
};

// What the mapping and its take-over turn are made with: the relay's user, and the security
// that makes the objects that user's.
struct Making {
  std::wstring name;
  std::vector<BYTE> user;
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  SECURITY_ATTRIBUTES attributes{};
  PSID sid() { return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid; }
};

bool prepare(const std::string& where, Making* making, std::string* why) {
  making->name = wide(where);
  making->user = token_user();
  if (making->user.empty()) {
    *why = "the relay's user: " + system_text(GetLastError());
    return false;
  }
  if (!make_security(making->sid(), &making->descriptor, why)) return false;
  making->attributes = {sizeof making->attributes, making->descriptor.memory, FALSE};
  return true;
}

// A name that was there before: a segment of ours that has ended, taken over; or why not.
bool take_over_existing(Making& making, HANDLE mapping, Layout& layout, std::size_t size,
                        std::int64_t now_us, std::string* why) {
  if (!header_known(layout, size) ||
      load(layout.clock) != static_cast<std::uint32_t>(relay_clock())) {
    *why = "the name is taken by a mapping that is not a segment";
    return false;
  }
  if (!owned_by(mapping, making.sid())) {
    *why = "another user's relay publishes there";
    return false;
  }
  const TakeOverTurn turn(making.name, &making.attributes);
  if (!turn.held()) {
    *why = "another relay is taking it over";
    return false;
  }
  return take_over(layout, now_us, why);
}

std::string access_hint(DWORD error) {
  return error == ERROR_ACCESS_DENIED
             ? " (another user's mapping, or a Global\\ name without the right to create one)"
             : "";
}

std::unique_ptr<WritableSegment> open_mapping(const std::string& where, std::int64_t now_us,
                                              std::string* why) {
  Making making;
  if (!prepare(where, &making, why)) return nullptr;
  const HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &making.attributes,
                                            PAGE_READWRITE, 0, sizeof(Layout), making.name.c_str());
  const DWORD created = GetLastError();
  if (!mapping) {
    *why = system_text(created) + access_hint(created);
    return nullptr;
  }
  void* view = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
  if (!view) {
    *why = system_text(GetLastError());
    CloseHandle(mapping);
    return nullptr;
  }
  auto segment = std::make_unique<MappingSegment>(static_cast<Layout*>(view), mapping);
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(view, &region, sizeof region) == 0) {
    *why = system_text(GetLastError());
    return nullptr;
  }
  if (created != ERROR_ALREADY_EXISTS) {
    write_new(segment->layout(), now_us);
  } else if (!take_over_existing(making, mapping, segment->layout(), region.RegionSize, now_us,
                                 why)) {
    return nullptr;
  }
  return segment;
}

Layout* closing_layout = nullptr;

void close_then_end(int signal_number) {
  mark_closed(*closing_layout);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// A console's Ctrl+C, Ctrl+Break or close, seen before the C runtime's handler (which would
// turn Ctrl+C into SIGINT, and end with SIGINT's status): the process ends as the system's own
// handler would have ended it. Log-off and shutdown are left alone: a service receives them
// too, and goes on.
BOOL WINAPI close_on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  mark_closed(*closing_layout);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

ClockId relay_clock() {
  return ClockId::kPerformanceCounter;
}

std::unique_ptr<WritableSegment> make_segment(const std::string& where, std::int64_t now_us,
                                              std::string* why) {
  if (where.empty()) {
    *why = "an empty mapping name";
    return nullptr;
  }
  auto segment = open_mapping(where, now_us, why);
  if (!segment) *why = where + ": " + *why;
  return segment;
}

void close_on_ending_signals(Layout& layout) {
  closing_layout = &layout;
  for (const int s : {SIGTERM, SIGINT}) std::signal(s, close_then_end);
  // Handlers are called last first: this one before the C runtime's, which signal() set up.
  SetConsoleCtrlHandler(close_on_console_event, TRUE);
}

}  // namespace eventid::segment
