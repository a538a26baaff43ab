// Child processes: CreateProcessW, WaitForSingleObject, GetExitCodeProcess and
// GetStartupInfoW.
//
// A child is a host program started as a simulated program (sim/core/child_process.h) on
// the same machine. What it is given: the raw command line exactly, the image path as its
// module file name, the startup flags, show command and creation flags, the parent's
// current directory unless another is named, the trace file (shared by every process of a
// run), virtual sleep, and, when the parent writes an accounting report, a report of its
// own at "<parent's report>.child-N" (N counts the children this process started, from 1).
// Fault rules are passed on only when addressed to the child ("child-K/NAME:N:ERROR",
// sim/core/process.h); the others name the calls of the parent.
//
// Choices where the documentation is silent, written down here and tested:
// - Only an application name is simulated; with a null one the module would be searched
//   for, which is refused with ERROR_CALL_NOT_IMPLEMENTED, as is an explicit environment
//   block. Inheriting handles is accepted, but no handle crosses to a child.
// - The program file is judged by its first bytes: "\x7F" "ELF" or "#!" is a host
//   program and runs; "MZ" is a Windows image, which nothing here can run yet, so it
//   fails with ERROR_BAD_EXE_FORMAT like any other content (an empty file included).
// - A directory at the application path fails with ERROR_ACCESS_DENIED; a current
//   directory that does not exist with ERROR_DIRECTORY.
// - A command line of 32768 units or more fails with ERROR_FILENAME_EXCED_RANGE; a null
//   startup or process record with ERROR_INVALID_PARAMETER, where Windows would fault.
// - Windows grants execute rights through the file's ACL, which every file this machine
//   writes allows, so a host program without its execute bit gets it before it runs.
// - A child that ends without ExitProcess: a host program that exits on its own gives its
//   host exit status; one killed by SIGSEGV or SIGBUS gives STATUS_ACCESS_VIOLATION
//   (0xC0000005), by any other signal 1 (as a forced termination does).
// - The thread id is the host process id (a Linux process's main thread has its pid).
// - Closing the last handle does not end the child; it runs on and is reaped at exit.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "platform/errors.h"
#include "platform/kernel32_processes.h"
#include "sim/core/call_failure.h"
#include "sim/core/child_process.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

using namespace sim;
namespace fs = std::filesystem;

namespace {

constexpr DWORD kSynchronize = 0x00100000;
constexpr DWORD kProcessQueryInformation = 0x0400;
constexpr DWORD kProcessQueryLimitedInformation = 0x1000;
constexpr DWORD kProcessAllAccess = 0x001FFFFF;
constexpr DWORD kThreadAllAccess = 0x001FFFFF;
constexpr DWORD kStatusAccessViolation = 0xC0000005;

HANDLE CurrentProcessPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

// Children whose last handle was closed while they still ran: kept so that their exit
// pipe stays open until they end.
std::vector<std::unique_ptr<ChildProcess>>& DetachedChildren() {
  static auto* children = new std::vector<std::unique_ptr<ChildProcess>>;
  return *children;
}

// One child, shared by its process and thread objects.
class ChildRecord {
 public:
  ChildRecord(std::unique_ptr<ChildProcess> child, std::u16string image)
      : child_(std::move(child)), image_(std::move(image)) {}
  ~ChildRecord() {
    if (!child_->Poll()) DetachedChildren().push_back(std::move(child_));
  }
  ChildRecord(const ChildRecord&) = delete;
  ChildRecord& operator=(const ChildRecord&) = delete;

  DWORD pid() const { return static_cast<DWORD>(child_->pid()); }
  const std::u16string& image() const { return image_; }
  bool Ended() { return child_->Poll(); }
  void WaitForEnd() { child_->Wait(); }
  // Only once Ended().
  DWORD ExitCode() {
    if (auto code = child_->Wait()) return *code;
    const int status = child_->host_status();
    if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGSEGV || WTERMSIG(status) == SIGBUS)) {
      return kStatusAccessViolation;
    }
    return 1;
  }

 private:
  std::unique_ptr<ChildProcess> child_;
  std::u16string image_;
};

class ProcessObject : public KernelObject {
 public:
  explicit ProcessObject(std::shared_ptr<ChildRecord> record) : record(std::move(record)) {}
  std::string Kind() const override { return "process"; }
  std::string Describe() const override {
    return ToUtf8(record->image()) + " (pid " + std::to_string(record->pid()) + ")";
  }
  std::shared_ptr<ChildRecord> record;
};

// The child's only thread; it is signalled when the process ends.
class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(std::shared_ptr<ChildRecord> record) : record(std::move(record)) {}
  std::string Kind() const override { return "thread"; }
  std::string Describe() const override { return "main thread of pid " + std::to_string(record->pid()); }
  std::shared_ptr<ChildRecord> record;
};

bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// A name without a drive is completed from the current directory; one that starts with a
// separator from the current directory's drive.
std::u16string FullPath(std::u16string_view name, const std::u16string& current_directory) {
  if (name.substr(0, 4) == u"\\\\?\\" || (name.size() >= 2 && name[1] == u':')) return std::u16string(name);
  if (!name.empty() && IsSeparator(name[0])) return current_directory.substr(0, 2) + std::u16string(name);
  std::u16string full = current_directory;
  if (full.empty() || !IsSeparator(full.back())) full += u'\\';
  return full + std::u16string(name);
}

// ERROR_PATH_NOT_FOUND when the folder that should hold `host` is missing (or is no
// folder), else ERROR_FILE_NOT_FOUND.
DWORD NotFoundError(const fs::path& host) {
  std::error_code error;
  return fs::is_directory(host.parent_path(), error) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD ErrorForErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENOMEM:
    case EAGAIN:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:  // ENOEXEC, a missing interpreter, a program for another machine
      return ERROR_BAD_EXE_FORMAT;
  }
}

// 0 when `host` is a program this machine can run, else the Windows error.
DWORD CheckProgram(const fs::path& host) {
  struct stat status {};
  if (::stat(host.c_str(), &status) != 0) return NotFoundError(host);
  if (S_ISDIR(status.st_mode)) return ERROR_ACCESS_DENIED;
  const int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrorForErrno(errno);
  unsigned char magic[4] = {};
  const ssize_t got = ::read(fd, magic, sizeof magic);
  ::close(fd);
  const bool elf = got == 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
  const bool script = got >= 2 && magic[0] == '#' && magic[1] == '!';
  if (!elf && !script) return ERROR_BAD_EXE_FORMAT;
  if ((status.st_mode & S_IXUSR) == 0 && ::chmod(host.c_str(), status.st_mode | S_IXUSR) != 0) {
    return ErrorForErrno(errno);
  }
  return 0;
}

ProcessOptions ChildOptions(Process& parent, std::u16string image, std::u16string command_line,
                            std::u16string current_directory, const STARTUPINFOW& startup,
                            DWORD creation_flags) {
  // Counted per report file, so that each run's children are numbered from 1.
  static auto* children_started = new std::map<std::string, uint64_t>;
  const ProcessOptions& mine = parent.options();
  ProcessOptions options;
  options.root = fs::absolute(mine.root);
  options.image = std::move(image);
  options.command_line = std::move(command_line);
  options.current_directory = std::move(current_directory);
  options.trace_file = mine.trace_file;
  if (!mine.accounting_file.empty()) {
    options.accounting_file = mine.accounting_file + ".child-" + std::to_string(++(*children_started)[mine.accounting_file]);
  }
  options.virtual_sleep = mine.virtual_sleep;
  options.faults = parent.FaultsForNextChild();
  options.startup_flags = startup.dwFlags;
  options.show_window = startup.wShowWindow;
  options.creation_flags = creation_flags;
  return options;
}

std::string DescribeStartup(const STARTUPINFOW* startup) {
  if (startup == nullptr) return "null";
  return "{cb " + Decimal(startup->cb) + ", flags " + Hex(startup->dwFlags) + ", show " +
         Decimal(startup->wShowWindow) + "}";
}

std::shared_ptr<ChildRecord> WaitableRecord(HandleEntry* entry) {
  if (entry == nullptr) return nullptr;
  if (auto process = std::dynamic_pointer_cast<ProcessObject>(entry->object)) return process->record;
  if (auto thread = std::dynamic_pointer_cast<ThreadObject>(entry->object)) return thread->record;
  return nullptr;
}

void PauseMilliseconds(long milliseconds) {
  timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}

}  // namespace

