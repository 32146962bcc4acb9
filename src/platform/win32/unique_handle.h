// The one owner of a Win32 handle in the Win32 back end, closed when its owner goes, and the
// OpenHandle that carries one through the portable headers. Internal to src/platform/win32/.
#ifndef PLOTSPOOL_PLATFORM_WIN32_UNIQUE_HANDLE_H_
#define PLOTSPOOL_PLATFORM_WIN32_UNIQUE_HANDLE_H_

#include <windows.h>

#include <utility>

#include "platform/open_handle.h"

namespace plotspool::platform {

// Owns a kernel handle; both null and INVALID_HANDLE_VALUE mean "none", since Win32 functions
// disagree on which one reports a failure.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(Normal(handle)) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  void Reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = Normal(handle);
  }
  HANDLE Release() { return std::exchange(handle_, nullptr); }
  // Closes now and reports what the close said. True when nothing was open.
  bool Close() {
    if (handle_ == nullptr) return true;
    return CloseHandle(std::exchange(handle_, nullptr)) != 0;
  }

 private:
  static HANDLE Normal(HANDLE handle) { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }
  HANDLE handle_ = nullptr;
};

struct OpenHandle {
  UniqueHandle handle;
};

// `handle` as an OwnedHandle; empty when `handle` is not valid.
OwnedHandle OwnHandle(UniqueHandle handle);

// The handle `owned` holds; null when it is empty.
inline HANDLE HandleOf(const OwnedHandle& owned) { return owned ? owned->handle.get() : nullptr; }

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_WIN32_UNIQUE_HANDLE_H_
