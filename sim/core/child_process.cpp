#include "sim/core/child_process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "sim/core/share_table.h"

namespace sim {

namespace {

// Reads up to `size` bytes, stopping early only at the end of the pipe.
size_t ReadFully(int fd, void* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, static_cast<char*>(buffer) + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (running()) Wait();
  if (exit_pipe_ >= 0) ::close(exit_pipe_);
}

bool ChildProcess::Start(const std::string& host_program, ProcessOptions options, std::string& error) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    start_errno_ = errno;
    error = std::strerror(errno);
    return false;
  }
  // Closed by a successful exec; a failed one writes its errno here first.
  int exec_fds[2];
  if (::pipe2(exec_fds, O_CLOEXEC) != 0) {
    start_errno_ = errno;
    error = std::strerror(errno);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
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
    start_errno_ = errno;
    error = std::strerror(errno);
    for (int fd : {pipe_fds[0], pipe_fds[1], exec_fds[0], exec_fds[1]}) ::close(fd);
    return false;
  }
  if (pid == 0) {
    ::fcntl(pipe_fds[1], F_SETFD, 0);
    ::execve(program.c_str(), argv, environment.data());
    const int exec_errno = errno;
    [[maybe_unused]] ssize_t written = ::write(exec_fds[1], &exec_errno, sizeof exec_errno);
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  ::close(exec_fds[1]);
  int exec_errno = 0;
  const bool exec_failed = ReadFully(exec_fds[0], &exec_errno, sizeof exec_errno) == sizeof exec_errno;
  ::close(exec_fds[0]);
  if (exec_failed) {
    while (::waitpid(pid, &host_status_, 0) < 0 && errno == EINTR) {
    }
    ::close(pipe_fds[0]);
    start_errno_ = exec_errno;
    error = std::strerror(exec_errno);
    return false;
  }
  pid_ = pid;
  exit_pipe_ = pipe_fds[0];
  RecordImage(options, pid);
  return true;
}

void ChildProcess::RecordImage(const ProcessOptions& options, pid_t pid) {
  // Windows maps a program's image before CreateProcess returns: from then on the file
  // is a running image, not from whenever the child gets round to it.
  if (options.image.empty()) return;
  const HostPath host = Machine(options.root).Resolve(options.image);
  struct stat status {};
  if (!host.ok() || ::stat(host.path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
  ShareTable table(options.root);
  table.AddImageOf(pid, {status.st_dev, status.st_ino});
}

std::optional<DWORD> ChildProcess::Wait() {
  if (ended_ || pid_ <= 0) return exit_code_;
  while (::waitpid(pid_, &host_status_, 0) < 0 && errno == EINTR) {
  }
  ReadExitCode();
  return exit_code_;
}

bool ChildProcess::Poll() {
  if (ended_ || pid_ <= 0) return true;
  pid_t reaped;
  while ((reaped = ::waitpid(pid_, &host_status_, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (reaped != pid_) return false;
  ReadExitCode();
  return true;
}

void ChildProcess::ReadExitCode() {
  ended_ = true;
  unsigned char bytes[4];
  if (ReadFully(exit_pipe_, bytes, sizeof bytes) == sizeof bytes) {
    exit_code_ = static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
                 static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
  }
}

}  // namespace sim
