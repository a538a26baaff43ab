#include "tests/support/host_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

extern char** environ;

namespace testing_support {

namespace {

// The argument and environment vectors of a spawned command: this process's environment
// with `environment` put over it. The vectors point into the strings kept here.
class SpawnVectors {
 public:
  SpawnVectors(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment)
      : arguments_(arguments) {
    for (char** variable = environ; *variable != nullptr; ++variable) {
      const char* equals = std::strchr(*variable, '=');
      if (equals == nullptr ||
          environment.count(std::string(*variable, static_cast<size_t>(equals - *variable))) == 0) {
        variables_.emplace_back(*variable);
      }
    }
    for (const auto& [name, value] : environment) variables_.push_back(name + "=" + value);
    for (auto& v : variables_) envp_.push_back(v.data());
    envp_.push_back(nullptr);
    for (auto& a : arguments_) argv_.push_back(a.data());
    argv_.push_back(nullptr);
  }
  SpawnVectors(const SpawnVectors&) = delete;
  SpawnVectors& operator=(const SpawnVectors&) = delete;

  char* const* argv() const { return argv_.data(); }
  char* const* envp() const { return envp_.data(); }

 private:
  std::vector<std::string> arguments_, variables_;
  std::vector<char*> argv_, envp_;
};

}  // namespace

HostCommandResult RunHostCommand(const std::vector<std::string>& arguments,
                                 const std::map<std::string, std::string>& environment) {
  const SpawnVectors vectors(arguments, environment);

  int pipe_fds[2];
  HostCommandResult result;
  if (::pipe(pipe_fds) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, vectors.argv()[0], &actions, nullptr, vectors.argv(), vectors.envp());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, n);
  ::close(pipe_fds[0]);
  if (spawned != 0) return result;
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

StartedHostCommand::StartedHostCommand(const std::vector<std::string>& arguments,
                                       const std::map<std::string, std::string>& environment,
                                       const std::string& output_path) {
  const SpawnVectors vectors(arguments, environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, vectors.argv()[0], &actions, nullptr, vectors.argv(), vectors.envp()) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
}

int StartedHostCommand::Wait() {
  if (pid_ <= 0) return exit_status_;
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  if (WIFEXITED(status)) exit_status_ = WEXITSTATUS(status);
  return exit_status_;
}

}  // namespace testing_support
