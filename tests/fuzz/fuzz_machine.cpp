#include "tests/fuzz/fuzz_machine.h"

#include <stdlib.h>

#include <cstdlib>
#include <stdexcept>

namespace fuzzing {

namespace {

std::filesystem::path* root = nullptr;

void RemoveMachine() {
  sim::EndProcess();
  std::error_code ignored;
  if (root != nullptr) std::filesystem::remove_all(*root, ignored);
}

}  // namespace

const std::filesystem::path& MachineRoot() {
  if (root == nullptr) {
    std::string pattern = (std::filesystem::temp_directory_path() / "winsim-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root = new std::filesystem::path(pattern);
    std::filesystem::create_directories(*root / "C");
    std::atexit(RemoveMachine);
  }
  return *root;
}

sim::Process& StartFuzzProcess(std::u16string image, std::u16string command_line) {
  sim::ProcessOptions options;
  options.root = MachineRoot();
  options.image = std::move(image);
  options.command_line = std::move(command_line);
  options.virtual_sleep = true;
  return sim::StartProcess(std::move(options));
}

std::u16string Utf16(const uint8_t* data, size_t size, size_t max_units) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size && text.size() < max_units; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

std::u16string InputReader::Units(size_t count) {
  const size_t available = position_ < size_ ? size_ - position_ : 0;
  std::u16string text = Utf16(data_ + position_, available, count);
  position_ += text.size() * 2;
  return text;
}

std::string InputReader::Rest() {
  if (position_ >= size_) return {};
  std::string rest(reinterpret_cast<const char*>(data_ + position_), size_ - position_);
  position_ = size_;
  return rest;
}

}  // namespace fuzzing
