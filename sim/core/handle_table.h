// The process's handle table. Every kernel object that the simulation hands out (files,
// processes, threads, tokens, registry keys, ...) lives here, so that CloseHandle,
// DuplicateHandle and the accounting at exit see them all.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace sim {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // A short kind ("file", "process", "key", ...) and what the object is, for reports.
  virtual std::string Kind() const = 0;
  virtual std::string Describe() const { return ""; }
  // Called when the last handle to this object in the process is closed.
  virtual void OnLastHandleClosed() {}
};

struct HandleEntry {
  std::shared_ptr<KernelObject> object;
  DWORD access = 0;
};

class HandleTable {
 public:
  // Values are multiples of four from 0x100 on, as Windows' handles are multiples of four.
  HANDLE Insert(std::shared_ptr<KernelObject> object, DWORD access);
  HandleEntry* Find(HANDLE handle);
  template <typename T>
  std::shared_ptr<T> Get(HANDLE handle) {
    HandleEntry* entry = Find(handle);
    return entry == nullptr ? nullptr : std::dynamic_pointer_cast<T>(entry->object);
  }
  // False for a handle that is not open.
  bool Close(HANDLE handle);
  size_t CountOf(const KernelObject* object) const;

  struct OpenHandle {
    HANDLE handle;
    std::string kind;
    std::string description;
  };
  std::vector<OpenHandle> OpenHandles() const;
  void Clear() { entries_.clear(); }
  // Closes every handle in turn, as the end of a process does: objects act on their last
  // close (a file marked for deletion goes).
  void CloseAll();

 private:
  std::map<ULONG_PTR, HandleEntry> entries_;
  ULONG_PTR next_ = 0x100;
};

}  // namespace sim
