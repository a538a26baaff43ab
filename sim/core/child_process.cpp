#include "sim/core/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace sim {

ChildProcess::~ChildProcess() {
  if (running()) Wait();
  if (exit_pipe_ >= 0) ::close(exit_pipe_);
}

bool ChildProcess::Start(const std::string& host_program, ProcessOptions options, std::string& error) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return false;
  }
  // The write end is the only descriptor the child keeps open across exec.
  options.exit_fd = pipe_fds[1];
  std::vector<std::string> environment_strings;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (std::strncmp(*variable, "WINSIM_", 7) != 0) environment_strings.emplace_back(*variable);
  }
  for (const auto& [name, value] : options.ToEnvironment()) environment_strings.push_back(name + "=" + value);
  std::vector<char*> environment;
  for (auto& entry : environment_strings) environment.push_back(entry.data());
  environment.push_back(nullptr);
  std::string program = host_program;
  char* argv[] = {program.data(), nullptr};

  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::strerror(errno);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return false;
  }
  if (pid == 0) {
    ::fcntl(pipe_fds[1], F_SETFD, 0);
    ::execve(program.c_str(), argv, environment.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  pid_ = pid;
  exit_pipe_ = pipe_fds[0];
  return true;
}

std::optional<DWORD> ChildProcess::Wait() {
  if (ended_ || pid_ <= 0) return exit_code_;
  while (::waitpid(pid_, &host_status_, 0) < 0 && errno == EINTR) {
  }
  ended_ = true;
  unsigned char bytes[4];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::read(exit_pipe_, bytes + got, sizeof bytes - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got == sizeof bytes) {
    exit_code_ = static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
                 static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
  }
  return exit_code_;
}

}  // namespace sim
