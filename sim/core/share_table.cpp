#include "sim/core/share_table.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTableFile = "open-files";

// A host process as the table names it: a pid alone could be reused.
struct Holder {
  pid_t pid = 0;
  uint64_t start = 0;
  bool operator==(const Holder&) const = default;
};

struct OpenEntry {
  FileKey key;
  Holder holder;
  uint64_t id = 0;
  DWORD access = 0;
  DWORD share = 0;
  bool image = false;
};

struct PendingEntry {
  FileKey key;
  fs::path path;
};

// The start time of a live process in clock ticks since boot (field 22 of
// /proc/PID/stat); nullopt when it has ended, zombies included.
std::optional<uint64_t> StartTimeOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return std::nullopt;
  // The command name may hold spaces and parentheses: fields count from the last ')'.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::string state;
  fields >> state;
  if (state == "Z" || state == "X" || state == "x") return std::nullopt;
  std::string field;
  for (int number = 4; number < 22 && fields >> field; ++number) {
  }
  uint64_t start = 0;
  if (!(fields >> start)) return std::nullopt;
  return start;
}

Holder Self() {
  // Computed once per host process; a forked child execs a new program before it
  // touches the table.
  static const Holder self{::getpid(), StartTimeOf(::getpid()).value_or(0)};
  return self;
}

uint64_t NextOpenId() {
  static uint64_t next = 0;
  return ++next;
}

bool Conflicts(DWORD access, DWORD other_share) {
  return ((access & kShareReadClass) != 0 && (other_share & 0x1u) == 0) ||
         ((access & kShareWriteClass) != 0 && (other_share & 0x2u) == 0) ||
         ((access & kShareDeleteClass) != 0 && (other_share & 0x4u) == 0);
}

std::string HexOf(const std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : text) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 0x0F];
  }
  return hex;
}

std::optional<std::string> TextOfHex(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string text;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = hex.substr(i, 2);
    const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
    if (*end != 0) return std::nullopt;
    text += static_cast<char>(value);
  }
  return text;
}

bool SameFile(const fs::path& path, FileKey key) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && status.st_dev == key.device && status.st_ino == key.inode;
}

}  // namespace

