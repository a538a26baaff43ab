// Runs a host program with exact arguments (no shell) and collects what it printed.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct HostCommandResult {
  int exit_status = -1;  // -1 when it did not exit normally
  std::string output;    // standard output and standard error together
};

HostCommandResult RunHostCommand(const std::vector<std::string>& arguments,
                                 const std::map<std::string, std::string>& environment = {});

std::string ReadHostFile(const std::string& path);

}  // namespace testing_support
