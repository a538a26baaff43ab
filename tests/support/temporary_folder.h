// A fresh folder in the system's temporary folder for one test's files, removed with
// everything in it when the test is done. When the test has failed, the folder stays and
// its path is printed, so that what the test kept (traces, machines) can be read.
#pragma once
#include <filesystem>
#include <string>

namespace testing_support {

class TemporaryFolder {
 public:
  explicit TemporaryFolder(const std::string& prefix = "pellora-test");
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace testing_support
