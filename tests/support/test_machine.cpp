#include "tests/support/test_machine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "sim/core/text.h"

namespace testing_support {

TestMachine::TestMachine() : root_(folder_.path() / "machine") {
  std::filesystem::create_directories(root_ / "C");
}

// The process ends first; the folder (root and all) goes after, with the member.
TestMachine::~TestMachine() {
  sim::EndProcess();
  sim::SetProcessEndObserver(nullptr);
}

std::filesystem::path TestMachine::HostPath(const std::u16string& windows_path, bool create_parents) const {
  const sim::HostPath host = sim::Machine(root_).Resolve(windows_path);
  if (!host.ok()) throw std::runtime_error("not a path of this machine: " + sim::ToUtf8(windows_path));
  if (create_parents) std::filesystem::create_directories(host.path.parent_path());
  return host.path;
}

void TestMachine::WriteFile(const std::u16string& windows_path, const std::string& bytes) const {
  std::ofstream(HostPath(windows_path), std::ios::binary | std::ios::trunc) << bytes;
}

sim::Process& TestMachine::Start(sim::ProcessOptions options) {
  options.root = root_;
  // A fault rule that never fires would let a failure case pass without its failure.
  sim::SetProcessEndObserver(ExpectEveryFaultFired);
  return sim::StartProcess(std::move(options));
}

void ExpectNothingLeft(const sim::Process& process, const std::string& what) {
  const sim::Accounting accounting = process.Snapshot();
  for (const auto& handle : accounting.open_handles) {
    ADD_FAILURE() << what << ": open " << handle.kind << " handle " << handle.description;
  }
  EXPECT_EQ(accounting.live_heap_blocks, 0u) << what;
  EXPECT_EQ(accounting.live_local_blocks, 0u) << what;
}

void ExpectEveryFaultFired(const sim::Process& process) {
  for (const auto& rule : process.UnfiredFaults()) {
    ADD_FAILURE() << "fault rule " << sim::FaultRuleText(rule) << " never fired";
  }
}

std::filesystem::path BuildDirectory() { return PELLORA_BUILD_DIR; }

}  // namespace testing_support
