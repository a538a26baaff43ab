#include "sim/cabinet/callback_reader.h"

namespace sim::cabinet {

bool CallbackReader::MeasureSize(uint32_t* size) {
  const LONG end = seek_(file_, 0, SEEK_END_FDI);
  positioned_ = false;
  if (end < 0) return false;
  *size = static_cast<uint32_t>(end);
  return true;
}

bool CallbackReader::SeekTo(uint32_t offset) {
  if (positioned_ && position_ == offset) return true;
  if (offset > 0x7FFFFFFFu) return false;
  const LONG reached = seek_(file_, static_cast<LONG>(offset), SEEK_SET_FDI);
  if (reached < 0 || static_cast<uint32_t>(reached) != offset) {
    positioned_ = false;
    return false;
  }
  position_ = offset;
  positioned_ = true;
  return true;
}

bool CallbackReader::ReadNext(void* buffer, size_t count) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    const UINT want = count > 0x10000000u ? 0x10000000u : static_cast<UINT>(count);
    const UINT got = read_(file_, out, want);
    // (UINT)-1 is a failed read; 0 is the end of the file; more than asked is a broken callback.
    if (got == static_cast<UINT>(-1) || got == 0 || got > want) {
      positioned_ = false;
      return false;
    }
    out += got;
    count -= got;
    position_ += got;
  }
  return true;
}

bool CallbackReader::ReadAt(uint32_t offset, void* buffer, size_t count) {
  return SeekTo(offset) && ReadNext(buffer, count);
}

bool CallbackReader::ReadStringAt(uint32_t offset, char* buffer, size_t max_bytes, uint32_t* end) {
  if (!SeekTo(offset)) return false;
  // One read for the longest string allowed; a short read near the end of the file is
  // fine as long as the terminator came with it.
  size_t filled = 0;
  while (filled <= max_bytes) {
    const UINT want = static_cast<UINT>(max_bytes + 1 - filled);
    const UINT got = read_(file_, buffer + filled, want);
    if (got == static_cast<UINT>(-1) || got == 0 || got > want) {
      positioned_ = false;
      return false;
    }
    position_ += got;
    for (size_t i = filled; i < filled + got; ++i) {
      if (buffer[i] == 0) {
        *end = offset + static_cast<uint32_t>(i) + 1;
        return true;
      }
    }
    filled += got;
  }
  return false;
}

}  // namespace sim::cabinet
