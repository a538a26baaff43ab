#include "sim/advapi32/registry_store.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/core/text.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

constexpr const char* kRegistryFile = "registry.reg";
constexpr std::u16string_view kRedirectionNode = u"WOW6432Node";

std::vector<std::u16string> SplitKeyPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::u16string current;
  for (char16_t unit : path) {
    if (unit == u'\\') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += unit;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

std::u16string JoinKeyPath(const std::vector<std::u16string>& parts) {
  std::u16string path;
  for (const auto& part : parts) {
    if (!path.empty()) path += u'\\';
    path += part;
  }
  return path;
}

bool IsRedirectedClassKey(std::u16string_view name) {
  for (std::u16string_view key : {u"CLSID", u"Interface", u"DirectShow", u"Media Type", u"MediaFoundation"}) {
    if (EqualNoCase(name, key)) return true;
  }
  return false;
}

// Where the 32-bit view puts WOW6432Node in `parts` (components below the root), or
// nothing for a shared key.
std::optional<size_t> RedirectionPoint(RegistryRoot root, const std::vector<std::u16string>& parts) {
  if (parts.empty() || !EqualNoCase(parts[0], u"Software")) return std::nullopt;
  if (parts.size() >= 2 && EqualNoCase(parts[1], u"Classes")) {
    if (parts.size() >= 3 && IsRedirectedClassKey(parts[2])) return 2;
    return std::nullopt;
  }
  if (root == RegistryRoot::kLocalMachine) return 1;
  return std::nullopt;
}

// Value names are written between double quotes with \ " and line breaks escaped.
std::string EscapeName(std::u16string_view name) {
  std::string out;
  for (char c : ToUtf8(name)) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string ValueLine(const RegistryValue& value) {
  std::string line = value.name.empty() ? "@" : "\"" + EscapeName(value.name) + "\"";
  char number[16];
  std::snprintf(number, sizeof number, "%x", value.type);
  line += "=hex(" + std::string(number) + "):";
  for (size_t i = 0; i < value.data.size(); ++i) {
    std::snprintf(number, sizeof number, "%s%02x", i == 0 ? "" : ",", value.data[i]);
    line += number;
  }
  return line;
}

std::optional<RegistryValue> ParseValueLine(const std::string& line) {
  RegistryValue value;
  size_t at = 0;
  if (line[0] == '@') {
    at = 1;
  } else {
    std::string name;
    for (at = 1; at < line.size() && line[at] != '"'; ++at) {
      if (line[at] == '\\' && at + 1 < line.size()) {
        const char escaped = line[++at];
        name += escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped;
      } else {
        name += line[at];
      }
    }
    if (at >= line.size()) return std::nullopt;
    value.name = ToUtf16(name);
    ++at;
  }
  if (line.compare(at, 5, "=hex(") != 0) return std::nullopt;
  at += 5;
  const size_t close = line.find("):", at);
  if (close == std::string::npos) return std::nullopt;
  value.type = static_cast<DWORD>(std::stoul(line.substr(at, close - at), nullptr, 16));
  std::stringstream bytes(line.substr(close + 2));
  for (std::string item; std::getline(bytes, item, ',');) {
    if (!item.empty()) value.data.push_back(static_cast<BYTE>(std::stoul(item, nullptr, 16)));
  }
  return value;
}

}  // namespace

std::u16string_view RootName(RegistryRoot root) {
  return root == RegistryRoot::kCurrentUser ? u"HKEY_CURRENT_USER" : u"HKEY_LOCAL_MACHINE";
}

std::optional<RegistryRoot> ParseRootName(std::u16string_view name) {
  if (EqualNoCase(name, u"HKEY_CURRENT_USER") || EqualNoCase(name, u"HKCU")) return RegistryRoot::kCurrentUser;
  if (EqualNoCase(name, u"HKEY_LOCAL_MACHINE") || EqualNoCase(name, u"HKLM")) return RegistryRoot::kLocalMachine;
  return std::nullopt;
}

std::u16string ViewPath(RegistryRoot root, std::u16string_view sub_key, RegistryView view) {
  std::vector<std::u16string> parts = SplitKeyPath(sub_key);
  if (view == RegistryView::k32) {
    const auto point = RedirectionPoint(root, parts);
    if (point && (*point == parts.size() || !EqualNoCase(parts[*point], kRedirectionNode))) {
      parts.insert(parts.begin() + static_cast<std::ptrdiff_t>(*point), std::u16string(kRedirectionNode));
    }
  }
  parts.insert(parts.begin(), std::u16string(RootName(root)));
  return JoinKeyPath(parts);
}

std::u16string KeyIdentity(std::u16string_view path) {
  std::u16string identity = JoinKeyPath(SplitKeyPath(path));
  for (char16_t& unit : identity) unit = UpcaseUnit(unit);
  return identity;
}

RegistryStore::RegistryStore(fs::path machine_root) : file_(machine_root / kRegistryFile) {
  // Keys that every Windows machine has, the 32-bit view's own node included.
  for (std::u16string_view key : {u"HKEY_CURRENT_USER\\Software", u"HKEY_LOCAL_MACHINE\\Software\\WOW6432Node"}) {
    CreateKey(key);
  }
  std::ifstream in(file_, std::ios::binary);
  RegistryKey* key = nullptr;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[' && line.back() == ']') {
      key = &CreateKey(ToUtf16(line.substr(1, line.size() - 2)));
    } else if (key != nullptr && (line[0] == '"' || line[0] == '@')) {
      if (auto value = ParseValueLine(line)) key->values.push_back(std::move(*value));
    }
  }
}

