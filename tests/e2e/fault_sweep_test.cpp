// The fault sweep: whole runs of the stub in which one platform call fails. A clean run of
// each scenario is traced; then every call the stub made of a function that can fail is
// failed in turn (NAME:N) with each error that fits that function, and each run is judged
// by rules written per function and step from the stub's design:
// - the exit code is one that a failure of that function may give, or the clean run's;
// - the fault fired, the stub ended through ExitProcess and left no handle or block
//   (except what a refused release keeps: the handle, key or block it could not free);
// - on disk there is nothing but what the clean run left, plus what the failing step may
//   leave (the object a failed deletion could not remove and its work directory, the
//   patch of a patching step that never ran, the files of a setup still running); an
//   early exit (101, 109, 117) leaves the machine as it was, and a failure ridden out
//   with the clean run's exit code leaves exactly what the clean run left.
// The runs are spread over a few host threads; sleeps are virtual.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/advapi32_registry.h"
#include "sim/advapi32/registry_store.h"
#include "sim/core/fault_catalog.h"
#include "sim/core/text.h"
#include "tests/support/cabinet_builder.h"
#include "tests/support/host_command.h"
#include "tests/support/resource_image.h"
#include "tests/support/standins.h"
#include "tests/support/test_machine.h"
#include "tools/standins/setup_patch.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BuildDirectory;
using testing_support::ReadHostFile;
using testing_support::RunHostCommand;

constexpr char16_t kFolder[] = u"C:\\Users\\Ann\\Downloads\\";
constexpr char16_t kInstalled[] = u"C:\\Program Files (x86)\\Pellora\\Application\\4.2.1.7\\Installer\\setup.exe";
constexpr char kRandom[] = "3FA9C0DE";
constexpr char kArchiveBytes[] = "7z\xBC\xAF\x27\x1C product archive";
// Host threads that run the sweep's runs side by side.
constexpr unsigned kWorkers = 3;

// Documented numbers: the stub's own exit codes and the errors that choose among them.
constexpr DWORD kConfigurationFailed = 101, kCommandLineOverflow = 105, kWaitFailed = 107,
                kWorkDirectoryFailed = 109, kClientStateUnavailable = 110, kPreviousVersionMismatch = 111,
                kArchiveUnpackFailed = 112, kSetupUnpackFailed = 115, kSetupWriteFailed = 116,
                kWorkDirectoryAclFailed = 117, kPatchFileNotFound = 119, kPatchPathNotFound = 120,
                kPatchLaunchFailed = 121, kSetupFileNotFound = 122, kSetupPathNotFound = 123,
                kSetupLaunchFailed = 124;
constexpr DWORD kFileNotFound = 2, kPathNotFound = 3;

std::string StandInBytes(const char* name) { return ReadHostFile(testing_support::StandInProgram(name).string()); }

struct Scenario {
  const char* name;
  const char16_t* arguments;
  std::u16string setup_type;  // "BL" (cabinet), "B7" (patch)
  bool read_only_setup = false;
  bool cleanup_disabled = false;
  bool unpack_only() const { return std::u16string_view(arguments).find(u"--pellora-unpack") != std::u16string::npos; }
};

// One traced call of the stub: its function, its number among that function's calls and
// its trace line.
struct Call {
  std::string function;
  uint64_t number;
  std::string line;
};

struct Outcome {
  bool ended = false;  // ExitProcess reported an exit code
  DWORD exit_code = 0;
  std::string output, trace, accounting;
  std::set<std::string> left;  // the drive, work directory names as "<work>"
};

// The value of a "key value" line of an accounting report, or "?".
std::string Accounted(const std::string& accounting, const std::string& key) {
  const std::string report = "\n" + accounting;
  const size_t at = report.find("\n" + key + " ");
  if (at == std::string::npos) return "?";
  return report.substr(at + key.size() + 2, report.find('\n', at + 1) - at - key.size() - 2);
}

