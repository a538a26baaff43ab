#include "sim/cabinet/callback_memory.h"

namespace sim::cabinet {

void* CallbackMemory::Allocate(size_t bytes) const {
  if (bytes > 0xFFFFFFFFu) return nullptr;
  return alloc(static_cast<ULONG>(bytes));
}

void CallbackMemory::Release(void* block) const {
  if (block != nullptr) free(block);
}

}  // namespace sim::cabinet
