// What every fuzz target of the stub shares: one simulated machine in a temporary root
// for the whole fuzzing run (removed when the fuzzer exits), a simulated process started
// in it, fuzz bytes read as UTF-16, and a check that stops the fuzzer on a broken property.
#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "sim/core/process.h"

namespace fuzzing {

// Stops the run with a crash that libFuzzer reports and keeps the input for.
inline void Check(bool property) {
  if (!property) __builtin_trap();
}

// The machine root, made on first use with an empty C:\ drive.
const std::filesystem::path& MachineRoot();

// Starts a fresh simulated process on the machine (virtual sleep, no trace).
sim::Process& StartFuzzProcess(std::u16string image = u"", std::u16string command_line = u"");

// Bytes as little-endian UTF-16 units, an odd last byte dropped, at most `max_units`.
std::u16string Utf16(const uint8_t* data, size_t size, size_t max_units);

// Reads fields off the front of a fuzz input; past the end every read gives zeros.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  // Up to `count` units, fewer when the input runs out.
  std::u16string Units(size_t count);
  // What is left, as bytes.
  std::string Rest();
  bool Empty() const { return position_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace fuzzing
