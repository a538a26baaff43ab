// Fault rules: every traced function can be failed (or is refused with the reason Windows
// gives it no failure), a rule for anything else is refused, a rule that never fired is
// reported, and rules can be addressed to child processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include "platform/advapi32_random.h"
#include "platform/advapi32_registry.h"
#include "platform/advapi32_security.h"
#include "platform/errors.h"
#include "platform/fdi.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_directories.h"
#include "platform/kernel32_environment.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "platform/kernel32_library.h"
#include "platform/kernel32_processes.h"
#include "platform/kernel32_resources.h"
#include "platform/kernel32_system_directory.h"
#include "platform/kernel32_text_conversion.h"
#include "platform/kernel32_time.h"
#include "platform/kernel32_volumes.h"
#include "platform/shell32.h"
#include "sim/advapi32/registry_store.h"
#include "sim/core/fault_catalog.h"
#include "sim/core/process.h"
#include "sim/kernel32/moving.h"
#include "tests/support/fdi_harness.h"
#include "tests/support/host_command.h"
#include "tests/support/resource_image.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BuildDirectory;
using testing_support::ReadHostFile;
using testing_support::RunHostCommand;

constexpr char16_t kImage[] = u"C:\\Setup\\installer.exe";
constexpr char16_t kFile[] = u"C:\\Setup\\data.bin";

// Every function whose simulation writes a trace line, read from the simulation's sources:
// each trace line is started by a TraceLine constructed with the function's name, as
// `TraceLine("Name")` or `TraceLine variable("Name")`.
std::set<std::string> TracedFunctions() {
  auto is_word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; };
  std::set<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(SOURCE_DIR) / "sim")) {
    if (entry.path().extension() != ".cpp") continue;
    if (entry.path().filename() == "trace.cpp") continue;  // the class itself
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const std::string source = text.str();
    for (size_t at = source.find("TraceLine"); at != std::string::npos; at = source.find("TraceLine", at + 1)) {
      size_t i = at + 9;
      if (at > 0 && is_word(source[at - 1])) continue;
      if (i < source.size() && is_word(source[i])) continue;  // a longer name
      while (i < source.size() && source[i] == ' ') ++i;
      while (i < source.size() && is_word(source[i])) ++i;  // the variable, if any
      if (i >= source.size() || source[i] != '(') continue;  // a type in a declaration
      // A construction: it must name its function literally, or a new one could hide.
      const size_t open = i + 1, close = source.find("\")", open + 1);
      const bool literal = source[open] == '"' && close != std::string::npos &&
                           std::all_of(source.begin() + open + 1, source.begin() + close, is_word);
      EXPECT_TRUE(literal) << entry.path() << ": a trace line whose function is not named literally: "
                           << source.substr(at, 60);
      if (literal) names.insert(source.substr(open + 1, close - open - 1));
    }
  }
  return names;
}

TEST(FaultCatalogTest, EveryTracedFunctionIsListedAsFailableOrWithWhyItCannotFail) {
  const std::set<std::string> traced = TracedFunctions();
  ASSERT_GE(traced.size(), 50u) << "the sources were not found under " << SOURCE_DIR;
  std::set<std::string> listed;
  for (const auto& function : sim::FailableFunctions()) {
    EXPECT_TRUE(listed.insert(std::string(function.name)).second) << function.name << " listed twice";
    EXPECT_FALSE(function.errors.empty()) << function.name << " has no error to fail with";
  }
  for (const auto& function : sim::UnfailableFunctions()) {
    EXPECT_TRUE(listed.insert(std::string(function.name)).second) << function.name << " listed twice";
  }
  for (const auto& name : traced) {
    EXPECT_EQ(listed.count(name), 1u) << name << " writes trace lines but is not in the fault catalog";
  }
  for (const auto& name : listed) EXPECT_EQ(traced.count(name), 1u) << name << " is listed but never traced";
}

