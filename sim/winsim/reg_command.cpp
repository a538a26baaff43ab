// winsim reg: set, show and delete registry keys and values of a simulated machine, in
// either registry view, with data given as text, numbers or raw bytes of any length.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/advapi32_registry.h"
#include "sim/advapi32/registry_store.h"
#include "sim/core/machine.h"
#include "sim/core/text.h"
#include "sim/winsim/commands.h"

namespace {

constexpr int kNotFound = 1;
constexpr int kBadUsage = 2;

struct TypeName {
  const char* name;
  DWORD type;
};
constexpr TypeName kTypeNames[] = {
    {"none", REG_NONE},   {"sz", REG_SZ},         {"expand_sz", REG_EXPAND_SZ}, {"binary", REG_BINARY},
    {"dword", REG_DWORD}, {"multi_sz", REG_MULTI_SZ}, {"qword", REG_QWORD},
};

int Usage(const std::string& message) {
  std::fprintf(stderr, "winsim reg: %s (see winsim help)\n", message.c_str());
  return kBadUsage;
}

std::optional<DWORD> ParseType(const std::string& text) {
  std::string lower;
  for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.rfind("reg_", 0) == 0) lower = lower.substr(4);
  for (const auto& entry : kTypeNames) {
    if (lower == entry.name) return entry.type;
  }
  char* end = nullptr;
  const unsigned long number = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != 0 || number > 0xFFFFFFFFul) return std::nullopt;
  return static_cast<DWORD>(number);
}

std::string TypeText(DWORD type) {
  for (const auto& entry : kTypeNames) {
    if (entry.type == type) {
      std::string upper = "REG_";
      for (const char* c = entry.name; *c; ++c) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
      return upper;
    }
  }
  return "type " + std::to_string(type);
}

// Hex digits in pairs; spaces, commas and colons between bytes are allowed.
std::optional<std::vector<BYTE>> ParseHex(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ',' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits += c;
  }
  if (digits.size() % 2 != 0) return std::nullopt;
  std::vector<BYTE> bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<BYTE>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::optional<unsigned long long> ParseNumber(const std::string& text) {
  char* end = nullptr;
  const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || *end != 0 || text[0] == '-') return std::nullopt;
  return number;
}

std::vector<BYTE> LittleEndian(unsigned long long number, size_t bytes) {
  std::vector<BYTE> data;
  for (size_t i = 0; i < bytes; ++i) data.push_back(static_cast<BYTE>(number >> (8 * i)));
  return data;
}

std::vector<BYTE> Utf16Bytes(const std::string& text, bool terminated) {
  std::u16string units = sim::ToUtf16(text);
  if (terminated) units += u'\0';
  std::vector<BYTE> data;
  for (char16_t unit : units) {
    data.push_back(static_cast<BYTE>(unit));
    data.push_back(static_cast<BYTE>(unit >> 8));
  }
  return data;
}

// The data as text, for the string types: zero units shown as \0, an odd byte noted.
std::string StringText(const std::vector<BYTE>& data) {
  std::u16string units;
  for (size_t i = 0; i + 1 < data.size(); i += 2) units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  std::string text = "\"";
  size_t start = 0;
  for (size_t i = 0; i <= units.size(); ++i) {
    if (i == units.size() || units[i] == 0) {
      text += sim::ToUtf8(std::u16string_view(units).substr(start, i - start));
      if (i < units.size()) text += "\\0";
      start = i + 1;
    }
  }
  text += "\"";
  if (data.size() % 2 != 0) text += " + odd byte";
  return text;
}

void ShowValue(const sim::RegistryValue& value) {
  std::string line = "  " + (value.name.empty() ? std::string("@") : "\"" + sim::ToUtf8(value.name) + "\"") + " " +
                     TypeText(value.type) + " (" + std::to_string(value.data.size()) + " bytes)";
  char byte[4];
  if (!value.data.empty()) line += " hex:";
  for (BYTE b : value.data) {
    std::snprintf(byte, sizeof byte, " %02x", b);
    line += byte;
  }
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
    line += " text: " + StringText(value.data);
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    line += " value: " + std::to_string(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                        static_cast<unsigned long>(value.data[3]) << 24);
  }
  std::printf("%s\n", line.c_str());
}

struct Request {
  std::filesystem::path root = sim::DefaultMachineRoot();
  sim::RegistryView view = sim::RegistryView::k64;
  std::vector<std::string> positional;
  std::optional<std::vector<BYTE>> data;
  std::optional<DWORD> data_type;  // implied by the data option
  std::optional<DWORD> type;       // --type
};

