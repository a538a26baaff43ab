// The process heap and local memory, with every block counted for the accounting.
#include <string>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/trace.h"

using namespace sim;

namespace {

// The process heap's handle: any stable non-null value that is no other handle.
HANDLE ProcessHeapHandle() { return reinterpret_cast<HANDLE>(0x50000); }

}  // namespace

extern "C" HANDLE GetProcessHeap() { return ProcessHeapHandle(); }

extern "C" LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  Process& process = CurrentProcess();
  TraceLine trace("HeapAlloc");
  trace.Arg(Pointer(heap)).Arg(Hex(flags)).Arg(Decimal(bytes));
  // A failed HeapAlloc leaves the last error as it was.
  if (heap != ProcessHeapHandle() || process.TakeFault("HeapAlloc")) {
    trace.Result("null");
    return nullptr;
  }
  void* block = process.Allocate(bytes, (flags & HEAP_ZERO_MEMORY) != 0, false);
  trace.Result(Pointer(block));
  return block;
}

extern "C" BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  TraceLine trace("HeapFree");
  trace.Arg(Pointer(heap)).Arg(Hex(flags)).Arg(Pointer(block));
  // A refused release keeps the block.
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (auto fault = CurrentProcess().TakeFault("HeapFree")) return fail(*fault);
  if (heap != ProcessHeapHandle() || !CurrentProcess().Release(block, false)) {
    SetLastErrorValue(ERROR_INVALID_PARAMETER);
    trace.Result("FALSE", ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  trace.Result("TRUE");
  return TRUE;
}

extern "C" HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  Process& process = CurrentProcess();
  TraceLine trace("LocalAlloc");
  trace.Arg(Hex(flags)).Arg(Decimal(bytes));
  if (auto fault = process.TakeFault("LocalAlloc")) {
    SetLastErrorValue(*fault);
    trace.Result("null", *fault);
    return nullptr;
  }
  // Only fixed memory is simulated: its handle is the block's address.
  void* block = process.Allocate(bytes, (flags & LMEM_ZEROINIT) != 0, true);
  if (block == nullptr) SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
  trace.Result(Pointer(block), block ? 0 : ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

extern "C" HLOCAL LocalFree(HLOCAL block) {
  TraceLine trace("LocalFree");
  trace.Arg(Pointer(block));
  // A refused release keeps the block and returns it, as LocalFree reports failure.
  const std::string shown = Pointer(block);  // outlives `fail`, which keeps a view of it
  const CallFailure<HLOCAL> fail(trace, block, shown);
  if (auto fault = CurrentProcess().TakeFault("LocalFree")) return fail(*fault);
  if (block == nullptr) {
    trace.Result("null");
    return nullptr;
  }
  if (!CurrentProcess().Release(block, true)) {
    SetLastErrorValue(ERROR_INVALID_HANDLE);
    trace.Result(Pointer(block), ERROR_INVALID_HANDLE);
    return block;
  }
  trace.Result("null");
  return nullptr;
}
