// The files that the simulated process has open. Each open (one CreateFileW) is a
// FileObject in the handle table; the opens of one file system object in this process
// share a FileNode. What Windows keeps per file rather than per open (the share modes of
// every open, the delete-pending mark, a running image) is kept in the machine's share
// table (sim/core/share_table.h), so that every simulated process sees it.
#pragma once
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/types.h"
#include "sim/core/handle_table.h"
#include "sim/core/share_table.h"

namespace sim {

class FileObject;

struct FileNode {
  std::filesystem::path root;  // of the machine whose share table records the opens
  FileKey key;
  std::filesystem::path path;  // the host name that goes when a pending delete completes
  bool is_directory = false;
  bool is_link = false;        // the link itself was opened
};

class FileObject : public KernelObject {
 public:
  // `access` has its generic rights expanded; `fd` is owned (O_PATH for metadata-only
  // opens). The open is recorded in `table`, which the caller holds locked.
  FileObject(std::shared_ptr<FileNode> node, int fd, DWORD access, DWORD share, ShareTable& table);
  ~FileObject() override;
  FileObject(const FileObject&) = delete;
  FileObject& operator=(const FileObject&) = delete;

  std::string Kind() const override { return "file"; }
  std::string Describe() const override;
  void OnLastHandleClosed() override { Release(); }

  FileNode& node() { return *node_; }
  int fd() const { return fd_; }
  DWORD access() const { return access_; }
  DWORD share() const { return share_; }
  // One pointer per open, so duplicated handles move it together.
  ULONGLONG position = 0;

 private:
  // Leaves the share table; the last open of a delete-pending file removes its name.
  void Release();

  std::shared_ptr<FileNode> node_;
  int fd_;
  DWORD access_;
  DWORD share_;
  uint64_t table_id_;
  bool released_ = false;
};

// GENERIC_* expanded into the specific file rights they stand for.
DWORD ExpandGenericFileAccess(DWORD access);

// The node for a host object, made (with `path`) when this process has it open nowhere.
std::shared_ptr<FileNode> NodeFor(const std::filesystem::path& root, FileKey key, const std::filesystem::path& path);

// True when the host object at `path` (not following a final link) is marked for
// deletion by some process of the machine.
bool IsDeletePending(ShareTable& table, const std::filesystem::path& path);

// The file object and the rights of an open file handle, or null when the handle is not
// an open file handle of this process.
struct FileHandle {
  FileObject* object = nullptr;
  DWORD access = 0;
  explicit operator bool() const { return object != nullptr; }
};
FileHandle LookUpFileHandle(HANDLE handle);

// The Windows error for a failed host file call.
DWORD ErrorFromErrno(int error);

}  // namespace sim
