// String comparison. Windows compares linguistically in the user's locale; the
// simulation compares code units, after simple upper-casing for lstrcmpiW. Equality,
// all that callers here rely on, agrees with Windows for the texts they compare.
#include "platform/kernel32_strings.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

namespace {

int Compare(LPCWSTR a, LPCWSTR b, bool ignore_case) {
  const std::u16string_view left = sim::View(a), right = sim::View(b);
  for (size_t i = 0; i < left.size() && i < right.size(); ++i) {
    const char16_t x = ignore_case ? sim::UpcaseUnit(left[i]) : left[i];
    const char16_t y = ignore_case ? sim::UpcaseUnit(right[i]) : right[i];
    if (x != y) return x < y ? -1 : 1;
  }
  if (left.size() == right.size()) return 0;
  return left.size() < right.size() ? -1 : 1;
}

int TracedCompare(sim::TraceLine trace, LPCWSTR a, LPCWSTR b, bool ignore_case) {
  const int result = Compare(a, b, ignore_case);
  trace.Arg(sim::Quoted(a)).Arg(sim::Quoted(b)).Result(std::to_string(result));
  return result;
}

}  // namespace

extern "C" int lstrcmpW(LPCWSTR a, LPCWSTR b) { return TracedCompare(sim::TraceLine("lstrcmpW"), a, b, false); }
extern "C" int lstrcmpiW(LPCWSTR a, LPCWSTR b) { return TracedCompare(sim::TraceLine("lstrcmpiW"), a, b, true); }