void RemoveHostName(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return;
  if (S_ISDIR(status.st_mode)) {
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

// The locked table of this host process: one at a time, shared by nested ShareTables.
struct ShareTable::State {
  fs::path root;
  int fd = -1;
  int depth = 0;
  bool dirty = false;
  std::vector<OpenEntry> opens;
  std::vector<PendingEntry> pending;

  void Load();
  void Save();
  void DropStale();
};

namespace {

ShareTable::State& TheState() {
  static auto* state = new ShareTable::State;
  return *state;
}

}  // namespace

void ShareTable::State::Load() {
  opens.clear();
  pending.clear();
  dirty = false;
  std::string text;
  char buffer[4096];
  for (off_t offset = 0;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    offset += got;
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    // A line that does not read whole (a writer that was killed) is dropped.
    if (kind == "open") {
      OpenEntry entry;
      unsigned long long device = 0, inode = 0;
      int image = 0;
      if (fields >> device >> inode >> entry.holder.pid >> entry.holder.start >> entry.id >> entry.access >>
          entry.share >> image) {
        entry.key = {static_cast<dev_t>(device), static_cast<ino_t>(inode)};
        entry.image = image != 0;
        opens.push_back(entry);
      }
    } else if (kind == "pending") {
      unsigned long long device = 0, inode = 0;
      std::string hex;
      if (fields >> device >> inode >> hex) {
        if (auto path = TextOfHex(hex)) pending.push_back({{static_cast<dev_t>(device), static_cast<ino_t>(inode)}, *path});
      }
    }
  }
  DropStale();
}

void ShareTable::State::DropStale() {
  std::map<pid_t, std::optional<uint64_t>> starts;
  auto live = [&](const Holder& holder) {
    auto it = starts.find(holder.pid);
    if (it == starts.end()) it = starts.emplace(holder.pid, StartTimeOf(holder.pid)).first;
    return it->second && *it->second == holder.start;
  };
  const size_t before = opens.size();
  std::erase_if(opens, [&](const OpenEntry& entry) { return !live(entry.holder); });
  if (opens.size() == before) return;
  dirty = true;
  // Deletions whose last holder ended without closing complete now.
  std::erase_if(pending, [&](const PendingEntry& entry) {
    for (const auto& open : opens) {
      if (open.key == entry.key) return false;
    }
    if (SameFile(entry.path, entry.key)) RemoveHostName(entry.path);
    return true;
  });
}

void ShareTable::State::Save() {
  std::ostringstream text;
  for (const auto& entry : opens) {
    text << "open " << static_cast<unsigned long long>(entry.key.device) << " "
         << static_cast<unsigned long long>(entry.key.inode) << " " << entry.holder.pid << " " << entry.holder.start
         << " " << entry.id << " " << entry.access << " " << entry.share << " " << (entry.image ? 1 : 0) << "\n";
  }
  for (const auto& entry : pending) {
    text << "pending " << static_cast<unsigned long long>(entry.key.device) << " "
         << static_cast<unsigned long long>(entry.key.inode) << " " << HexOf(entry.path.string()) << "\n";
  }
  const std::string bytes = text.str();
  if (::ftruncate(fd, 0) != 0) return;
  for (size_t written = 0; written < bytes.size();) {
    const ssize_t put = ::pwrite(fd, bytes.data() + written, bytes.size() - written, static_cast<off_t>(written));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    written += static_cast<size_t>(put);
  }
}

ShareTable::ShareTable(const fs::path& root) : state_(TheState()) {
  if (state_.depth > 0) {
    if (state_.root != root) throw std::logic_error("share tables of two machines locked at once");
    ++state_.depth;
    return;
  }
  state_.root = root;
  state_.depth = 1;
  state_.opens.clear();
  state_.pending.clear();
  state_.dirty = false;
  // Without a table (a machine root that cannot take it) each process sees only its own.
  state_.fd = ::open((root / kTableFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (state_.fd < 0) return;
  while (::flock(state_.fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  state_.Load();
}

ShareTable::~ShareTable() {
  if (--state_.depth > 0 || state_.fd < 0) return;
  if (state_.dirty) state_.Save();
  ::flock(state_.fd, LOCK_UN);
  ::close(state_.fd);
  state_.fd = -1;
}

bool ShareTable::SharingAllows(FileKey key, DWORD access, DWORD share) const {
  constexpr DWORD kClasses = kShareReadClass | kShareWriteClass | kShareDeleteClass;
  // An open holding none of the three classes is never checked and never blocks others.
  if ((access & kClasses) == 0) return true;
  for (const auto& open : state_.opens) {
    if (!(open.key == key) || (open.access & kClasses) == 0) continue;
    if (Conflicts(access, open.share) || Conflicts(open.access, share)) return false;
  }
  return true;
}

bool ShareTable::IsDeletePending(FileKey key) const {
  for (const auto& entry : state_.pending) {
    if (entry.key == key) return true;
  }
  return false;
}

bool ShareTable::IsRunningImage(FileKey key) const {
  for (const auto& open : state_.opens) {
    if (open.key == key && open.image) return true;
  }
  return false;
}

uint64_t ShareTable::AddOpen(FileKey key, DWORD access, DWORD share, bool image) {
  const uint64_t id = NextOpenId();
  state_.opens.push_back({key, Self(), id, access, share, image});
  state_.dirty = true;
  return id;
}

void ShareTable::AddImageOf(pid_t pid, FileKey key) {
  const auto start = StartTimeOf(pid);
  if (!start) return;  // it has ended already
  state_.opens.push_back({key, {pid, *start}, NextOpenId(), kImageAccess, kImageShare, true});
  state_.dirty = true;
}

std::optional<fs::path> ShareTable::RemoveOpen(FileKey key, uint64_t id) {
  const Holder self = Self();
  std::erase_if(state_.opens, [&](const OpenEntry& open) { return open.key == key && open.id == id && open.holder == self; });
  state_.dirty = true;
  for (const auto& open : state_.opens) {
    if (open.key == key) return std::nullopt;
  }
  for (auto it = state_.pending.begin(); it != state_.pending.end(); ++it) {
    if (it->key == key) {
      fs::path path = it->path;
      state_.pending.erase(it);
      if (!SameFile(path, key)) return std::nullopt;
      return path;
    }
  }
  return std::nullopt;
}

void ShareTable::SetDeletePending(FileKey key, bool pending, const fs::path& path) {
  std::erase_if(state_.pending, [&](const PendingEntry& entry) { return entry.key == key; });
  if (pending) state_.pending.push_back({key, path});
  state_.dirty = true;
}

ShareTableEntry::ShareTableEntry(fs::path root, FileKey key, DWORD access, DWORD share, bool image)
    : root_(std::move(root)), key_(key) {
  ShareTable table(root_);
  id_ = table.AddOpen(key_, access, share, image);
}

ShareTableEntry::~ShareTableEntry() {
  ShareTable table(root_);
  if (auto path = table.RemoveOpen(key_, id_)) RemoveHostName(*path);
}

}  // namespace sim