const RegistryKey* RegistryStore::FindKey(std::u16string_view path) const {
  auto it = keys_.find(KeyIdentity(path));
  return it == keys_.end() ? nullptr : &it->second;
}

const RegistryValue* RegistryStore::FindValue(std::u16string_view path, std::u16string_view name) const {
  const RegistryKey* key = FindKey(path);
  if (key == nullptr) return nullptr;
  for (const auto& value : key->values) {
    if (EqualNoCase(value.name, name)) return &value;
  }
  return nullptr;
}

RegistryKey& RegistryStore::CreateKey(std::u16string_view path) {
  const std::vector<std::u16string> parts = SplitKeyPath(path);
  std::vector<std::u16string> prefix;
  RegistryKey* key = nullptr;
  for (const auto& part : parts) {
    prefix.push_back(part);
    const std::u16string joined = JoinKeyPath(prefix);
    auto [it, inserted] = keys_.try_emplace(KeyIdentity(joined));
    if (inserted) {
      // An existing parent keeps the case it was created with.
      const RegistryKey* parent = key;
      it->second.path = parent == nullptr ? joined : parent->path + u"\\" + part;
    }
    key = &it->second;
  }
  return *key;
}

void RegistryStore::SetValue(std::u16string_view path, RegistryValue value) {
  RegistryKey& key = CreateKey(path);
  for (auto& existing : key.values) {
    if (EqualNoCase(existing.name, value.name)) {
      existing.type = value.type;
      existing.data = std::move(value.data);
      return;
    }
  }
  key.values.push_back(std::move(value));
}

bool RegistryStore::DeleteKey(std::u16string_view path) {
  const std::u16string identity = KeyIdentity(path);
  if (keys_.count(identity) == 0) return false;
  const bool is_root = SplitKeyPath(path).size() == 1;
  for (auto it = keys_.begin(); it != keys_.end();) {
    const bool below = it->first.size() > identity.size() && it->first.compare(0, identity.size(), identity) == 0 &&
                       it->first[identity.size()] == u'\\';
    if (below || (it->first == identity && !is_root)) {
      it = keys_.erase(it);
    } else {
      ++it;
    }
  }
  if (is_root) keys_[identity].values.clear();
  return true;
}

bool RegistryStore::DeleteValue(std::u16string_view path, std::u16string_view name) {
  auto it = keys_.find(KeyIdentity(path));
  if (it == keys_.end()) return false;
  auto& values = it->second.values;
  for (auto value = values.begin(); value != values.end(); ++value) {
    if (EqualNoCase(value->name, name)) {
      values.erase(value);
      return true;
    }
  }
  return false;
}

std::vector<const RegistryKey*> RegistryStore::KeysBelow(std::u16string_view path) const {
  const std::u16string identity = KeyIdentity(path);
  std::vector<const RegistryKey*> found;
  for (const auto& [key_identity, key] : keys_) {
    if (key_identity == identity ||
        (key_identity.size() > identity.size() && key_identity.compare(0, identity.size(), identity) == 0 &&
         key_identity[identity.size()] == u'\\')) {
      found.push_back(&key);
    }
  }
  return found;
}

void RegistryStore::Save() const {
  const fs::path temporary = file_.string() + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << "# winsim registry: [key] lines, then \"name\"=hex(type):bytes (@ is the default value)\n";
    for (const auto& [identity, key] : keys_) {
      out << "\n[" << ToUtf8(key.path) << "]\n";
      for (const auto& value : key.values) out << ValueLine(value) << "\n";
    }
  }
  fs::rename(temporary, file_);
}

}  // namespace sim
