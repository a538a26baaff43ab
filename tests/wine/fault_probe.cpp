// A test image built with the release flags whose code takes an access violation inside a
// function that is not a leaf, as a fault inside the stub would: its parent must read
// exit code 0xC0000005 (EXCEPTION_ACCESS_VIOLATION), never success.
#include "platform/kernel32_core.h"

namespace {

// Not a leaf (it calls out), so it has a frame that the exception dispatcher unwinds.
[[gnu::noinline]] DWORD ReadThrough(volatile DWORD* pointer) {
  SetLastError(0);
  return *pointer + GetLastError();
}

}  // namespace

extern "C" [[noreturn]] void FaultProbeEntry() {
  // An address that no process maps: the first page is never valid.
  volatile DWORD* const nowhere = reinterpret_cast<volatile DWORD*>(static_cast<ULONG_PTR>(16));
  ExitProcess(ReadThrough(nowhere));
}
