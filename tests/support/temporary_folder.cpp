#include "tests/support/temporary_folder.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <iostream>
#include <stdexcept>

namespace testing_support {

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  if (::testing::Test::HasFailure()) {
    std::cerr << "kept for reading: " << path_.string() << "\n";
    return;
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace testing_support