// One call of each failable function with arguments it would accept; true when it returned
// the failure value its documentation gives. Objects a call needs are made first with
// other functions, so that the rule's call 1 is the call under test.
struct FailureCase {
  bool sets_last_error;
  std::function<bool()> call;
};

BOOL CALLBACK_CountName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR parameter) {
  ++*reinterpret_cast<int*>(parameter);
  return TRUE;
}

HANDLE OpenData(DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return CreateFileW(kFile, access | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | DELETE, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

PSID OwnerSid(BYTE (&buffer)[256]) {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  DWORD length = 0;
  GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &length);
  CloseHandle(token);
  return reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
}

std::map<std::string, FailureCase> FailureCases() {
  return {
      {"CloseHandle", {true, [] { return CloseHandle(OpenData()) == FALSE; }}},
      {"CommandLineToArgvW", {true, [] { int count = 0; return CommandLineToArgvW(u"a b", &count) == nullptr; }}},
      {"ConvertSidToStringSidW", {true, [] {
         BYTE buffer[256];
         LPWSTR text = nullptr;
         return ConvertSidToStringSidW(OwnerSid(buffer), &text) == FALSE;
       }}},
      {"ConvertStringSecurityDescriptorToSecurityDescriptorW", {true, [] {
         PSECURITY_DESCRIPTOR descriptor = nullptr;
         return ConvertStringSecurityDescriptorToSecurityDescriptorW(u"D:P(A;;FA;;;SY)", SDDL_REVISION_1, &descriptor,
                                                                     nullptr) == FALSE;
       }}},
      {"CreateDirectoryW", {true, [] { return CreateDirectoryW(u"C:\\Setup\\new", nullptr) == FALSE; }}},
      {"CreateFileW", {true, [] { return OpenData() == INVALID_HANDLE_VALUE; }}},
      {"CreateProcessW", {true, [] {
         STARTUPINFOW startup{};
         startup.cb = sizeof startup;
         PROCESS_INFORMATION information{};
         return CreateProcessW(kFile, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &information) == FALSE;
       }}},
      {"DosDateTimeToFileTime", {true, [] { FILETIME time{}; return DosDateTimeToFileTime(0x5021, 0x5000, &time) == FALSE; }}},
      {"DuplicateHandle", {true, [] {
         const HANDLE file = OpenData();
         HANDLE copy = nullptr;
         const bool failed = DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE,
                                             DUPLICATE_SAME_ACCESS) == FALSE;
         CloseHandle(file);
         return failed;
       }}},
      {"EnumResourceNamesW", {true, [] {
         int count = 0;
         return EnumResourceNamesW(GetModuleHandleW(nullptr), MakeIntResource(RT_RCDATA), CALLBACK_CountName,
                                   reinterpret_cast<LONG_PTR>(&count)) == FALSE && count == 0;
       }}},
      {"ExpandEnvironmentStringsW", {true, [] { char16_t out[64]; return ExpandEnvironmentStringsW(u"%WINDIR%", out, 64) == 0; }}},
      {"FDICopy", {false, [] {
         const auto run = testing_support::RunFdiCopy("/nonexistent/", "a.cab");
         return run.created && run.copied == FALSE && run.erf.erfOper == FDIERROR_CORRUPT_CABINET &&
                run.notifications.empty();
       }}},
      {"FDICreate", {false, [] {
         const auto run = testing_support::RunFdiCopy("/nonexistent/", "a.cab");
         return !run.created && run.erf.erfOper == FDIERROR_ALLOC_FAIL;
       }}},
      {"FDIDestroy", {false, [] {
         // A refused destruction keeps the context: its memory is still allocated.
         const auto run = testing_support::RunFdiCopy("/nonexistent/", "a.cab");
         return run.created && run.destroyed == FALSE && run.live_allocations > 0;
       }}},
      {"FindResourceW", {true, [] {
         return FindResourceW(GetModuleHandleW(nullptr), MakeIntResource(1), MakeIntResource(RT_RCDATA)) == nullptr;
       }}},
      {"FlushFileBuffers", {true, [] {
         const HANDLE file = OpenData();
         const bool failed = FlushFileBuffers(file) == FALSE;
         CloseHandle(file);
         return failed;
       }}},
      {"GetExitCodeProcess", {true, [] { DWORD code = 0; return GetExitCodeProcess(GetCurrentProcess(), &code) == FALSE; }}},
      {"GetFileAttributesW", {true, [] { return GetFileAttributesW(kFile) == INVALID_FILE_ATTRIBUTES; }}},
      {"GetSystemDirectoryW", {true, [] { char16_t directory[260]; return GetSystemDirectoryW(directory, 260) == 0; }}},
      {"MoveFileExW", {true, [] {
         // A refused rename leaves the file where it was.
         return MoveFileExW(kFile, u"C:\\Setup\\moved.bin", 0) == FALSE && GetFileAttributesW(kFile) != INVALID_FILE_ATTRIBUTES;
       }}},
      {"GetFileInformationByHandleEx", {true, [] {
         const HANDLE file = OpenData();
         FILE_BASIC_INFO info{};
         const bool failed = GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info) == FALSE;
         CloseHandle(file);
         return failed;
       }}},
      {"GetModuleFileNameW", {true, [] { char16_t name[260]; return GetModuleFileNameW(nullptr, name, 260) == 0; }}},
      {"GetModuleHandleW", {true, [] { return GetModuleHandleW(nullptr) == nullptr; }}},
      {"GetProcAddress", {true, [] {
         const HMODULE cabinet = LoadLibraryExW(u"C:\\Windows\\System32\\cabinet.dll", nullptr, 0);
         return cabinet != nullptr && GetProcAddress(cabinet, "FDICreate") == nullptr;
       }}},
      {"GetTokenInformation", {true, [] {
         HANDLE token = nullptr;
         OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
         BYTE buffer[256];
         DWORD length = 0;
         const bool failed = GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &length) == FALSE;
         CloseHandle(token);
         return failed;
       }}},
      {"GetVolumeInformationW", {true, [] {
         DWORD flags = 0;
         return GetVolumeInformationW(u"C:\\", nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) == FALSE;
       }}},
      {"GetVolumePathNameW", {true, [] { char16_t root[260]; return GetVolumePathNameW(kFile, root, 260) == FALSE; }}},
      {"HeapAlloc", {false, [] { return HeapAlloc(GetProcessHeap(), 0, 16) == nullptr; }}},
      {"HeapFree", {true, [] {
         void* block = HeapAlloc(GetProcessHeap(), 0, 16);
         const bool failed = HeapFree(GetProcessHeap(), 0, block) == FALSE;
         HeapFree(GetProcessHeap(), 0, block);  // kept by the refusal: released by call 2
         return failed;
       }}},
      {"LoadLibraryExW", {true, [] { return LoadLibraryExW(u"C:\\Windows\\System32\\cabinet.dll", nullptr, 0) == nullptr; }}},
      {"LoadResource", {true, [] {
         const HMODULE module = GetModuleHandleW(nullptr);
         return LoadResource(module, FindResourceW(module, MakeIntResource(1), MakeIntResource(RT_RCDATA))) == nullptr;
       }}},
      {"LocalAlloc", {true, [] { return LocalAlloc(LPTR, 16) == nullptr; }}},
      {"LocalFileTimeToFileTime", {true, [] { FILETIME local{}, utc{}; return LocalFileTimeToFileTime(&local, &utc) == FALSE; }}},
      {"LocalFree", {true, [] {
         HLOCAL block = LocalAlloc(LPTR, 16);
         const bool failed = LocalFree(block) == block;
         LocalFree(block);
         return failed;
       }}},
      {"LockResource", {true, [] {
         const HMODULE module = GetModuleHandleW(nullptr);
         const HGLOBAL loaded = LoadResource(module, FindResourceW(module, MakeIntResource(1), MakeIntResource(RT_RCDATA)));
         return loaded != nullptr && LockResource(loaded) == nullptr;
       }}},
      {"MultiByteToWideChar", {true, [] { char16_t out[8]; return MultiByteToWideChar(CP_UTF8, 0, "abc", 3, out, 8) == 0; }}},
      {"OpenProcessToken", {true, [] { HANDLE token = nullptr; return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == FALSE; }}},
      {"ReadFile", {true, [] {
         const HANDLE file = OpenData();
         char buffer[4];
         DWORD read = 0;
         const bool failed = ReadFile(file, buffer, sizeof buffer, &read, nullptr) == FALSE;
         CloseHandle(file);
         return failed;
       }}},
      {"RegCloseKey", {false, [] {
         HKEY key = nullptr;
         RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Test", 0, KEY_READ, &key);
         const bool failed = key != nullptr && RegCloseKey(key) == static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
         RegCloseKey(key);  // still open after the refusal
         return failed;
       }}},
      {"RegOpenKeyExW", {false, [] {
         HKEY key = nullptr;
         return RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Test", 0, KEY_READ, &key) ==
                static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
       }}},
      {"RegQueryValueExW", {false, [] {
         HKEY key = nullptr;
         RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Test", 0, KEY_READ, &key);
         DWORD type = 0, size = 0;
         const bool failed = RegQueryValueExW(key, u"value", nullptr, &type, nullptr, &size) ==
                             static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
         RegCloseKey(key);
         return failed;
       }}},
      {"SetFileInformationByHandle", {true, [] {
         const HANDLE file = OpenData();
         FILE_DISPOSITION_INFO info{TRUE};
         const bool failed = SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) == FALSE;
         CloseHandle(file);
         return failed && GetFileAttributesW(kFile) != INVALID_FILE_ATTRIBUTES;
       }}},
      {"SetFilePointer", {true, [] {
         const HANDLE file = OpenData();
         const bool failed = SetFilePointer(file, 1, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER;
         CloseHandle(file);
         return failed;
       }}},
      {"SetProcessWorkingSetSize", {true, [] {
         return SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1)) == FALSE &&
                sim::CurrentProcess().Snapshot().working_set_trims == 0;
       }}},
      {"SizeofResource", {true, [] {
         const HMODULE module = GetModuleHandleW(nullptr);
         return SizeofResource(module, FindResourceW(module, MakeIntResource(1), MakeIntResource(RT_RCDATA))) == 0;
       }}},
      {"SystemFunction036", {false, [] { BYTE bytes[4]; return SystemFunction036(bytes, sizeof bytes) == FALSE; }}},
      {"WaitForSingleObject", {true, [] { return WaitForSingleObject(OpenData(), 0) == WAIT_FAILED; }}},
      {"WideCharToMultiByte", {true, [] {
         char out[8];
         return WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, out, 8, nullptr, nullptr) == 0;
       }}},
      {"WriteFile", {true, [] {
         const HANDLE file = OpenData();
         DWORD written = 0;
         const bool failed = WriteFile(file, "x", 1, &written, nullptr) == FALSE;
         CloseHandle(file);
         return failed;
       }}},
  };
}