// Parses the options shared by the three actions and the data options of "set".
std::optional<std::string> ParseRequest(const std::vector<std::string>& arguments, Request& request) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option.rfind("--", 0) != 0) {
      request.positional.push_back(option);
      continue;
    }
    if (i + 1 >= arguments.size()) return "option " + option + " needs a value";
    const std::string& text = arguments[++i];
    auto set_data = [&](std::vector<BYTE> bytes, DWORD type) -> std::optional<std::string> {
      if (request.data) return "only one data option may be given";
      request.data = std::move(bytes);
      request.data_type = type;
      return std::nullopt;
    };
    std::optional<std::string> error;
    if (option == "--root") {
      request.root = text;
    } else if (option == "--view") {
      if (text != "32" && text != "64") return "--view takes 32 or 64";
      request.view = text == "32" ? sim::RegistryView::k32 : sim::RegistryView::k64;
    } else if (option == "--type") {
      if (!(request.type = ParseType(text))) return "unknown type " + text;
    } else if (option == "--string") {
      error = set_data(Utf16Bytes(text, true), REG_SZ);
    } else if (option == "--string-unterminated") {
      error = set_data(Utf16Bytes(text, false), REG_SZ);
    } else if (option == "--dword" || option == "--qword") {
      const auto number = ParseNumber(text);
      const bool dword = option == "--dword";
      if (!number || (dword && *number > 0xFFFFFFFFull)) return "bad number " + text;
      error = set_data(LittleEndian(*number, dword ? 4 : 8), dword ? REG_DWORD : REG_QWORD);
    } else if (option == "--hex") {
      auto bytes = ParseHex(text);
      if (!bytes) return "bad hex bytes " + text;
      error = set_data(std::move(*bytes), REG_BINARY);
    } else {
      return "unknown option " + option;
    }
    if (error) return error;
  }
  return std::nullopt;
}

// The stored path that KEY names in the request's view, or nullopt for an unknown root.
std::optional<std::u16string> KeyPath(const Request& request, const std::string& key) {
  const std::u16string text = sim::ToUtf16(key);
  const size_t separator = text.find(u'\\');
  const auto root = sim::ParseRootName(text.substr(0, separator));
  if (!root) return std::nullopt;
  return sim::ViewPath(*root, separator == std::u16string::npos ? u"" : text.substr(separator + 1), request.view);
}

int Set(const Request& request, const std::u16string& path) {
  if (request.positional.size() > 2) return Usage("set takes KEY [NAME]");
  sim::RegistryStore store(request.root);
  if (request.positional.size() == 1) {
    if (request.data || request.type) return Usage("data needs a value NAME");
    store.CreateKey(path);
  } else {
    if (!request.data) return Usage("set KEY NAME needs --string, --string-unterminated, --dword, --qword or --hex");
    sim::RegistryValue value;
    value.name = sim::ToUtf16(request.positional[1]);
    value.type = request.type ? *request.type : *request.data_type;
    value.data = *request.data;
    store.SetValue(path, std::move(value));
  }
  store.Save();
  return 0;
}

int Show(const Request& request, const std::u16string& path) {
  const sim::RegistryStore store(request.root);
  if (request.positional.size() == 2) {
    const sim::RegistryValue* value = store.FindValue(path, sim::ToUtf16(request.positional[1]));
    if (value == nullptr) {
      std::fprintf(stderr, "winsim reg: no value \"%s\" under %s\n", request.positional[1].c_str(),
                   sim::ToUtf8(path).c_str());
      return kNotFound;
    }
    ShowValue(*value);
    return 0;
  }
  const auto keys = store.KeysBelow(path);
  if (keys.empty()) {
    std::fprintf(stderr, "winsim reg: no key %s\n", sim::ToUtf8(path).c_str());
    return kNotFound;
  }
  for (const sim::RegistryKey* key : keys) {
    std::printf("[%s]\n", sim::ToUtf8(key->path).c_str());
    for (const auto& value : key->values) ShowValue(value);
  }
  return 0;
}

int Delete(const Request& request, const std::u16string& path) {
  if (request.positional.size() > 2) return Usage("delete takes KEY [NAME]");
  sim::RegistryStore store(request.root);
  const bool deleted = request.positional.size() == 2 ? store.DeleteValue(path, sim::ToUtf16(request.positional[1]))
                                                      : store.DeleteKey(path);
  if (!deleted) {
    std::fprintf(stderr, "winsim reg: nothing to delete at %s%s%s\n", sim::ToUtf8(path).c_str(),
                 request.positional.size() == 2 ? " value " : "",
                 request.positional.size() == 2 ? request.positional[1].c_str() : "");
    return kNotFound;
  }
  store.Save();
  return 0;
}

}  // namespace

int RegCommand(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return Usage("want set, show or delete");
  const std::string action = arguments[0];
  Request request;
  if (auto error = ParseRequest({arguments.begin() + 1, arguments.end()}, request)) return Usage(*error);
  if (action == "show" && request.positional.empty()) {
    request.positional = {"HKEY_CURRENT_USER"};
    const int user = Show(request, *KeyPath(request, "HKEY_CURRENT_USER"));
    request.positional = {"HKEY_LOCAL_MACHINE"};
    const int machine = Show(request, *KeyPath(request, "HKEY_LOCAL_MACHINE"));
    return user != 0 ? user : machine;
  }
  if (request.positional.empty()) return Usage(action + " needs a KEY");
  const auto path = KeyPath(request, request.positional[0]);
  if (!path) return Usage("a KEY starts with HKEY_CURRENT_USER, HKCU, HKEY_LOCAL_MACHINE or HKLM");
  if ((request.data || request.type) && action != "set") return Usage("data options belong to set");
  request.root = std::filesystem::absolute(request.root);
  if (action == "set") {
    std::filesystem::create_directories(request.root);
    return Set(request, *path);
  }
  if (action == "show") return Show(request, *path);
  if (action == "delete") return Delete(request, *path);
  return Usage("unknown action " + action);
}
