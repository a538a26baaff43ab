// A simulated program for whole runs with busy or hostile neighbours: run by the stub as
// its setup program, or started by that setup as a child that outlives it. What it does
// is chosen by words of its command line (the stub passes its own user arguments on):
//
// As setup (its line holds --pellora-mini):
//   --spawn=EXE WORDS...      start EXE with the remaining words, wait until it reports
//                             that it holds what it was told to, then end;
//   --until-parent-ends       keep running until the host process that started this
//                             one has ended;
//   --swap-to=DIR             rename the work directory to "<work directory>.moved" and
//                             put a symbolic link to DIR in its place;
//   always: append the module's path to the host file $NEIGHBOUR_RECORD, if set.
// As a child:
//   --hold=PATH               open PATH for reading, shared for reading only (or as
//                             --share=N says);
//   --hold-dir=PATH           open the directory PATH, sharing everything;
//   --hold-ms=N               then keep it N milliseconds of real time, or
//   --until-released          keep it until $NEIGHBOUR_DIR/release exists, or
//   --until-refused           keep it until the trace shows that the holder's parent run
//                             was refused the name (its deletion is pending on it);
//   then run $NEIGHBOUR_THEN (host words, one per line) with its output in
//   $NEIGHBOUR_DIR/then.txt, and wait for it.
// Reports go to $NEIGHBOUR_DIR: "held" (the host pid) once holding, "swap" with the
// rename's result.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "platform/kernel32_processes.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/kernel32/moving.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPatience = 30s;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

fs::path ReportPath(const char* name) { return fs::path(Environment("NEIGHBOUR_DIR")) / name; }

void Report(const char* name, const std::string& text) {
  if (Environment("NEIGHBOUR_DIR").empty()) return;
  const fs::path path = ReportPath(name);
  std::ofstream(path.string() + ".part") << text;
  fs::rename(path.string() + ".part", path);  // seen whole or not at all
}

// The words of the raw command line, program name first; quotes only group.
std::vector<std::u16string> Words(std::u16string_view line) {
  std::vector<std::u16string> words;
  std::u16string word;
  bool quoted = false, any = false;
  for (char16_t unit : line) {
    if (unit == u'"') {
      quoted = !quoted;
      any = true;
    } else if ((unit == u' ' || unit == u'\t') && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += unit;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

// The value of "--name=value", or nullopt.
std::optional<std::u16string> Value(const std::vector<std::u16string>& words, std::u16string_view name) {
  for (const auto& word : words) {
    if (word.size() > name.size() && word.compare(0, name.size(), name) == 0 && word[name.size()] == u'=') {
      return word.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

bool Has(const std::vector<std::u16string>& words, std::u16string_view word) {
  for (const auto& each : words) {
    if (each == word) return true;
  }
  return false;
}

template <typename Condition>
bool WaitFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::u16string ModulePath() {
  WCHAR name[300];
  const DWORD length = GetModuleFileNameW(nullptr, name, 300);
  return std::u16string(name, length);
}

std::u16string Quote(const std::u16string& text) { return u"\"" + text + u"\""; }

void RecordRun() {
  const std::string record = Environment("NEIGHBOUR_RECORD");
  if (record.empty()) return;
  const std::string line = sim::ToUtf8(ModulePath()) + "\n";
  // One append per line, so that the lines of programs running at once never interleave.
  const int fd = ::open(record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

DWORD Spawn(const std::vector<std::u16string>& words, const std::u16string& program) {
  std::u16string line = Quote(program);
  bool after_mini = false;
  for (const auto& word : words) {
    if (after_mini && word.rfind(u"--spawn=", 0) != 0) line += u" " + Quote(word);
    if (word == u"--pellora-mini") after_mini = true;
  }
  fs::remove(ReportPath("held"));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
    return 200;
  }
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return WaitFor([] { return fs::exists(ReportPath("held")); }) ? 0 : 201;
}

DWORD RunUntilParentEnds() {
  const pid_t parent = ::getppid();
  return WaitFor([parent] { return ::getppid() != parent; }) ? 0 : 210;
}

DWORD SwapWorkDirectory(const std::u16string& victim) {
  std::u16string work = ModulePath();
  work.resize(work.rfind(u'\\'));
  const BOOL moved = MoveFileExW(work.c_str(), (work + u".moved").c_str(), 0);
  const DWORD error = moved ? 0 : GetLastError();
  if (moved) {
    const sim::Machine& machine = sim::CurrentProcess().machine();
    fs::create_directory_symlink(machine.Resolve(victim).path, machine.Resolve(work).path);
  }
  Report("swap", std::to_string(error));
  return 0;
}

// Whether the run that started this program's parent was refused `name`: its passes are
// refused with ERROR_ACCESS_DENIED while the deletion is pending.
bool RefusedInTrace(const std::string& name) {
  const std::string trace_file = sim::CurrentProcess().options().trace_file;
  std::ifstream in(trace_file);
  const std::string own = "[" + std::to_string(::getpid()) + "]";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(own, 0) != 0 && line.find(name) != std::string::npos && line.find("[error 5]") != std::string::npos) {
      return true;
    }
  }
  return false;
}

void RunThen() {
  std::vector<std::string> arguments;
  std::istringstream lines(Environment("NEIGHBOUR_THEN"));
  for (std::string line; std::getline(lines, line);) arguments.push_back(line);
  if (arguments.empty()) return;
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string output = ReportPath("then.txt").string();
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // The run started here is a program of its own, not a simulated child of this one.
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (std::string(*variable).rfind("WINSIM_", 0) != 0) variables.emplace_back(*variable);
  }
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
}

DWORD Hold(const std::vector<std::u16string>& words) {
  const auto file = Value(words, u"--hold");
  const auto directory = Value(words, u"--hold-dir");
  const auto share_text = Value(words, u"--share");
  const DWORD share = share_text ? static_cast<DWORD>(std::stoul(sim::ToUtf8(*share_text))) : FILE_SHARE_READ;
  const HANDLE held =
      file ? CreateFileW(file->c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr)
      : directory ? CreateFileW(directory->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                  : INVALID_HANDLE_VALUE;
  if (held == INVALID_HANDLE_VALUE) return 220;
  Report("held", std::to_string(::getpid()));
  if (Has(words, u"--until-released")) {
    if (!WaitFor([] { return fs::exists(ReportPath("release")); })) return 222;
  } else if (Has(words, u"--until-refused")) {
    std::u16string name = *directory;
    while (!name.empty() && name.back() == u'\\') name.pop_back();
    name = name.substr(name.rfind(u'\\') + 1);
    if (!WaitFor([&] { return RefusedInTrace(sim::ToUtf8(name)); })) return 221;
  } else if (const auto milliseconds = Value(words, u"--hold-ms")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoul(sim::ToUtf8(*milliseconds))));
  }
  CloseHandle(held);
  RunThen();
  return 0;
}

}  // namespace

extern "C" void ProgramEntry() {
  const std::vector<std::u16string> words = Words(GetCommandLineW());
  if (!Has(words, u"--pellora-mini")) ExitProcess(Hold(words));
  RecordRun();
  if (const auto program = Value(words, u"--spawn")) ExitProcess(Spawn(words, *program));
  if (Has(words, u"--until-parent-ends")) ExitProcess(RunUntilParentEnds());
  if (const auto victim = Value(words, u"--swap-to")) ExitProcess(SwapWorkDirectory(*victim));
  ExitProcess(0);
}
