// Memory of the library, all of it taken from the caller's PFNALLOC and given back with
// its PFNFREE, as the FDI contract requires.
#pragma once
#include <cstddef>

#include "platform/fdi.h"

namespace sim::cabinet {

struct CallbackMemory {
  PFNALLOC alloc = nullptr;
  PFNFREE free = nullptr;

  // Null when the caller refuses or the size does not fit the callback's ULONG.
  void* Allocate(size_t bytes) const;
  void Release(void* block) const;
};

// One block from the caller's allocator, released when the owner goes.
class CallbackBlock {
 public:
  CallbackBlock() = default;
  CallbackBlock(const CallbackMemory& memory, size_t bytes)
      : memory_(&memory), data_(static_cast<unsigned char*>(memory.Allocate(bytes))) {}
  ~CallbackBlock() { Reset(); }
  CallbackBlock(const CallbackBlock&) = delete;
  CallbackBlock& operator=(const CallbackBlock&) = delete;
  CallbackBlock(CallbackBlock&& other) noexcept : memory_(other.memory_), data_(other.data_) { other.data_ = nullptr; }
  CallbackBlock& operator=(CallbackBlock&& other) noexcept {
    if (this != &other) {
      Reset();
      memory_ = other.memory_;
      data_ = other.data_;
      other.data_ = nullptr;
    }
    return *this;
  }

  unsigned char* get() const { return data_; }
  explicit operator bool() const { return data_ != nullptr; }
  void Reset() {
    if (data_ != nullptr) memory_->Release(data_);
    data_ = nullptr;
  }

 private:
  const CallbackMemory* memory_ = nullptr;
  unsigned char* data_ = nullptr;
};

}  // namespace sim::cabinet
