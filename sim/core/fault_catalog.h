// Which simulated functions a fault rule may name: every function that writes a trace
// line is listed here, either with the value it returns when it fails and the Windows
// errors that fit its failure, or with the reason why Windows gives it no failure at all.
// A fault rule that names anything else is refused, so that a misspelt rule cannot pass
// unnoticed.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace sim {

struct FailableFunction {
  std::string_view name;
  // The failure value as the function's trace line shows it ("FALSE", "null", ...).
  std::string_view failure;
  // Errors that a real failure of this call can report, the most telling first: the
  // fault sweep fails each call with each of them. For the cabinet library's functions
  // they are FDIERROR codes, which the library reports in the caller's ERF record.
  std::vector<DWORD> errors;
};

struct UnfailableFunction {
  std::string_view name;
  std::string_view reason;  // why Windows documents no failure for it
};

const std::vector<FailableFunction>& FailableFunctions();
const std::vector<UnfailableFunction>& UnfailableFunctions();
const FailableFunction* FindFailable(std::string_view name);

// Empty when a fault rule may name `function`; otherwise why it may not, naming it.
std::string FaultRuleProblem(std::string_view function);

}  // namespace sim
