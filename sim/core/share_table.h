// The opens of every simulated process of one machine, so that what Windows keeps per
// file (share modes of all its opens, a pending deletion, a running program's image) is
// seen across processes. Each simulated process is a host process of its own; they meet
// in one table under the machine root ("open-files"), read and rewritten under an
// exclusive flock(2) lock that a ShareTable object holds for its lifetime.
//
// An entry names the host process that holds it by pid and start time (from /proc), so
// an entry of a process that has ended (killed, crashed, or a pid now reused) is stale:
// it is dropped on the next read and blocks nobody. A pending deletion whose last live
// open is gone that way completes then, as Windows completes it when a process ends.
//
// Files are known by host device and inode: a name that is replaced is another file.
// An inode cannot be reused while an entry's descriptor keeps it alive.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace sim {

struct FileKey {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileKey&) const = default;
};

// Windows' loader opens an image for reading and executing and shares reading and
// deletion; the mapping then refuses writers and deletion.
constexpr DWORD kImageAccess = 0x0001u | 0x0020u;  // FILE_READ_DATA | FILE_EXECUTE
constexpr DWORD kImageShare = 0x1u | 0x4u;          // FILE_SHARE_READ | FILE_SHARE_DELETE

// Only these three classes of access take part in sharing.
constexpr DWORD kShareReadClass = 0x0001u | 0x0020u;   // FILE_READ_DATA, FILE_EXECUTE
constexpr DWORD kShareWriteClass = 0x0002u | 0x0004u;  // FILE_WRITE_DATA, FILE_APPEND_DATA
constexpr DWORD kShareDeleteClass = 0x00010000u;       // DELETE

class ShareTable {
 public:
  // Locks and reads the table of the machine at `root`. Nested tables of one process
  // share the outer lock (flock would block on a second descriptor of our own).
  explicit ShareTable(const std::filesystem::path& root);
  ~ShareTable();  // writes back what changed and unlocks
  ShareTable(const ShareTable&) = delete;
  ShareTable& operator=(const ShareTable&) = delete;

  // Windows' sharing check: a new open wanting `access` with `share`, against every live
  // open of the file in any process.
  bool SharingAllows(FileKey key, DWORD access, DWORD share) const;
  bool IsDeletePending(FileKey key) const;
  // True while a running program's image is this file.
  bool IsRunningImage(FileKey key) const;

  // Records an open of this process; the id removes it again.
  uint64_t AddOpen(FileKey key, DWORD access, DWORD share, bool image);
  // Records a running image for another host process (a child just started): it lasts
  // until that process ends.
  void AddImageOf(pid_t pid, FileKey key);
  // Removes an open. When it was the last open of a file marked for deletion, the mark
  // goes too and the name to remove is returned: the caller removes it under this lock.
  std::optional<std::filesystem::path> RemoveOpen(FileKey key, uint64_t id);
  // Marks (or unmarks) the file for deletion; `path` is the name that goes.
  void SetDeletePending(FileKey key, bool pending, const std::filesystem::path& path);

  struct State;  // the lock and the entries read, one per host process

 private:
  State& state_;
};

// An open recorded for as long as this object lives (a running program's image).
class ShareTableEntry {
 public:
  ShareTableEntry(std::filesystem::path root, FileKey key, DWORD access, DWORD share, bool image);
  ~ShareTableEntry();
  ShareTableEntry(const ShareTableEntry&) = delete;
  ShareTableEntry& operator=(const ShareTableEntry&) = delete;

 private:
  std::filesystem::path root_;
  FileKey key_;
  uint64_t id_;
};

// Removes the host name of a file whose deletion completes (rmdir for a directory).
void RemoveHostName(const std::filesystem::path& path);

}  // namespace sim
