#include "platform/large_buffer.h"

#include <windows.h>

#include <utility>

#include "base/error.h"

namespace plotspool::platform {

// Reserved and committed at once, but the system hands out pages only as they are first touched.
// Large pages need a privilege a service seldom has, so none are asked for.
LargeBuffer::LargeBuffer(size_t bytes) : size_(bytes) {
  if (bytes == 0) return;
  void* block = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (block == nullptr) throw RuntimeError(kOutOfMemory, "Out of memory");
  data_ = static_cast<uint8_t*>(block);
}

LargeBuffer::LargeBuffer(LargeBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

LargeBuffer::~LargeBuffer() {
  if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
}

uint64_t PhysicalMemoryBytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return status.ullTotalPhys;
}

}  // namespace plotspool::platform
