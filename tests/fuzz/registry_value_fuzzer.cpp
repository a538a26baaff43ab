// libFuzzer target for the stub's reading of registry strings that another program may
// have written: any type and any raw bytes (odd sizes, missing or early terminators) as
// the cleanup policy "TarselInstallerCleanup" and as the registered setup command
// "UninstallString". The values go into the simulated machine's registry, so the stub
// reads them through the platform calls it makes on Windows. Checked on every input:
// - a bounded read into a buffer of exactly its capacity (0 to 255 units) never writes
//   outside it (AddressSanitizer) and returns what the registry's documented contract
//   gives: the query's own ERROR_MORE_DATA (234) for data larger than the buffer, 50 for
//   a type other than REG_SZ, a terminated copy of the text, or 234 when no room is left
//   for a terminator;
// - cleanup is disabled exactly for a REG_SZ "0" with or without its terminator;
// - the registered setup command is read from the chosen root only, held to the previous
//   version, and loses its double quotes only when they enclose it as a whole;
// - every key opened is closed again, and no block is left.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/advapi32_registry.h"
#include "sim/advapi32/registry_store.h"
#include "stub/config/configuration.h"
#include "stub/setup/previous_setup.h"
#include "stub/support/registry_reading.h"
#include "tests/fuzz/fuzz_machine.h"

using fuzzing::Check;

namespace {

constexpr char16_t kPolicyKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellora";
constexpr char16_t kClientStateKey[] = u"Software\\Pellora\\Update\\ClientState";

struct Value {
  DWORD type;
  std::string bytes;

  size_t Units() const { return bytes.size() / 2; }
  char16_t Unit(size_t i) const {
    return static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  }
  // The text as a string reader sees it: up to the first zero unit.
  std::u16string Text() const {
    std::u16string text;
    for (size_t i = 0; i < Units() && Unit(i) != 0; ++i) text.push_back(Unit(i));
    return text;
  }
};

// What a bounded read of `value` into `capacity` units must return.
DWORD ExpectedReadStatus(const Value& value, size_t capacity) {
  if (value.bytes.size() > capacity * 2) return 234;  // the registry's own: larger than the buffer
  if (value.type != 1) return 50;                     // only REG_SZ
  if (capacity == 0) return 234;                      // no room even for a terminator
  const size_t units = value.Units();
  if (units == 0 || value.Unit(units - 1) == 0 || units < capacity) return 0;
  return 234;  // capacity units without a terminator
}

void Store(const Value& value, bool machine_wide) {
  sim::RegistryStore store(fuzzing::MachineRoot());
  const std::u16string client_state[] = {
      sim::ViewPath(sim::RegistryRoot::kCurrentUser, kClientStateKey, sim::RegistryView::k32),
      sim::ViewPath(sim::RegistryRoot::kLocalMachine, kClientStateKey, sim::RegistryView::k32)};
  for (const auto& key : client_state) store.DeleteKey(key);
  const std::vector<BYTE> bytes(value.bytes.begin(), value.bytes.end());
  store.SetValue(sim::ViewPath(sim::RegistryRoot::kCurrentUser, kPolicyKey, sim::RegistryView::k64),
                 {u"TarselInstallerCleanup", value.type, bytes});
  store.SetValue(client_state[machine_wide ? 1 : 0], {u"UninstallString", value.type, bytes});
  store.Save();
}

void CheckNothingLeft() {
  const sim::Accounting accounting = sim::CurrentProcess().Snapshot();
  Check(accounting.open_handles.empty());
  Check(accounting.live_heap_blocks == 0 && accounting.live_local_blocks == 0);
}

void CheckBoundedRead(const Value& value, bool machine_wide, size_t capacity) {
  ScopedKey key;
  Check(OpenClientStateKey(machine_wide ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, KEY_QUERY_VALUE, key) == 0);
  // Exactly `capacity` units, so that a unit written past them is caught.
  auto* buffer = static_cast<char16_t*>(std::malloc(capacity * 2));
  const DWORD status = ReadStringValue(key, u"UninstallString", buffer, capacity);
  key.Close();
  Check(status == ExpectedReadStatus(value, capacity));
  if (status == 0) {
    const std::u16string text = value.Text();
    Check(text.size() < capacity && std::u16string(buffer, text.size()) == text && buffer[text.size()] == 0);
  }
  std::free(buffer);
}

void CheckCleanupPolicy(const Value& value) {
  const size_t size = value.bytes.size();
  const bool disabled = value.type == 1 && size >= 2 && size <= 4 && value.Unit(0) == u'0' &&
                        (size < 4 || value.Unit(1) == 0);
  Configuration configuration;
  Check(configuration.LoadFromModule(sim::CurrentProcess().module()));
  Check(configuration.cleanup_enabled == !disabled);
  configuration.Reset();
}

bool ContainsNoCase(const std::u16string& text, const std::u16string& needle) {
  auto fold = [](std::u16string s) {
    for (auto& unit : s) unit = (unit >= u'a' && unit <= u'z') ? unit - 0x20 : unit;
    return s;
  };
  return fold(text).find(fold(needle)) != std::u16string::npos;
}

void CheckPreviousSetup(const Value& value, bool machine_wide, bool system_level, const char16_t* version) {
  PathString buffer;
  const ExitResult result = FindPreviousSetup(system_level, version, buffer.Data(), PathString::kCapacity);
  Check(buffer.units[PathString::kCapacity] == 0);  // the guard
  if (machine_wide != system_level) {  // only the other root holds the key
    Check(result.exit_code == 110 && result.extra_code == 2);
    return;
  }
  const DWORD read = ExpectedReadStatus(value, PathString::kCapacity);
  if (read != 0) {
    Check(result.exit_code == 110 && result.extra_code == read);
    return;
  }
  const std::u16string text = value.Text();
  if (version != nullptr && !ContainsNoCase(text, version)) {
    Check(result.exit_code == 111 && result.extra_code == 0);
    return;
  }
  Check(result.exit_code == 0 && result.extra_code == 0);
  const bool enclosed = text.size() >= 2 && text.front() == u'"' && text.back() == u'"';
  Check(std::u16string(buffer.Data()) == (enclosed ? text.substr(1, text.size() - 2) : text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = (fuzzing::StartFuzzProcess(u"", u"installer.exe"), true);
  (void)started;
  fuzzing::InputReader input(data, size);
  static const DWORD kTypes[8] = {1, 1, 1, 1, 2, 7, 4, 0};  // mostly REG_SZ
  const uint8_t selector = input.Byte();
  const size_t capacity = input.Byte();
  const uint8_t flags = input.Byte();
  const bool system_level = flags & 1, machine_wide = flags & 2;
  const std::u16string version = input.Units((flags >> 2) & 15);
  Value value{kTypes[selector & 7], input.Rest()};
  if (value.bytes.size() > 1200) return -1;  // well past the 520 bytes of a path buffer

  Store(value, machine_wide);
  CheckBoundedRead(value, machine_wide, capacity);
  CheckCleanupPolicy(value);
  CheckPreviousSetup(value, machine_wide, system_level, (flags & 0x40) ? nullptr : version.c_str());
  CheckNothingLeft();
  return 0;
}
