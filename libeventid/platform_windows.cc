// The library's Windows side: QueryPerformanceCounter, waitable timers, named file mappings
// and Windows Sockets.
#include <winsock2.h>  // before windows.h
#include <ws2tcpip.h>

#include <windows.h>

#include <cstring>

#include "eventid.h"
#include "platform.h"

namespace eventid::client {
namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;
constexpr std::int64_t kNanosPerMicro = 1000;
// Not in every SDK's headers: Windows 10 1803 and later take it, earlier ones refuse it.
constexpr DWORD kHighResolutionTimer = 0x00000002;

std::int64_t counter_frequency() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  return frequency;
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

// A high-resolution timer where Windows has one, else an ordinary one.
HANDLE make_timer() {
  const HANDLE timer =
      CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
  return timer ? timer : CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
}

// UTF-8 to the wide text that Windows names take; empty for what is not UTF-8.
std::wstring wide(const char* text) {
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (length <= 1) return {};
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, result.data(), length);
  result.resize(static_cast<std::size_t>(length - 1));
  return result;
}

int mapping_failure(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return EVENTID_ENORELAY;
    case ERROR_INVALID_HANDLE:  // the name is another kind of object's
    case ERROR_INVALID_NAME:
      return EVENTID_EUNUSABLE;
    default:
      return EVENTID_EIO;
  }
}

struct Socket {
  SOCKET s;
  explicit Socket(SOCKET s) : s(s) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
};

struct AddressList {
  addrinfo* first = nullptr;
  AddressList() = default;
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;
  ~AddressList() {
    if (first) freeaddrinfo(first);
  }
};

// Waits until s is readable (or, for writing, connected or failed) or deadline_us has passed:
// false then. select, not WSAPoll: before Windows 10 2004, WSAPoll never reports a refused
// connection, and would wait out the whole timeout.
bool wait_for(SOCKET s, bool for_writing, std::int64_t deadline_us) {
  const std::int64_t left = deadline_us - clock_us();
  if (left <= 0) return false;
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval limit{static_cast<long>(left / 1000000), static_cast<long>(left % 1000000)};
  return select(0, for_writing ? nullptr : &ready, for_writing ? &ready : nullptr, &failed,
                &limit) > 0 &&
         FD_ISSET(s, &ready);
}

int connect_by(SOCKET s, const addrinfo& address, std::int64_t deadline_us) {
  u_long non_blocking = 1;
  if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) return EVENTID_EIO;
  if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return 0;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return EVENTID_ENORELAY;
  return wait_for(s, true, deadline_us) ? 0 : EVENTID_ENORELAY;
}

int receive_line(SOCKET s, std::int64_t deadline_us, char* buffer, std::size_t size) {
  std::size_t used = 0;
  while (used + 1 < size) {
    if (!wait_for(s, false, deadline_us)) return EVENTID_ENORELAY;
    const int got = recv(s, buffer + used, static_cast<int>(size - 1 - used), 0);
    if (got == 0) return EVENTID_ENORELAY;  // closed before a whole line
    if (got < 0) {
      if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
      return EVENTID_ENORELAY;
    }
    const void* end = std::memchr(buffer + used, '\n', static_cast<std::size_t>(got));
    used += static_cast<std::size_t>(got);
    if (end) {
      buffer[static_cast<const char*>(end) - buffer + 1] = '\0';
      return 0;
    }
  }
  return EVENTID_EUNUSABLE;
}

}  // namespace

// On the time scale of the relay's std::chrono::steady_clock, which MinGW's C++ library takes
// from its clock_gettime(CLOCK_MONOTONIC): the counter in whole seconds and rounded
// nanoseconds, cut to microseconds. The same steps give the same readings.
std::int64_t clock_us() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const std::int64_t frequency = counter_frequency();
  std::int64_t seconds = now.QuadPart / frequency;
  std::int64_t nanos = ((now.QuadPart % frequency) * kNanosPerSecond + frequency / 2) / frequency;
  if (nanos >= kNanosPerSecond) {
    ++seconds;
    nanos -= kNanosPerSecond;
  }
  return seconds * 1000000 + nanos / kNanosPerMicro;
}

segment::ClockId clock_id() {
  return segment::ClockId::kPerformanceCounter;
}

// A waitable timer runs on the system's time, not on the counter: it is set for what is left,
// and set again while the counter has not reached the deadline.
void sleep_until_us(std::int64_t deadline_us) {
  OwnedHandle timer(make_timer());
  for (std::int64_t left = deadline_us - clock_us(); left > 0; left = deadline_us - clock_us()) {
    LARGE_INTEGER due;
    due.QuadPart = -left * 10;  // relative, in 100 ns
    if (timer.handle && SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE)) {
      WaitForSingleObject(timer.handle, INFINITE);
    } else {
      Sleep(static_cast<DWORD>((left + 999) / 1000));
    }
  }
}

int map_segment(const char* where, MappedView* view) {
  const std::wstring name = wide(where);
  if (name.empty()) return EVENTID_EUNUSABLE;
  OwnedHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
  if (!mapping.handle) return mapping_failure(GetLastError());
  const void* data = MapViewOfFile(mapping.handle, FILE_MAP_READ, 0, 0, 0);
  if (!data) return EVENTID_EIO;
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(data, &region, sizeof region) == 0) {
    UnmapViewOfFile(data);
    return EVENTID_EIO;
  }
  // A relay writes the magic last: until then the mapping is a segment still being made.
  if (region.RegionSize >= segment::kMinor0Size &&
      segment::load(static_cast<const segment::Layout*>(data)->magic) == 0) {
    UnmapViewOfFile(data);
    return EVENTID_ENORELAY;
  }
  *view = {data, region.RegionSize, reinterpret_cast<std::uintptr_t>(mapping.handle), {}};
  mapping.handle = nullptr;
  return 0;
}

void unmap_segment(const MappedView& view) {
  UnmapViewOfFile(view.data);
  CloseHandle(reinterpret_cast<HANDLE>(view.handle));
}

// The view holds the mapping: while it does, its name names no other.
bool segment_replaced(const char*, const MappedView&) {
  return false;
}

// Each source starts the library for itself and cleans it up as it closes.
bool start_sockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
void stop_sockets() {
  WSACleanup();
}

int fetch_line(const char* host, const char* port, std::int64_t timeout_us, char* buffer,
               std::size_t size) {
  const std::int64_t deadline = clock_us() + timeout_us;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  AddressList addresses;
  if (getaddrinfo(host, port, &hints, &addresses.first) != 0) return EVENTID_ENORELAY;
  int code = EVENTID_ENORELAY;
  for (const addrinfo* a = addresses.first; a; a = a->ai_next) {
    Socket s(WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
    if (s.s == INVALID_SOCKET) {
      code = EVENTID_EIO;
      continue;
    }
    code = connect_by(s.s, *a, deadline);
    if (code == 0) return receive_line(s.s, deadline, buffer, size);
  }
  return code;
}

}  // namespace eventid::client
