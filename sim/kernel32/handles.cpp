#include "platform/errors.h"
#include "platform/kernel32_handles.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/trace.h"

using namespace sim;

namespace {

bool IsCurrentProcess(HANDLE handle) { return handle == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

}  // namespace

extern "C" BOOL CloseHandle(HANDLE object) {
  TraceLine trace("CloseHandle");
  trace.Arg(Pointer(object));
  // A refused close leaves the handle open, as for a handle protected from closing.
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (auto fault = CurrentProcess().TakeFault("CloseHandle")) return fail(*fault);
  // Closing the current-process pseudo-handle does nothing and succeeds.
  if (IsCurrentProcess(object)) {
    trace.Result("TRUE");
    return TRUE;
  }
  if (!CurrentProcess().handles().Close(object)) {
    SetLastErrorValue(ERROR_INVALID_HANDLE);
    trace.Result("FALSE", ERROR_INVALID_HANDLE);
    return FALSE;
  }
  trace.Result("TRUE");
  return TRUE;
}

extern "C" BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                                HANDLE* target, DWORD desired_access, BOOL inherit, DWORD options) {
  Process& process = CurrentProcess();
  TraceLine trace("DuplicateHandle");
  trace.Arg(Pointer(source)).Arg(Hex(desired_access)).Arg(Decimal(inherit)).Arg(Hex(options));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (auto fault = process.TakeFault("DuplicateHandle")) return fail(*fault);
  // Only duplication within this process is simulated.
  HandleEntry* entry = process.handles().Find(source);
  if (!IsCurrentProcess(source_process) || !IsCurrentProcess(target_process) || entry == nullptr ||
      target == nullptr) {
    SetLastErrorValue(ERROR_INVALID_HANDLE);
    trace.Result("FALSE", ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const DWORD access = (options & DUPLICATE_SAME_ACCESS) != 0 ? entry->access : desired_access;
  *target = process.handles().Insert(entry->object, access);
  if ((options & DUPLICATE_CLOSE_SOURCE) != 0) process.handles().Close(source);
  trace.Result("TRUE " + Pointer(*target));
  return TRUE;
}
