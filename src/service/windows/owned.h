// A small move-only owner for one Win32 handle, closed exactly once by Close: on reassignment
// or at scope exit, as net::Socket does for sockets.
#pragma once

#include <windows.h>

#include <utility>

namespace eventid {

template <typename Handle, auto Close>
class Owned {
 public:
  Owned() = default;
  explicit Owned(Handle handle) : handle_(handle) {}
  Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, Handle{}));
    return *this;
  }
  ~Owned() { reset(); }

  Handle get() const { return handle_; }
  // For a call that hands its handle back through a pointer.
  Handle* out() {
    reset();
    return &handle_;
  }

 private:
  void reset(Handle replacement = Handle{}) {
    if (handle_) Close(handle_);
    handle_ = replacement;
  }
  Handle handle_{};
};

using RegistryKey = Owned<HKEY, RegCloseKey>;
using EventSource = Owned<HANDLE, DeregisterEventSource>;

}  // namespace eventid