// Everything on the drive except the stand-ins' own record, with the random part of a
// work directory's name left out.
std::set<std::string> DriveContents(const fs::path& root) {
  std::set<std::string> contents;
  for (const auto& entry : fs::recursive_directory_iterator(root / "C")) {
    std::string relative = entry.path().lexically_relative(root / "C").string();
    if (relative.starts_with("StandIns")) continue;
    // TS_ and five hexadecimal digits, then .tmp
    for (size_t at = relative.find("TS_"); at != std::string::npos; at = relative.find("TS_", at + 1)) {
      if (relative.size() < at + 12 || relative.compare(at + 8, 4, ".tmp") != 0) continue;
      if (!std::all_of(relative.begin() + at + 3, relative.begin() + at + 8,
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
        continue;
      }
      relative.replace(at, 12, "<work>");
    }
    contents.insert(relative);
  }
  return contents;
}

class Sweep {
 public:
  Sweep(const Scenario& scenario, const testing_support::TestMachine& machine, const fs::path& scratch)
      : scenario_(scenario), template_(machine.root()), scratch_(scratch) {}

  // Runs the stub on a copy of the template machine with `faults`; waits until every
  // process of the run has ended, then reads what it left.
  Outcome Run(const std::vector<std::string>& faults, const std::string& tag) const {
    const fs::path root = scratch_ / ("machine-" + tag);
    CopyMachine(template_, root);
    const fs::path trace = scratch_ / ("trace-" + tag), accounting = scratch_ / ("accounting-" + tag);
    const std::u16string image = std::u16string(kFolder) + u"installer.exe";
    std::vector<std::string> command = {(BuildDirectory() / "winsim").string(), "run", "--root", root.string(),
                                        "--image", sim::ToUtf8(image), "--command-line",
                                        sim::ToUtf8(u"\"" + image + u"\"" + scenario_.arguments), "--trace",
                                        trace.string(), "--accounting", accounting.string(), "--virtual-sleep",
                                        "--random", kRandom, "--print-exit-code"};
    for (const auto& fault : faults) {
      command.push_back("--fault");
      command.push_back(fault);
    }
    command.push_back((BuildDirectory() / "installer_host").string());
    const auto result = RunHostCommand(command);
    Outcome outcome;
    outcome.output = result.output;
    const size_t at = result.output.find("exit code: ");
    if (at != std::string::npos) {
      outcome.ended = true;
      outcome.exit_code = static_cast<DWORD>(std::stoul(result.output.substr(at + 11)));
    }
    outcome.trace = WaitForEveryProcess(trace);
    outcome.accounting = ReadHostFile(accounting.string());
    outcome.left = DriveContents(root);
    std::error_code ignored;
    fs::remove_all(root, ignored);
    fs::remove(trace, ignored);
    fs::remove(accounting, ignored);
    for (const auto& entry : fs::directory_iterator(scratch_)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("accounting-" + tag + ".child-")) fs::remove(entry.path(), ignored);
    }
    return outcome;
  }

 private:
  // Big files the stub only reads (the image, the installed setup program) are linked,
  // the rest copied, so that each run starts from the same machine cheaply.
  static void CopyMachine(const fs::path& from, const fs::path& to) {
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
      const fs::path target = to / entry.path().lexically_relative(from);
      if (entry.is_directory()) {
        fs::create_directories(target);
      } else if (entry.path().filename() == "installer.exe" || entry.path().string().find("Installer") != std::string::npos) {
        fs::create_directories(target.parent_path());
        fs::create_hard_link(entry.path(), target);
      } else {
        fs::create_directories(target.parent_path());
        fs::copy_file(entry.path(), target);
      }
    }
  }

  // A child may outlive the stub (after a failed wait): the run is over when every
  // process in the trace has ended.
  static std::string WaitForEveryProcess(const fs::path& trace) {
    std::string text;
    for (int attempt = 0; attempt < 2000; ++attempt) {
      text = ReadHostFile(trace.string());
      std::set<std::string> pids, ended;
      std::istringstream lines(text);
      for (std::string line; std::getline(lines, line);) {
        const size_t close = line.find("] ");
        if (line.empty() || line[0] != '[' || close == std::string::npos) continue;
        const std::string pid = line.substr(1, close - 1);
        pids.insert(pid);
        if (line.find("] ExitProcess(") != std::string::npos) ended.insert(pid);
      }
      if (pids == ended) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return text;
  }

  const Scenario& scenario_;
  fs::path template_;
  fs::path scratch_;
};