class FaultRulesTest : public ::testing::Test {
 protected:
  FaultRulesTest() { fs::create_directories(scratch_); }
  ~FaultRulesTest() override { fs::remove_all(scratch_); }

  testing_support::TestMachine machine_;
  fs::path scratch_ = machine_.root().parent_path() / (machine_.root().filename().string() + "-scratch");
};

TEST_F(FaultRulesTest, EveryFailableFunctionFailsWithItsDocumentedValue) {
  machine_.WriteFile(kImage, testing_support::MakeResourceImage({{RT_RCDATA, WORD{1}, "data"}}));
  sim::RegistryStore store(machine_.root());
  store.SetValue(sim::ViewPath(sim::RegistryRoot::kCurrentUser, u"Software\\Test", sim::RegistryView::k64),
                 {u"value", REG_DWORD, {1, 0, 0, 0}});
  store.Save();
  const auto cases = FailureCases();
  const fs::path trace = scratch_ / "trace.txt";
  for (const auto& function : sim::FailableFunctions()) {
    const std::string name(function.name);
    const auto found = cases.find(name);
    if (found == cases.end()) {
      ADD_FAILURE() << "no case proves that " << name << " can be failed";
      continue;
    }
    machine_.WriteFile(kFile, "bytes");
    fs::remove(trace);
    // The rule's error: the documented failure for registry calls, else the catalog's first.
    const DWORD error = name.starts_with("Reg") && name != "RegCloseKey" ? ERROR_FILE_NOT_FOUND
                        : name == "RegCloseKey"                          ? ERROR_INVALID_HANDLE
                                                                         : function.errors.front();
    sim::ProcessOptions options;
    options.image = kImage;
    options.trace_file = trace.string();
    options.faults = {{name, 1, error}};
    sim::Process& process = machine_.Start(options);
    SetLastError(0xDEAD);
    EXPECT_TRUE(found->second.call()) << name << " did not return its failure value\n" << ReadHostFile(trace.string());
    if (found->second.sets_last_error) {
      EXPECT_EQ(GetLastError(), error) << name;
    }
    EXPECT_TRUE(process.UnfiredFaults().empty()) << name;
    // The function's trace line shows the failure value the catalog gives.
    if (!function.failure.starts_with("the ")) {
      const std::string text = ReadHostFile(trace.string());
      bool shown = false;
      std::istringstream lines(text);
      for (std::string line; std::getline(lines, line);) {
        shown |= line.find("] " + name + "(") != std::string::npos &&
                 line.find(") -> " + std::string(function.failure)) != std::string::npos;
      }
      EXPECT_TRUE(shown) << name << "\n" << text;
    }
    sim::EndProcess();
  }
}