extern "C" BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line, SECURITY_ATTRIBUTES*,
                               SECURITY_ATTRIBUTES*, BOOL inherit_handles, DWORD creation_flags,
                               LPVOID environment, LPCWSTR current_directory, STARTUPINFOW* startup_info,
                               PROCESS_INFORMATION* process_information) {
  Process& process = CurrentProcess();
  TraceLine trace("CreateProcessW");
  trace.Arg(Quoted(application_name))
      .Arg(Quoted(command_line))
      .Arg(Decimal(inherit_handles))
      .Arg(Hex(creation_flags))
      .Arg(Pointer(environment))
      .Arg(Quoted(current_directory))
      .Arg(DescribeStartup(startup_info));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (auto fault = process.TakeFault("CreateProcessW")) return fail(*fault);
  if (startup_info == nullptr || process_information == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (application_name == nullptr || environment != nullptr) return fail(ERROR_CALL_NOT_IMPLEMENTED);
  const std::u16string_view line = command_line != nullptr ? View(command_line) : View(application_name);
  if (line.size() >= kMaximumCommandLineUnits) return fail(ERROR_FILENAME_EXCED_RANGE);

  std::u16string directory = process.options().current_directory;
  if (current_directory != nullptr) {
    directory = FullPath(View(current_directory), process.options().current_directory);
    const HostPath host_directory = process.machine().Resolve(directory);
    std::error_code error;
    if (!host_directory.ok() || !fs::is_directory(host_directory.path, error)) return fail(ERROR_DIRECTORY);
  }
  std::u16string image = FullPath(View(application_name), process.options().current_directory);
  const HostPath host = process.machine().Resolve(image);
  if (!host.ok()) return fail(host.error);
  if (const DWORD error = CheckProgram(host.path); error != 0) return fail(error);

  auto child = std::make_unique<ChildProcess>();
  std::string host_error;
  if (!child->Start(host.path.string(),
                    ChildOptions(process, image, std::u16string(line), directory, *startup_info, creation_flags),
                    host_error)) {
    return fail(ErrorForErrno(child->start_errno()));
  }
  auto record = std::make_shared<ChildRecord>(std::move(child), std::move(image));
  process_information->hProcess = process.handles().Insert(std::make_shared<ProcessObject>(record), kProcessAllAccess);
  process_information->hThread = process.handles().Insert(std::make_shared<ThreadObject>(record), kThreadAllAccess);
  process_information->dwProcessId = record->pid();
  process_information->dwThreadId = record->pid();
  trace.Result("TRUE process " + Pointer(process_information->hProcess) + ", thread " +
               Pointer(process_information->hThread) + ", pid " + Decimal(record->pid()));
  return TRUE;
}

extern "C" DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  Process& process = CurrentProcess();
  TraceLine trace("WaitForSingleObject");
  trace.Arg(Pointer(object)).Arg(milliseconds == INFINITE ? "INFINITE" : Decimal(milliseconds));
  const CallFailure<DWORD> fail(trace, WAIT_FAILED, "WAIT_FAILED");
  if (auto fault = process.TakeFault("WaitForSingleObject")) return fail(*fault);
  // Only processes and threads are waitable here; waiting on oneself is not simulated.
  HandleEntry* entry = process.handles().Find(object);
  const std::shared_ptr<ChildRecord> record = WaitableRecord(entry);
  if (record == nullptr) return fail(ERROR_INVALID_HANDLE);
  if ((entry->access & kSynchronize) == 0) return fail(ERROR_ACCESS_DENIED);
  if (milliseconds == INFINITE) {
    record->WaitForEnd();
  } else {
    // A bounded wait polls; it waits in real time even under virtual sleep.
    constexpr long kPollMilliseconds = 2;
    for (long waited = 0; !record->Ended(); waited += kPollMilliseconds) {
      if (waited >= static_cast<long>(milliseconds)) {
        trace.Result("WAIT_TIMEOUT");
        return WAIT_TIMEOUT;
      }
      PauseMilliseconds(std::min<long>(kPollMilliseconds, static_cast<long>(milliseconds) - waited));
    }
  }
  trace.Result("WAIT_OBJECT_0");
  return WAIT_OBJECT_0;
}

extern "C" BOOL GetExitCodeProcess(HANDLE process_handle, LPDWORD exit_code) {
  Process& process = CurrentProcess();
  TraceLine trace("GetExitCodeProcess");
  trace.Arg(Pointer(process_handle));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (auto fault = process.TakeFault("GetExitCodeProcess")) return fail(*fault);
  // Windows would write through the pointer and fault; the nearest error is chosen.
  if (exit_code == nullptr) return fail(ERROR_NOACCESS);
  if (process_handle == CurrentProcessPseudoHandle()) {
    *exit_code = STILL_ACTIVE;
    trace.Result("TRUE STILL_ACTIVE");
    return TRUE;
  }
  HandleEntry* entry = process.handles().Find(process_handle);
  auto object = entry == nullptr ? nullptr : std::dynamic_pointer_cast<ProcessObject>(entry->object);
  if (object == nullptr) return fail(ERROR_INVALID_HANDLE);
  if ((entry->access & (kProcessQueryInformation | kProcessQueryLimitedInformation)) == 0) {
    return fail(ERROR_ACCESS_DENIED);
  }
  if (!object->record->Ended()) {
    *exit_code = STILL_ACTIVE;
    trace.Result("TRUE STILL_ACTIVE");
    return TRUE;
  }
  *exit_code = object->record->ExitCode();
  trace.Result("TRUE " + Decimal(*exit_code));
  return TRUE;
}

// The strings (desktop, title) are not simulated and stay null; the standard handles
// too, since no handle crosses to a child.
extern "C" void GetStartupInfoW(STARTUPINFOW* startup_info) {
  const ProcessOptions& options = CurrentProcess().options();
  *startup_info = STARTUPINFOW{};
  startup_info->cb = sizeof(STARTUPINFOW);
  startup_info->dwFlags = options.startup_flags;
  startup_info->wShowWindow = options.show_window;
  TraceLine("GetStartupInfoW").Result(DescribeStartup(startup_info));
}
