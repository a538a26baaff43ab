// The files that the simulated process has open. Each open (one CreateFileW) is a
// FileObject in the handle table; the opens of one file system object share a FileNode,
// which carries what Windows keeps per file rather than per open: the delete-pending mark.
//
// Share modes are checked between the opens of this process only: the simulation does not
// see what another simulated process holds.
#pragma once
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/types.h"
#include "sim/core/handle_table.h"

namespace sim {

class FileObject;

struct FileNode {
  std::filesystem::path path;  // the host name that goes when a pending delete completes
  bool is_directory = false;
  bool is_link = false;        // the link itself was opened
  bool delete_pending = false;
  std::vector<FileObject*> opens;
};

class FileObject : public KernelObject {
 public:
  // `access` has its generic rights expanded; `fd` is owned (O_PATH for metadata-only opens).
  FileObject(std::shared_ptr<FileNode> node, int fd, DWORD access, DWORD share);
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
  // Leaves the node; the last open to leave a delete-pending node removes its name.
  void Release();

  std::shared_ptr<FileNode> node_;
  int fd_;
  DWORD access_;
  DWORD share_;
  bool released_ = false;
};

// GENERIC_* expanded into the specific file rights they stand for.
DWORD ExpandGenericFileAccess(DWORD access);

// The node of the host object with this identity when some open of this process holds
// it, else null.
std::shared_ptr<FileNode> FindOpenNode(dev_t device, ino_t inode);
// The node for a host object, made (with `path`) when none is open.
std::shared_ptr<FileNode> NodeFor(dev_t device, ino_t inode, const std::filesystem::path& path);

// Windows' sharing check: a new open wanting `access` with `share` against every open of
// the node. Only reading, writing and deleting take part.
bool SharingAllows(const FileNode& node, DWORD access, DWORD share);

// True when the host object at `path` (not following a final link) is open here and
// marked for deletion.
bool IsDeletePending(const std::filesystem::path& path);

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
