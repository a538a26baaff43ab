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
// stack one guard page at a time, so every page of the new frame is touched in order, from
// the current stack pointer downwards, never below the frame. Only x16, x17 and the flags
// may be changed.
asm(R"(
  .text
  .globl __chkstk
  .p2align 2
__chkstk:
  mov x16, sp
  sub x16, x16, x15, lsl #4
  mov x17, sp
1:
  sub x17, x17, #4096
  cmp x17, x16
  b.lo 2f
  ldr xzr, [x17]
  b 1b
2:
  ret
)");
