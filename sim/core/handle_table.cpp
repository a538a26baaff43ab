#include "sim/core/handle_table.h"

namespace sim {

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> object, DWORD access) {
  const ULONG_PTR value = next_;
  next_ += 4;
  entries_[value] = HandleEntry{std::move(object), access};
  return reinterpret_cast<HANDLE>(value);
}

HandleEntry* HandleTable::Find(HANDLE handle) {
  auto it = entries_.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == entries_.end() ? nullptr : &it->second;
}

bool HandleTable::Close(HANDLE handle) {
  auto it = entries_.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == entries_.end()) return false;
  std::shared_ptr<KernelObject> object = std::move(it->second.object);
  entries_.erase(it);
  if (CountOf(object.get()) == 0) object->OnLastHandleClosed();
  return true;
}

void HandleTable::CloseAll() {
  while (!entries_.empty()) Close(reinterpret_cast<HANDLE>(entries_.begin()->first));
}

size_t HandleTable::CountOf(const KernelObject* object) const {
  size_t count = 0;
  for (const auto& [value, entry] : entries_) count += entry.object.get() == object ? 1 : 0;
  return count;
}

std::vector<HandleTable::OpenHandle> HandleTable::OpenHandles() const {
  std::vector<OpenHandle> open;
  for (const auto& [value, entry] : entries_) {
    open.push_back({reinterpret_cast<HANDLE>(value), entry.object->Kind(), entry.object->Describe()});
  }
  return open;
}

}  // namespace sim
