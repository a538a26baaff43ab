// How a simulated function fails, the Windows way: it sets the last error, ends its trace
// line with its failure value and the error, and returns that value.
#pragma once
#include <string_view>

#include "platform/types.h"
#include "sim/core/process.h"
#include "sim/core/trace.h"

namespace sim {

template <typename Value>
class CallFailure {
 public:
  CallFailure(TraceLine& trace, Value value, std::string_view shown) : trace_(trace), value_(value), shown_(shown) {}

  Value operator()(DWORD error) const {
    SetLastErrorValue(error);
    trace_.Result(shown_, error);
    return value_;
  }

 private:
  TraceLine& trace_;
  Value value_;
  std::string_view shown_;
};

}  // namespace sim
