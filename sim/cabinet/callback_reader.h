// Reading the cabinet through the caller's PFNREAD and PFNSEEK: exact reads at absolute
// offsets, and terminated strings of bounded length.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/fdi.h"

namespace sim::cabinet {

class CallbackReader {
 public:
  CallbackReader(INT_PTR file, PFNREAD read, PFNSEEK seek) : file_(file), read_(read), seek_(seek) {}

  // The cabinet's size, found by seeking to its end; false when the seek fails.
  bool MeasureSize(uint32_t* size);
  // Exactly `count` bytes from `offset`; false when the seek fails or the file ends first.
  bool ReadAt(uint32_t offset, void* buffer, size_t count);
  // Exactly `count` bytes from where the last read ended.
  bool ReadNext(void* buffer, size_t count);
  // A terminated string of at most `max_bytes` bytes before its NUL, from `offset`; on
  // success `*end` is the offset just past the NUL.
  bool ReadStringAt(uint32_t offset, char* buffer, size_t max_bytes, uint32_t* end);

  uint32_t position() const { return position_; }

 private:
  bool SeekTo(uint32_t offset);

  INT_PTR file_;
  PFNREAD read_;
  PFNSEEK seek_;
  uint32_t position_ = 0;
  bool positioned_ = false;  // false until the first seek: the position is unknown
};

}  // namespace sim::cabinet
