#include "sim/core/machine.h"

#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/errors.h"
#include "sim/core/text.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

constexpr const char* kSettingsFile = "machine.conf";

bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// Characters that no Windows file name may hold.
bool IsInvalidNameUnit(char16_t unit) {
  if (unit < 0x20) return true;
  switch (unit) {
    case u'<': case u'>': case u':': case u'"': case u'|': case u'?': case u'*':
      return true;
    default:
      return false;
  }
}

std::vector<std::u16string> SplitComponents(std::u16string_view rest) {
  std::vector<std::u16string> parts;
  std::u16string current;
  for (char16_t unit : rest) {
    if (IsSeparator(unit)) {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += unit;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

// The existing entry of `directory` whose name equals `name` without regard to case.
std::optional<fs::path> FindNoCase(const fs::path& directory, std::u16string_view name) {
  std::error_code error;
  const fs::path exact = directory / ToUtf8(name);
  if (fs::exists(fs::symlink_status(exact, error))) return exact;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    if (EqualNoCase(ToUtf16(it->path().filename().string()), name)) return it->path();
  }
  return std::nullopt;
}

std::string Trim(std::string text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

Machine::Machine(fs::path root) : root_(std::move(root)) { LoadSettings(); }

HostPath Machine::Resolve(std::u16string_view windows_path) const {
  if (windows_path.substr(0, 4) == u"\\\\?\\") windows_path.remove_prefix(4);
  if (windows_path.size() < 2 || windows_path[1] != u':' || !std::isalpha(windows_path[0]) ||
      (windows_path.size() > 2 && !IsSeparator(windows_path[2]))) {
    return {{}, ERROR_INVALID_NAME};
  }
  std::vector<std::u16string> normalised;
  for (const auto& part : SplitComponents(windows_path.substr(2))) {
    if (part == u".") continue;
    if (part == u"..") {
      if (!normalised.empty()) normalised.pop_back();
      continue;
    }
    for (char16_t unit : part) {
      if (IsInvalidNameUnit(unit)) return {{}, ERROR_INVALID_NAME};
    }
    normalised.push_back(part);
  }
  const char drive = static_cast<char>(std::toupper(windows_path[0]));
  fs::path host = root_ / std::string(1, drive);
  std::error_code error;
  if (!fs::is_directory(host, error)) return {{}, ERROR_PATH_NOT_FOUND};
  bool existing = true;
  for (const auto& part : normalised) {
    if (existing) {
      if (auto found = FindNoCase(host, part)) {
        host = *found;
        continue;
      }
      existing = false;
    }
    host /= ToUtf8(part);
  }
  return {host, 0};
}

std::optional<std::u16string> Machine::WindowsPathOf(const fs::path& host) const {
  const fs::path relative = host.lexically_relative(root_);
  auto it = relative.begin();
  if (relative.empty() || it == relative.end() || it->string().size() != 1) return std::nullopt;
  std::u16string windows = ToUtf16(it->string()) + u":";
  for (++it; it != relative.end(); ++it) {
    if (it->string() == "..") return std::nullopt;
    windows += u"\\" + ToUtf16(it->string());
  }
  if (windows.size() == 2) windows += u"\\";
  return windows;
}

std::optional<std::string> Machine::Setting(std::string_view key) const {
  auto it = settings_.find(key);
  if (it == settings_.end()) return std::nullopt;
  return it->second;
}

void Machine::SetSetting(std::string_view key, std::string_view value) {
  settings_[std::string(key)] = std::string(value);
  std::ofstream out(root_ / kSettingsFile, std::ios::trunc);
  for (const auto& [k, v] : settings_) out << k << " = " << v << "\n";
}

void Machine::LoadSettings() {
  std::ifstream in(root_ / kSettingsFile);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    settings_[Trim(line.substr(0, equals))] = Trim(line.substr(equals + 1));
  }
}

fs::path DefaultMachineRoot() {
  if (const char* root = std::getenv("WINSIM_ROOT"); root != nullptr && *root != 0) return root;
  const char* home = std::getenv("HOME");
  return fs::path(home != nullptr ? home : "/tmp") / ".winsim" / "machine";
}

}  // namespace sim