TEST_F(FaultRulesTest, RulesForFunctionsThatCannotFailAreRefused) {
  for (const char* name : {"NoSuchFunction", "ExitProcess", "Sleep", "GetCommandLineW", "lstrcmpiW", "createfilew"}) {
    sim::ProcessOptions options;
    options.faults = {{name, 1, 5}};
    EXPECT_THROW(machine_.Start(options), std::invalid_argument) << name;
    EXPECT_NE(sim::FaultRuleProblem(name).find(name), std::string::npos) << name;
  }
  EXPECT_EQ(sim::FaultRuleProblem("CreateFileW"), "");
  // winsim refuses them before starting anything, naming the function.
  const std::pair<std::string, std::string> refused[] = {
      {"NoSuchFunction:1:5", "no simulated function NoSuchFunction"},
      {"Sleep:all:5", "Sleep cannot be failed"},
      {"child-1/NoSuchFunction:1:5", "no simulated function NoSuchFunction"}};
  for (const auto& [rule, message] : refused) {
    const auto result = RunHostCommand({(BuildDirectory() / "winsim").string(), "run", "--root",
                                        machine_.root().string(), "--fault", rule,
                                        (BuildDirectory() / "tests" / "report_program").string()});
    EXPECT_EQ(result.exit_status, 125) << rule << "\n" << result.output;
    EXPECT_NE(result.output.find(message), std::string::npos) << rule << "\n" << result.output;
  }
}