// The stub's own calls (the first process in the trace), numbered per function.
std::vector<Call> StubCalls(const std::string& trace) {
  std::vector<Call> calls;
  std::map<std::string, uint64_t> counts;
  std::string stub;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    const size_t close = line.find("] "), open = line.find('(');
    if (line.empty() || line[0] != '[' || close == std::string::npos || open == std::string::npos) continue;
    const std::string pid = line.substr(1, close - 1);
    if (stub.empty()) stub = pid;
    if (pid != stub) continue;
    const std::string function = line.substr(close + 2, open - close - 2);
    calls.push_back({function, ++counts[function], line});
  }
  return calls;
}

// The exit codes that a failure of `call` with `error` may give, by the function and the
// step that makes it; the clean run's code is always allowed besides (a failure that the
// step rides out, or one in a step whose outcome is ignored).
std::set<DWORD> CodesForFailure(const Call& call, DWORD error) {
  const std::string& f = call.function;
  // Configuration: only a failed split of the command line ends the run.
  if (f == "CommandLineToArgvW") return {kConfigurationFailed};
  // Work directory: the module path, the security descriptor.
  if (f == "GetModuleFileNameW") return {kWorkDirectoryFailed};
  // The hold on the new work directory: listing access, share read and write, backup semantics.
  if (f == "CreateFileW" && call.line.find(", 0x1, 0x3, 3, 0x2000000)") != std::string::npos) {
    return {kWorkDirectoryFailed};
  }
  if (f == "OpenProcessToken" || f == "GetTokenInformation" || f == "ConvertSidToStringSidW" ||
      f == "ConvertStringSecurityDescriptorToSecurityDescriptorW") {
    return {kWorkDirectoryAclFailed};
  }
  // Memory the system allocates: the argument vector, the owner's buffer and texts.
  if (f == "LocalAlloc") return {kConfigurationFailed, kWorkDirectoryAclFailed};
  // The previously installed setup program: its registration, then its start and wait.
  if (f == "RegOpenKeyExW" || f == "RegQueryValueExW") return {kClientStateUnavailable};
  if (f == "CreateProcessW") {
    if (error == kFileNotFound) return {kPatchFileNotFound, kSetupFileNotFound};
    if (error == kPathNotFound) return {kPatchPathNotFound, kSetupPathNotFound};
    return {kPatchLaunchFailed, kSetupLaunchFailed};
  }
  if (f == "WaitForSingleObject" || f == "GetExitCodeProcess") return {kWaitFailed};
  // A refused close: the cabinet library fails the copy when its close callback reports
  // the failure (-1); a program whose writing handle stays open cannot be started (a
  // sharing violation, "any other error" of the start).
  if (f == "CloseHandle") return {kSetupUnpackFailed, kSetupLaunchFailed, kPatchLaunchFailed};
  // Unpacking: enumeration, the resource's view, the files written, the cabinet's
  // expansion through the library and its callbacks.
  if (f == "EnumResourceNamesW" || f == "FindResourceW" || f == "SizeofResource" || f == "LoadResource" ||
      f == "LockResource") {
    return {kArchiveUnpackFailed, kSetupUnpackFailed, kSetupWriteFailed};
  }
  if (f == "CreateFileW" || f == "WriteFile" || f == "FlushFileBuffers" || f == "DuplicateHandle" ||
      f == "SetFileInformationByHandle") {
    return {kArchiveUnpackFailed, kSetupUnpackFailed, kSetupWriteFailed};
  }
  if (f == "LoadLibraryExW" || f == "GetSystemDirectoryW" || f == "GetProcAddress" || f == "ExpandEnvironmentStringsW" || f == "FDICreate" ||
      f == "FDICopy" || f == "ReadFile" || f == "SetFilePointer" || f == "HeapAlloc" || f == "MultiByteToWideChar" ||
      f == "WideCharToMultiByte" || f == "DosDateTimeToFileTime" || f == "LocalFileTimeToFileTime") {
    return {kSetupUnpackFailed};
  }
  // Everything else is ridden out: the volume lookups (no explicit descriptor), a failed
  // name draw or directory creation (another attempt), the deletion's reads, releases
  // whose outcome is ignored, the trim.
  return {};
}

