// Linked into a test image with the stub's release objects: a frame far larger than a
// page, a large zeroing and a large copy make the compiler call __chkstk, memset and
// memcpy, which only the stub itself can supply in an image without a runtime library.
#include "platform/kernel32_core.h"

namespace {

struct Big {
  BYTE bytes[64 * 1024];
};

__attribute__((noinline)) UINT Checksum(const Big& big) {
  UINT sum = 0;
  for (SIZE_T i = 0; i < sizeof big.bytes; i += 4096) sum += big.bytes[i];
  return sum;
}

}  // namespace

extern "C" [[noreturn]] void ProbeEntry() {
  Big zeroed = {};
  Big copy = zeroed;
  copy.bytes[1] = static_cast<BYTE>(GetLastError());
  ExitProcess(Checksum(copy));
}
