#include "platform/large_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <utility>

#include "base/error.h"

namespace plotspool::platform {

LargeBuffer::LargeBuffer(size_t bytes) : size_(bytes) {
  if (bytes == 0) return;
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw RuntimeError(7, "Out of memory");
  madvise(block, bytes, MADV_HUGEPAGE);  // a hint only; without it the block works the same
  data_ = static_cast<uint8_t*>(block);
}

LargeBuffer::LargeBuffer(LargeBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) munmap(data_, size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

LargeBuffer::~LargeBuffer() {
  if (data_ != nullptr) munmap(data_, size_);
}

uint64_t PhysicalMemoryBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

}  // namespace plotspool::platform
