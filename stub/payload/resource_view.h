// A payload resource located in the mapped image, used where it lies.
#pragma once
#include "platform/types.h"

// The data stays valid for the life of the process and is never freed or copied. Sizes
// come from the system's 32-bit resource size; enumeration never delivers a size of 0,
// so a view with a size is a found resource. {null, 0} is empty.
struct ResourceView {
  const BYTE* data;
  ULONGLONG size;  // bytes

  bool IsFilled() const { return size != 0; }
};

constexpr ResourceView kEmptyView = {nullptr, 0};
