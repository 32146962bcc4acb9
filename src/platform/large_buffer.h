// A large block of memory for one decoded image, taken straight from the system. Pages are
// committed as they are first written, and the block asks for huge pages, which makes that
// first touch of hundreds of MB markedly cheaper.
#ifndef PLOTSPOOL_PLATFORM_LARGE_BUFFER_H_
#define PLOTSPOOL_PLATFORM_LARGE_BUFFER_H_

#include <cstddef>
#include <cstdint>

namespace plotspool::platform {

class LargeBuffer {
 public:
  LargeBuffer() = default;
  // `bytes` of uninitialised memory; throws RuntimeError 7 "Out of memory" when refused.
  explicit LargeBuffer(size_t bytes);
  LargeBuffer(LargeBuffer&& other) noexcept;
  LargeBuffer& operator=(LargeBuffer&& other) noexcept;
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  ~LargeBuffer();

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// The machine's physical memory in bytes; 0 when it cannot be told.
uint64_t PhysicalMemoryBytes();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_LARGE_BUFFER_H_
