#include "sim/kernel32/files_table.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "platform/errors.h"
#include "platform/kernel32_files.h"
#include "sim/core/process.h"
#include "sim/core/text.h"

namespace sim {

namespace {

using NodeKey = std::pair<dev_t, ino_t>;

std::map<NodeKey, std::weak_ptr<FileNode>>& Nodes() {
  static std::map<NodeKey, std::weak_ptr<FileNode>> nodes;
  return nodes;
}

}  // namespace

FileObject::FileObject(std::shared_ptr<FileNode> node, int fd, DWORD access, DWORD share, ShareTable& table)
    : node_(std::move(node)), fd_(fd), access_(access), share_(share) {
  table_id_ = table.AddOpen(node_->key, access_, share_, false);
}

FileObject::~FileObject() {
  // A process that ends with the file still open closes it here.
  Release();
  if (fd_ >= 0) ::close(fd_);
}

std::string FileObject::Describe() const {
  auto windows = Machine(node_->root).WindowsPathOf(node_->path);
  return windows ? ToUtf8(*windows) : node_->path.string();
}

void FileObject::Release() {
  if (released_) return;
  released_ = true;
  ShareTable table(node_->root);
  if (auto name = table.RemoveOpen(node_->key, table_id_)) {
    // The object's own descriptor goes first, so that nothing of it stays open.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    RemoveHostName(*name);
  }
}

DWORD ExpandGenericFileAccess(DWORD access) {
  constexpr DWORD kRead = READ_CONTROL | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE;
  constexpr DWORD kWrite =
      READ_CONTROL | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | SYNCHRONIZE;
  constexpr DWORD kExecute = READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;
  // FILE_ALL_ACCESS: the standard rights required (delete, read control, write DAC, write
  // owner), synchronize and every file-specific right.
  constexpr DWORD kAll = 0x000F0000u | SYNCHRONIZE | 0x1FFu;
  DWORD expanded = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if ((access & GENERIC_READ) != 0) expanded |= kRead;
  if ((access & GENERIC_WRITE) != 0) expanded |= kWrite;
  if ((access & GENERIC_EXECUTE) != 0) expanded |= kExecute;
  if ((access & GENERIC_ALL) != 0) expanded |= kAll;
  return expanded;
}

std::shared_ptr<FileNode> NodeFor(const std::filesystem::path& root, FileKey key, const std::filesystem::path& path) {
  auto& nodes = Nodes();
  auto it = nodes.find({key.device, key.inode});
  if (it != nodes.end()) {
    if (auto node = it->second.lock(); node && node->root == root) return node;
  }
  std::erase_if(nodes, [](const auto& entry) { return entry.second.expired(); });
  auto node = std::make_shared<FileNode>();
  node->root = root;
  node->key = key;
  node->path = path;
  nodes[{key.device, key.inode}] = node;
  return node;
}

bool IsDeletePending(ShareTable& table, const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return false;
  return table.IsDeletePending({status.st_dev, status.st_ino});
}

FileHandle LookUpFileHandle(HANDLE handle) {
  HandleEntry* entry = CurrentProcess().handles().Find(handle);
  if (entry == nullptr) return {};
  auto* object = dynamic_cast<FileObject*>(entry->object.get());
  if (object == nullptr) return {};
  return {object, entry->access};
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EISDIR: case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOSPC: case EDQUOT: case EFBIG: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_WRITE_FAULT;
  }
}

}  // namespace sim
