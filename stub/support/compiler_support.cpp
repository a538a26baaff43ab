// What the compiler may call on its own in an image linked without any runtime library:
// memset and memcpy for large zeroing and copies, and the stack probe for frames larger
// than a page. Built into the release image only; the host build has its C library.
#include "platform/types.h"

extern "C" {

void* memset(void* destination, int value, SIZE_T count) {
  auto* bytes = static_cast<BYTE*>(destination);
  for (SIZE_T i = 0; i < count; ++i) bytes[i] = static_cast<BYTE>(value);
  return destination;
}

void* memcpy(void* destination, const void* source, SIZE_T count) {
  auto* to = static_cast<BYTE*>(destination);
  const auto* from = static_cast<const BYTE*>(source);
  for (SIZE_T i = 0; i < count; ++i) to[i] = from[i];
  return destination;
}

}  // extern "C"

// ARM64 Windows stack probe: x15 holds the frame size in 16-byte units. Windows grows the
// stack one guard page at a time, so every page of the new frame is touched in order,
// from the current stack pointer downwards. Only x16 and x17 may be clobbered.
asm(R"(
  .text
  .globl __chkstk
  .p2align 2
__chkstk:
  lsl x16, x15, #4
  mov x17, sp
1:
  sub x17, x17, #4096
  subs x16, x16, #4096
  ldr xzr, [x17]
  b.gt 1b
  ret
)");
