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

// A host program started without waiting for it, standard output and error going to a
// file; the destructor waits for it.
class StartedHostCommand {
 public:
  StartedHostCommand(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                     const std::string& output_path);
  ~StartedHostCommand() { Wait(); }
  StartedHostCommand(const StartedHostCommand&) = delete;
  StartedHostCommand& operator=(const StartedHostCommand&) = delete;
  // Its host exit status, or -1 when it did not exit normally (or never started).
  int Wait();

 private:
  int pid_ = -1;
  int exit_status_ = -1;
};

}  // namespace testing_support