// What a failure of `call` may leave on disk beyond the clean run, as names relative to
// the drive (work directories as "<work>"). `folder` is the installer's folder.
std::set<std::string> LeftByFailure(const Scenario& scenario, const Call& call, const Outcome& outcome,
                                    const std::string& folder) {
  const std::string work = scenario.unpack_only() ? folder : folder + "/<work>";
  std::set<std::string> may;
  auto with_work = [&](std::initializer_list<const char*> names) {
    if (!scenario.unpack_only()) may.insert(work);
    for (const char* name : names) may.insert(work + "/" + name);
  };
  const std::string& f = call.function;
  const bool deletion = (f == "CreateFileW" && call.line.find(", 0x10000, 0x7, 3,") != std::string::npos) ||
                        (f == "CreateFileW" && call.line.find(", 0x180, 0x7, 3,") != std::string::npos) ||
                        f == "SetFileInformationByHandle" || f == "GetFileInformationByHandleEx" || f == "CloseHandle";
  // A deletion that could not be done leaves its object, and the directory holding it:
  // the deletion's opens are the ones for DELETE (0x10000) or for the attributes only
  // (FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0x180), sharing all (7), OPEN_EXISTING (3).
  if (deletion) with_work({"PELLORA.PACKED.7Z", "SETUP.EX_", "SETUP.PATCH", "setup.exe"});
  // A patching step that stopped before the patching program ran keeps the patch.
  if (scenario.setup_type == u"B7" &&
      (outcome.exit_code == kClientStateUnavailable || outcome.exit_code == kPreviousVersionMismatch ||
       outcome.exit_code == kCommandLineOverflow || outcome.exit_code == kPatchFileNotFound ||
       outcome.exit_code == kPatchPathNotFound || outcome.exit_code == kPatchLaunchFailed)) {
    with_work({"SETUP.PATCH"});
  }
  // After a failed wait the child may still run and hold its program and files.
  if (f == "WaitForSingleObject" || f == "GetExitCodeProcess") with_work({"setup.exe", "SETUP.PATCH"});
  return may;
}

// What a failed unpacking leaves when nothing else fails: a file whose writing failed was
// marked for deletion and the cabinet deleted, so only a completed archive can stay (after
// 115 and 116), in the work directory when no cleanup runs (unpack-only, cleanup
// disabled), and nothing when the cleanup runs.
std::set<std::string> AfterFailedUnpack(const Scenario& scenario, const Outcome& outcome,
                                        const std::set<std::string>& initial, const std::string& folder) {
  std::set<std::string> may = initial;
  if (!scenario.unpack_only() && !scenario.cleanup_disabled) return may;
  const std::string work = scenario.unpack_only() ? folder : folder + "/<work>";
  may.insert(work);
  if (outcome.exit_code != kArchiveUnpackFailed) may.insert(work + "/PELLORA.PACKED.7Z");
  return may;
}

// What a failed release keeps: the handle, key or block that it could not free.
void CheckAccounting(const Call& call, const Outcome& outcome, std::vector<std::string>& violations) {
  const std::string& f = call.function;
  const std::string handles = f == "CloseHandle" || f == "RegCloseKey" ? "1" : "0";
  const std::string heap = f == "HeapFree" ? "1" : "0";
  const std::string local = f == "LocalFree" ? "1" : "0";
  auto expect_at_most = [&](const char* key, const std::string& most) {
    const std::string value = Accounted(outcome.accounting, key);
    if (value == "?" || std::stoul(value) > std::stoul(most)) {
      violations.push_back(std::string(key) + " " + value + " (at most " + most + ")");
    }
  };
  expect_at_most("open_handles", handles);
  // A refused FDIDestroy keeps the library's context, allocated through the stub's
  // callbacks from the process heap.
  if (f != "FDIDestroy") expect_at_most("live_heap_blocks", heap);
  expect_at_most("live_local_blocks", local);
  if (Accounted(outcome.accounting, "unfired_faults") != "0") violations.push_back("the fault never fired");
}

