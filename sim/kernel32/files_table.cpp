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

constexpr DWORD kReadClass = FILE_READ_DATA | FILE_EXECUTE;
constexpr DWORD kWriteClass = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr DWORD kSharedClasses = kReadClass | kWriteClass | DELETE;

// Does an open with `access` ask for something that the other open's share mode withholds?
bool Conflicts(DWORD access, DWORD other_share) {
  return ((access & kReadClass) != 0 && (other_share & FILE_SHARE_READ) == 0) ||
         ((access & kWriteClass) != 0 && (other_share & FILE_SHARE_WRITE) == 0) ||
         ((access & DELETE) != 0 && (other_share & FILE_SHARE_DELETE) == 0);
}

void RemoveName(const FileNode& node) {
  if (node.is_directory) {
    ::rmdir(node.path.c_str());
  } else {
    ::unlink(node.path.c_str());
  }
}

}  // namespace

FileObject::FileObject(std::shared_ptr<FileNode> node, int fd, DWORD access, DWORD share)
    : node_(std::move(node)), fd_(fd), access_(access), share_(share) {
  node_->opens.push_back(this);
}

FileObject::~FileObject() {
  // A process that ends with the file still open closes it here.
  Release();
  if (fd_ >= 0) ::close(fd_);
}

std::string FileObject::Describe() const {
  auto windows = CurrentProcess().machine().WindowsPathOf(node_->path);
  return windows ? ToUtf8(*windows) : node_->path.string();
}

void FileObject::Release() {
  if (released_) return;
  released_ = true;
  auto& opens = node_->opens;
  opens.erase(std::remove(opens.begin(), opens.end(), this), opens.end());
  if (opens.empty() && node_->delete_pending) {
    // The object's own descriptor goes first, so that nothing of it stays open.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    RemoveName(*node_);
    node_->delete_pending = false;
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

std::shared_ptr<FileNode> FindOpenNode(dev_t device, ino_t inode) {
  auto it = Nodes().find({device, inode});
  if (it == Nodes().end()) return nullptr;
  auto node = it->second.lock();
  if (!node) Nodes().erase(it);
  return node;
}

std::shared_ptr<FileNode> NodeFor(dev_t device, ino_t inode, const std::filesystem::path& path) {
  if (auto node = FindOpenNode(device, inode)) return node;
  auto node = std::make_shared<FileNode>();
  node->path = path;
  Nodes()[{device, inode}] = node;
  return node;
}

bool SharingAllows(const FileNode& node, DWORD access, DWORD share) {
  // An open holding none of the three classes is never checked and never blocks others.
  if ((access & kSharedClasses) == 0) return true;
  for (const FileObject* open : node.opens) {
    if ((open->access() & kSharedClasses) == 0) continue;
    if (Conflicts(access, open->share()) || Conflicts(open->access(), share)) return false;
  }
  return true;
}

bool IsDeletePending(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return false;
  auto node = FindOpenNode(status.st_dev, status.st_ino);
  return node && node->delete_pending;
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