TEST_F(FaultRulesTest, ARuleIsReportedUntilItsCallFails) {
  machine_.WriteFile(kFile, "bytes");
  sim::ProcessOptions options;
  options.faults = {{"GetFileAttributesW", 2, ERROR_ACCESS_DENIED}, {"CreateDirectoryW", 0, ERROR_ACCESS_DENIED}};
  sim::Process& process = machine_.Start(options);
  ASSERT_EQ(process.UnfiredFaults().size(), 2u);
  EXPECT_NE(GetFileAttributesW(kFile), INVALID_FILE_ATTRIBUTES);
  ASSERT_EQ(process.UnfiredFaults().size(), 2u) << "call 1 is not the rule's call";
  EXPECT_EQ(process.UnfiredFaults()[0].function, "GetFileAttributesW");
  EXPECT_NE(process.AccountingReport().find("unfired_faults 2\nunfired_fault GetFileAttributesW:2:5\n"
                                            "unfired_fault CreateDirectoryW:all:5\n"),
            std::string::npos)
      << process.AccountingReport();
  EXPECT_EQ(GetFileAttributesW(kFile), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(CreateDirectoryW(u"C:\\x", nullptr), FALSE);
  EXPECT_TRUE(process.UnfiredFaults().empty());
  EXPECT_NE(process.AccountingReport().find("unfired_faults 0\n"), std::string::npos);
}

// Calls are numbered as the trace shows them, a call refused for its arguments included.
TEST_F(FaultRulesTest, CallNumbersCountEveryTracedCall) {
  sim::ProcessOptions options;
  options.faults = {{"RegOpenKeyExW", 2, ERROR_ACCESS_DENIED}};
  sim::Process& process = machine_.Start(options);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, nullptr),
            static_cast<LSTATUS>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &key), static_cast<LSTATUS>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(process.UnfiredFaults().empty());
}