std::string Describe(const std::set<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += " " + name;
  return text;
}

class FaultSweepTest : public ::testing::TestWithParam<Scenario> {
 protected:
  FaultSweepTest() { fs::create_directories(scratch_); }
  ~FaultSweepTest() override { fs::remove_all(scratch_); }

  void Prepare(const Scenario& scenario) {
    const std::string setup = StandInBytes("setup_standin");
    std::string setup_resource;
    std::u16string setup_name;
    if (scenario.setup_type == u"B7") {
      setup_resource = standins::MakeSetupPatch(StandInBytes("installed_setup_standin"), setup);
      setup_name = u"SETUP.PATCH";
      testing_support::InstallStandIn(machine_, kInstalled, "installed_setup_standin");
      sim::RegistryStore store(machine_.root());
      const std::u16string value = u"\"" + std::u16string(kInstalled) + u"\"" + std::u16string(1, u'\0');
      store.SetValue(sim::ViewPath(sim::RegistryRoot::kCurrentUser, u"Software\\Pellora\\Update\\ClientState",
                                   sim::RegistryView::k32),
                     {u"UninstallString", REG_SZ,
                      {reinterpret_cast<const BYTE*>(value.data()), reinterpret_cast<const BYTE*>(value.data() + value.size())}});
      store.Save();
    } else {
      const uint16_t attributes = scenario.read_only_setup ? 0x21 : 0x20;  // archive, plus read-only
      setup_resource = testing_support::BuildCabinet({{1, {{"setup.exe", setup, 0x5021, 0x5000, attributes}}}});
      setup_name = u"SETUP.EX_";
    }
    if (scenario.cleanup_disabled) {
      sim::RegistryStore store(machine_.root());
      const std::u16string zero = std::u16string(u"0") + std::u16string(1, u'\0');
      store.SetValue(sim::ViewPath(sim::RegistryRoot::kCurrentUser,
                                   u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellora",
                                   sim::RegistryView::k64),
                     {u"TarselInstallerCleanup", REG_SZ,
                      {reinterpret_cast<const BYTE*>(zero.data()), reinterpret_cast<const BYTE*>(zero.data() + zero.size())}});
      store.Save();
    }
    machine_.WriteFile(std::u16string(kFolder) + u"installer.exe",
                       testing_support::MakeResourceImage({{std::u16string(u"B7"), std::u16string(u"PELLORA.PACKED.7Z"), kArchiveBytes},
                                                           {scenario.setup_type, setup_name, setup_resource}}));
    // The record starts empty so that the template holds no run.
    fs::remove_all(machine_.root() / "C" / "StandIns");
  }

  testing_support::TestMachine machine_;
  fs::path scratch_ = machine_.root().parent_path() / (machine_.root().filename().string() + "-sweep");
};

