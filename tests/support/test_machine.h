// A simulated machine in a fresh temporary root, with a simulated process started
// in-process for the test's own calls. The root is the folder "machine" inside the test's
// own temporary folder, so files a test keeps beside the root (traces, scratch) go with it
// when the test ends.
#pragma once
#include <filesystem>
#include <string>

#include "sim/core/process.h"
#include "tests/support/temporary_folder.h"

namespace testing_support {

class TestMachine {
 public:
  TestMachine();
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // The test's own temporary folder, which holds the root.
  const std::filesystem::path& folder() const { return folder_.path(); }
  // The host path of a Windows path on this machine, parent folders created.
  std::filesystem::path HostPath(const std::u16string& windows_path, bool create_parents = true) const;
  // Writes a host file at a Windows path.
  void WriteFile(const std::u16string& windows_path, const std::string& bytes) const;
  // Starts the in-process simulated process with `options` (root filled in).
  sim::Process& Start(sim::ProcessOptions options = {});

 private:
  TemporaryFolder folder_{"winsim-test"};
  std::filesystem::path root_;
};

// Expects that no handle is open and no heap or local block is live in `process`: what
// a step or a run must leave behind. `what` names the case in a failure.
void ExpectNothingLeft(const sim::Process& process, const std::string& what = "");

// Fails the test for each fault rule of `process` that never failed a call. Every process
// that TestMachine::Start started is checked so as it ends or is replaced.
void ExpectEveryFaultFired(const sim::Process& process);

// The directory of the build's programs (winsim, installer_host, test programs).
std::filesystem::path BuildDirectory();

}  // namespace testing_support