TEST(FaultRuleTextTest, ChildStepsAreParsedAndWrittenBack) {
  for (const std::string text : {"WriteFile:1:112", "child-2/WriteFile:3:112", "child-*/child-1/CreateFileW:all:5"}) {
    const auto rule = sim::ParseFaultRule(text);
    ASSERT_TRUE(rule) << text;
    EXPECT_EQ(sim::FaultRuleText(*rule), text);
    const size_t slash = text.rfind('/') == std::string::npos ? 0 : text.rfind('/') + 1;
    EXPECT_EQ(sim::RuleFunction(*rule), text.substr(slash, text.find(':') - slash));
  }
  for (const char* bad : {"child-/WriteFile:1:5", "child-0/WriteFile:1:5", "child-x/WriteFile:1:5", "child-1WriteFile:1:5",
                          "child-1/:1:5"}) {
    EXPECT_FALSE(sim::ParseFaultRule(bad)) << bad;
  }
}

// winsim: a rule for the program's first child fails the child's call, not the parent's,
// and the child reports its own rules; a rule for a child never started is reported by
// the parent.
TEST_F(FaultRulesTest, WinsimHandsRulesOnToTheChildTheyName) {
  const fs::path trace = scratch_ / "trace.txt", accounting = scratch_ / "accounting.txt";
  auto run = [&](const std::vector<std::string>& rules) {
    std::vector<std::string> command = {(BuildDirectory() / "winsim").string(), "run", "--root",
                                        machine_.root().string(), "--trace", trace.string(), "--accounting",
                                        accounting.string(), "--image", "C:\\parent.exe"};
    for (const auto& rule : rules) {
      command.push_back("--fault");
      command.push_back(rule);
    }
    command.push_back((BuildDirectory() / "tests" / "spawn_program").string());
    fs::remove(trace);
    return RunHostCommand(command);
  };
  fs::copy_file(BuildDirectory() / "tests" / "report_program", machine_.HostPath(u"C:\\child.exe"));
  const auto handed = run({"child-1/GetModuleFileNameW:1:5", "child-2/CreateDirectoryW:1:5"});
  const std::string text = ReadHostFile(trace.string());
  // The parent's own call succeeded; the child's first failed with 5.
  EXPECT_NE(text.find("GetModuleFileNameW(null, 260) -> 13 \"C:\\\\parent.exe\""), std::string::npos) << text;
  EXPECT_NE(text.find("GetModuleFileNameW(null, 300) -> 0 [error 5]"), std::string::npos) << text;
  EXPECT_NE(ReadHostFile(accounting.string()).find("unfired_fault child-2/CreateDirectoryW:1:5\n"), std::string::npos)
      << ReadHostFile(accounting.string());
  EXPECT_NE(ReadHostFile(accounting.string() + ".child-1").find("unfired_faults 0\n"), std::string::npos);
  EXPECT_NE(handed.output.find("fault rule child-2/CreateDirectoryW:1:5 never fired"), std::string::npos)
      << handed.output;
  fs::remove(accounting.string() + ".child-1");
}

}  // namespace
