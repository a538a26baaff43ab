// libFuzzer target for the stub's reading of its raw command line: any text as the line
// that GetCommandLineW returns. Checked on every input:
// - the switches recognised are exactly those among arguments 1.. that the platform's
//   own splitting (CommandLineToArgvW) and case-insensitive comparison find, and the
//   argument vector is given back when the record is reset (no local block is left);
// - the user tail passed on to a child is an exact suffix of the raw line, after at most
//   one added space; what it leaves out (the program name) splits as one argument;
// - put behind a child command line of any fullness, the tail is added whole or not at
//   all (only the added space may stay), and the buffer's guard unit is never written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/kernel32_core.h"
#include "platform/shell32.h"
#include "sim/core/text.h"
#include "stub/config/configuration.h"
#include "stub/setup/process_runner.h"
#include "tests/fuzz/fuzz_machine.h"

using fuzzing::Check;

namespace {

// Short enough that the whole tail fits an empty child command line.
constexpr size_t kMaxLineUnits = 1000;
// Units a child command line can hold before its terminator.
constexpr size_t kCommandUnits = 1039;

struct Split {
  int count = 0;
  bool switches[5] = {};        // --system-level, --cleanup, --tarsel-frame, --pellora-silent, --pellora-unpack
};

Split SplitWithThePlatform(const std::u16string& line) {
  static const char16_t* const kSwitches[] = {u"--system-level", u"--cleanup", u"--tarsel-frame",
                                              u"--pellora-silent", u"--pellora-unpack"};
  Split split;
  LPWSTR* argv = CommandLineToArgvW(line.c_str(), &split.count);
  Check(argv != nullptr);
  for (int i = 1; i < split.count; ++i) {
    for (int s = 0; s < 5; ++s) split.switches[s] |= sim::EqualNoCase(argv[i], kSwitches[s]);
  }
  LocalFree(argv);
  return split;
}

bool IsBlank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

bool EndsWith(const std::u16string& text, const std::u16string& suffix) {
  return suffix.size() <= text.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What AppendUserArguments adds behind `prefix`.
std::u16string Appended(const std::u16string& raw, const std::u16string& prefix) {
  CommandString line;
  Check(line.Assign(prefix.c_str()));
  AppendUserArguments(raw.c_str(), line);
  Check(line.units[CommandString::kCapacity] == 0);  // the guard
  const std::u16string result(line.Data());
  Check(result.size() <= kCommandUnits);
  Check(result.compare(0, prefix.size(), prefix) == 0);
  return result.substr(prefix.size());
}

void CheckSwitches(const std::u16string& raw, const Split& split) {
  silent_mode = false;
  unpack_only = false;
  Configuration configuration;
  const bool parsed = configuration.ParseArguments(raw.c_str());
  Check(parsed && configuration.argv != nullptr && configuration.command_line != nullptr);
  Check(configuration.argc == split.count);
  Check(configuration.system_level == split.switches[0]);
  Check(configuration.rejected_switch_seen == (split.switches[1] || split.switches[2]));
  Check(silent_mode == split.switches[3]);
  Check(unpack_only == split.switches[4]);
  configuration.Reset();
  Check(configuration.argv == nullptr);
  Check(sim::CurrentProcess().Snapshot().live_local_blocks == 0);
}

void CheckUserTail(const std::u16string& raw, const Split& split, size_t prefix_units) {
  const std::u16string whole = Appended(raw, u"");
  std::u16string tail = whole;
  bool space_added = false;
  Check(whole.empty() || IsBlank(whole[0]));  // anything added starts blank
  if (whole.size() >= 2 && whole[0] == u' ' && !IsBlank(whole[1]) && !EndsWith(raw, whole)) {
    tail = whole.substr(1);
    space_added = true;
  }
  Check(EndsWith(raw, tail));
  if (whole.size() == 1) Check(EndsWith(raw, whole));  // a lone blank is the raw tail itself
  const std::u16string head = raw.substr(0, raw.size() - tail.size());
  if (!head.empty()) Check(SplitWithThePlatform(head).count == 1);
  if (split.count > 1) Check(!whole.empty());

  // Behind a fuller child command line: all or nothing, the added space aside.
  const std::u16string prefix(prefix_units, u'x');
  const std::u16string appended = Appended(raw, prefix);
  if (prefix.size() + whole.size() <= kCommandUnits) {
    Check(appended == whole);
  } else if (space_added && prefix.size() + 1 <= kCommandUnits) {
    Check(appended == u" ");
  } else {
    Check(appended.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = (fuzzing::StartFuzzProcess(u"C:\\installer.exe", u"installer.exe"), true);
  (void)started;
  if (size == 0) return 0;
  // The first byte sets how full the child command line already is (0 to 1,020 units).
  const size_t prefix_units = size_t{data[0]} * 4;
  std::u16string raw = fuzzing::Utf16(data + 1, size - 1, kMaxLineUnits);
  raw = raw.substr(0, raw.find(u'\0'));  // the line ends at its first NUL
  const Split split = SplitWithThePlatform(raw);
  CheckSwitches(raw, split);
  CheckUserTail(raw, split, prefix_units);
  return 0;
}