TEST_P(FaultSweepTest, EveryCallFailedInTurnEndsAsTheDesignAllows) {
  const Scenario& scenario = GetParam();
  Prepare(scenario);
  const auto started = std::chrono::steady_clock::now();
  const Sweep sweep(scenario, machine_, scratch_);
  const std::set<std::string> initial = DriveContents(machine_.root());
  const Outcome clean = sweep.Run({}, "clean");
  ASSERT_TRUE(clean.ended) << clean.output;
  const std::vector<Call> calls = StubCalls(clean.trace);
  ASSERT_FALSE(calls.empty()) << clean.trace;
  const std::string folder = "Users/Ann/Downloads";

  struct Job {
    const Call* call;
    DWORD error;
  };
  std::map<std::string, uint64_t> call_counts;
  for (const Call& call : calls) call_counts[call.function] = call.number;
  std::vector<Job> jobs;
  for (const Call& call : calls) {
    const sim::FailableFunction* function = sim::FindFailable(call.function);
    if (function == nullptr) continue;  // a function that Windows never fails
#ifdef FAULT_SWEEP_THIN
    // Under the sanitizers each run is several times slower: there the sweep fails the
    // first three and the last call of each function.
    if (call.number > 3 && call.number != call_counts[call.function]) continue;
#endif
    for (DWORD error : function->errors) jobs.push_back({&call, error});
  }

  std::mutex mutex;
  std::vector<std::string> violations;
  std::map<std::string, std::set<DWORD>> codes_seen;
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t index; (index = next++) < jobs.size();) {
      const Job& job = jobs[index];
      const std::string rule = job.call->function + ":" + std::to_string(job.call->number) + ":" + std::to_string(job.error);
      const Outcome run = sweep.Run({rule}, std::to_string(index));
      std::vector<std::string> found;
      if (!run.ended) {
        found.push_back("no exit code (a crash?)");
      } else {
        std::set<DWORD> allowed = CodesForFailure(*job.call, job.error);
        allowed.insert(clean.exit_code);
        if (allowed.count(run.exit_code) == 0) found.push_back("exit code " + std::to_string(run.exit_code));
        CheckAccounting(*job.call, run, found);
        const bool unpack_failed = run.exit_code == kArchiveUnpackFailed || run.exit_code == kSetupUnpackFailed ||
                                   run.exit_code == kSetupWriteFailed;
        std::set<std::string> may = unpack_failed ? AfterFailedUnpack(scenario, run, initial, folder) : clean.left;
        const std::set<std::string> extra = LeftByFailure(scenario, *job.call, run, folder);
        may.insert(extra.begin(), extra.end());
        std::set<std::string> unexpected;
        std::set_difference(run.left.begin(), run.left.end(), may.begin(), may.end(),
                            std::inserter(unexpected, unexpected.begin()));
        if (!unexpected.empty()) found.push_back("left" + Describe(unexpected));
        // The early exits create nothing; a failure ridden out leaves what the clean run left.
        const bool early = run.exit_code == kConfigurationFailed || run.exit_code == kWorkDirectoryFailed ||
                           run.exit_code == kWorkDirectoryAclFailed;
        if (early && run.left != initial) found.push_back("an early exit left" + Describe(run.left));
        // (A cleanup policy that cannot be read leaves cleanup enabled: less may stay.)
        const bool policy = job.call->function == "RegOpenKeyExW" || job.call->function == "RegQueryValueExW";
        if (!early && !policy && extra.empty() && run.exit_code == clean.exit_code && run.left != clean.left) {
          found.push_back("left" + Describe(run.left) + " where the clean run left" + Describe(clean.left));
        }
      }
      std::lock_guard lock(mutex);
      codes_seen[job.call->function].insert(run.exit_code);
      for (const auto& violation : found) {
        violations.push_back(rule + " (" + job.call->line + "): " + violation + "\n" + run.output);
      }
    }
  };
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < kWorkers; ++i) workers.emplace_back(work);
  for (auto& worker : workers) worker.join();

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::string summary;
  for (const auto& [function, codes] : codes_seen) {
    summary += "  " + function + ":";
    for (DWORD code : codes) summary += " " + std::to_string(code);
    summary += "\n";
  }
  std::printf("%s: %zu calls, %zu runs, %.1f s; exit codes by failed function:\n%s", scenario.name, calls.size(),
              jobs.size(), seconds, summary.c_str());
  EXPECT_TRUE(violations.empty()) << violations.size() << " of " << jobs.size() << " runs broke the rules:\n"
                                  << [&] {
                                       std::string text;
                                       for (size_t i = 0; i < violations.size() && i < 40; ++i) text += violations[i] + "\n";
                                       return text;
                                     }();
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, FaultSweepTest,
    ::testing::Values(Scenario{"full_installation", u"", u"BL", false, false},
                      Scenario{"cleanup_disabled", u"", u"BL", false, true},
                      Scenario{"read_only_setup", u"", u"BL", true, false},
                      Scenario{"unpack_only", u" --pellora-unpack", u"BL", false, false},
                      Scenario{"patch", u" --pellora-silent", u"B7", false, false}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
