// The simulated process: what it was started with (machine, image, raw command line,
// trace, sleep mode, faults), its last error, handles, memory blocks and pauses.
//
// A program run by winsim finds its options in the environment (WINSIM_*); a test that
// calls the simulation in-process starts one with StartProcess.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "sim/core/handle_table.h"
#include "sim/core/machine.h"
#include "sim/core/share_table.h"

namespace sim {

struct FaultRule {
  // The function's name. A rule for a child process has it after "child-K/" steps (K
  // counts the children a process starts, from 1; "*" is every child): "child-2/WriteFile"
  // is for this process's second child, "child-*/child-1/WriteFile" for the first child
  // of each child.
  std::string function;
  uint64_t call = 0;  // 1-based; 0 fails every call
  DWORD error = 0;
};

// The function a rule names, without its child steps.
std::string_view RuleFunction(const FaultRule& rule);

struct ProcessOptions {
  std::filesystem::path root;
  std::u16string image;         // Windows path of the image this program stands for
  std::u16string command_line;  // raw, exactly as GetCommandLineW returns it
  std::u16string current_directory = u"C:\\";
  std::string trace_file;       // empty: no trace
  std::string accounting_file;  // empty: no report at exit
  bool virtual_sleep = false;   // count pauses without waiting
  std::vector<FaultRule> faults;
  int exit_fd = -1;             // where ExitProcess writes the 32-bit exit code
  // Bytes that RtlGenRandom hands out first, in order; then the host's random source.
  std::vector<BYTE> random_bytes;
  // How the parent started this process (CreateProcessW): GetStartupInfoW reports the
  // first two; the creation flags have no Windows query, so programs read them here.
  DWORD startup_flags = 0;      // STARTUPINFOW.dwFlags
  WORD show_window = 0;         // STARTUPINFOW.wShowWindow
  DWORD creation_flags = 0;

  // WINSIM_* variables, for a child to read back with FromEnvironment.
  std::map<std::string, std::string> ToEnvironment() const;
  static ProcessOptions FromEnvironment();
};

// "[child-K/...]Name:N:error" (N a call number or "all"), as winsim's --fault takes it;
// nullopt when the text is not of that form. The name is not judged here: see
// FaultRuleProblem (sim/core/fault_catalog.h).
std::optional<FaultRule> ParseFaultRule(const std::string& text);
std::string FaultRuleText(const FaultRule& rule);

// Hexadecimal digits, two per byte ("3FA9C207"), as winsim's --random takes them.
std::optional<std::vector<BYTE>> ParseHexBytes(const std::string& text);
std::string HexBytes(const std::vector<BYTE>& bytes);

struct Allocation {
  SIZE_T bytes;
  bool local;  // LocalAlloc, else HeapAlloc
};

// A library loaded at run time; the process keeps it until it ends.
struct LoadedModule {
  HMODULE module;
  std::u16string path;
  uint64_t loads;  // LoadLibraryExW calls that returned it
};

struct Accounting {
  size_t live_heap_blocks = 0;
  size_t live_local_blocks = 0;
  SIZE_T largest_block = 0;
  uint64_t pauses = 0;
  uint64_t pause_milliseconds = 0;
  uint64_t working_set_trims = 0;
  std::vector<HandleTable::OpenHandle> open_handles;
  std::vector<LoadedModule> loaded_modules;
};

class Process {
 public:
  explicit Process(ProcessOptions options);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  const ProcessOptions& options() const { return options_; }
  Machine& machine() { return machine_; }
  HandleTable& handles() { return handles_; }
  char16_t* command_line() { return command_line_.data(); }

  // The mapped image: its base is the module handle.
  HMODULE module() const { return reinterpret_cast<HMODULE>(image_base_); }
  const BYTE* image_base() const { return image_base_; }
  size_t image_size() const { return image_size_; }

  void* Allocate(SIZE_T bytes, bool zero, bool local);
  // False for a block this process did not allocate with the same family.
  bool Release(void* block, bool local);

  void RecordPause(DWORD milliseconds);
  // Called with the pause's number after each pause is counted: lets an in-process test
  // act while the program under test waits (e.g. release a file it is retrying on).
  void SetPauseObserver(std::function<void(uint64_t)> observer) { pause_observer_ = std::move(observer); }
  void RecordWorkingSetTrim() { ++accounting_.working_set_trims; }
  void RecordModuleLoad(HMODULE module, const std::u16string& path);
  Accounting Snapshot() const;
  std::string AccountingReport() const;

  // Counts a call of `function`; every traced call is counted as its trace line starts,
  // so that call N of a rule is the Nth line of that function in the trace.
  void CountCall(std::string_view function);
  // The error to fail the current call of `function` with, when a fault rule says so.
  std::optional<DWORD> TakeFault(const std::string& function);
  // The rules for the child that this process starts next (one call per child started):
  // those addressed to it, one "child-K/" step shorter.
  std::vector<FaultRule> FaultsForNextChild();
  // Rules that never failed a call, and rules for children that no child was given.
  std::vector<FaultRule> UnfiredFaults() const;

  // Copies up to `count` scripted random bytes not yet handed out; returns how many.
  size_t TakeScriptedRandom(BYTE* destination, size_t count);

  // What the end of a process does before its exit code is seen: every handle closes
  // (pending deletions complete) and the image is no longer a running program's.
  void ReleaseAtExit();

 private:
  void MapImage();

  ProcessOptions options_;
  Machine machine_;
  HandleTable handles_;
  std::u16string command_line_;
  BYTE* image_base_ = nullptr;
  size_t image_size_ = 0;
  // The image as the machine's other processes see it: open for running.
  std::unique_ptr<ShareTableEntry> image_entry_;
  std::map<void*, Allocation> allocations_;
  Accounting accounting_;
  std::map<std::string, uint64_t, std::less<>> call_counts_;
  std::vector<bool> fault_fired_;  // by index into options_.faults
  uint64_t children_started_ = 0;
  size_t random_bytes_taken_ = 0;
  std::function<void(uint64_t)> pause_observer_;
};

// The current simulated process; StartProcess replaces it (tests start one per case).
// StartProcess throws std::invalid_argument, naming the rule, for a fault rule whose
// function cannot be failed.
Process& CurrentProcess();
Process& StartProcess(ProcessOptions options);
void EndProcess();
// Called with each process as it ends or is replaced, before it is gone: lets tests check
// what every process they started left (unfired fault rules, for one).
void SetProcessEndObserver(std::function<void(const Process&)> observer);

// Windows' per-thread last error.
DWORD LastError();
void SetLastErrorValue(DWORD error);

}  // namespace sim
