// A simulated program running as a host process: started with its ProcessOptions in the
// environment and a pipe on which its ExitProcess reports the full 32-bit exit code
// (a host exit status keeps only 8 bits).
#pragma once
#include <sys/types.h>

#include <optional>
#include <string>

#include "sim/core/process.h"

namespace sim {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `host_program` (an executable file) as the simulated program; false with
  // errno's text in `error` and the errno value in start_errno() when it could not be
  // started, exec included.
  bool Start(const std::string& host_program, ProcessOptions options, std::string& error);
  // Waits for the end. The exit code it reported, or nullopt when it ended without
  // ExitProcess (a crash, or a host program that is not simulated); `host_status` then
  // tells how it ended.
  std::optional<DWORD> Wait();
  // True once the program has ended (then Wait returns at once); never blocks.
  bool Poll();
  int host_status() const { return host_status_; }
  int start_errno() const { return start_errno_; }
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && !ended_; }

 private:
  pid_t pid_ = -1;
  int exit_pipe_ = -1;
  bool ended_ = false;
  int host_status_ = 0;
  int start_errno_ = 0;
  std::optional<DWORD> exit_code_;

  void ReadExitCode();
  static void RecordImage(const ProcessOptions& options, pid_t pid);
};

}  // namespace sim
