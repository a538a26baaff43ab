#include "sim/core/process.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "sim/core/fault_catalog.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

namespace sim {

namespace {

std::unique_ptr<Process> current_process;
std::function<void(const Process&)> process_end_observer;
thread_local DWORD last_error = 0;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

}  // namespace

std::string_view RuleFunction(const FaultRule& rule) {
  const auto slash = rule.function.rfind('/');
  return std::string_view(rule.function).substr(slash == std::string::npos ? 0 : slash + 1);
}

std::optional<FaultRule> ParseFaultRule(const std::string& text) {
  FaultRule rule;
  std::string children;
  std::string rest = text;
  // Leading "child-K/" steps name the child the rule is for.
  while (rest.rfind("child-", 0) == 0) {
    const auto slash = rest.find('/');
    if (slash == std::string::npos) return std::nullopt;
    const std::string child = rest.substr(6, slash - 6);
    const bool every = child == "*";
    const bool number = !child.empty() && child.find_first_not_of("0123456789") == std::string::npos &&
                        std::strtoull(child.c_str(), nullptr, 10) != 0;
    if (!every && !number) return std::nullopt;
    children += rest.substr(0, slash + 1);
    rest = rest.substr(slash + 1);
  }
  const auto first = rest.find(':');
  const auto second = first == std::string::npos ? first : rest.find(':', first + 1);
  if (second == std::string::npos || first == 0) return std::nullopt;
  rule.function = children + rest.substr(0, first);
  const std::string call = rest.substr(first + 1, second - first - 1);
  const std::string error = rest.substr(second + 1);
  char* end = nullptr;
  if (call != "all") {
    rule.call = std::strtoull(call.c_str(), &end, 10);
    if (call.empty() || *end != 0 || rule.call == 0) return std::nullopt;
  }
  rule.error = static_cast<DWORD>(std::strtoul(error.c_str(), &end, 0));
  if (error.empty() || *end != 0) return std::nullopt;
  return rule;
}

std::string FaultRuleText(const FaultRule& rule) {
  return rule.function + ":" + (rule.call == 0 ? "all" : std::to_string(rule.call)) + ":" +
         std::to_string(rule.error);
}

std::optional<std::vector<BYTE>> ParseHexBytes(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<BYTE> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const std::string pair = text.substr(i, 2);
    if (!std::isxdigit(static_cast<unsigned char>(pair[0])) || !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<BYTE>(std::strtoul(pair.c_str(), nullptr, 16)));
  }
  return bytes;
}

std::string HexBytes(const std::vector<BYTE>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (BYTE byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::map<std::string, std::string> ProcessOptions::ToEnvironment() const {
  std::map<std::string, std::string> environment = {
      {"WINSIM_ROOT", root.string()},
      {"WINSIM_IMAGE", ToUtf8(image)},
      {"WINSIM_COMMAND_LINE", ToUtf8(command_line)},
      {"WINSIM_CURRENT_DIRECTORY", ToUtf8(current_directory)},
      {"WINSIM_TRACE", trace_file},
      {"WINSIM_ACCOUNTING", accounting_file},
      {"WINSIM_SLEEP", virtual_sleep ? "virtual" : "real"},
      {"WINSIM_EXIT_FD", std::to_string(exit_fd)},
      {"WINSIM_RANDOM", HexBytes(random_bytes)},
      {"WINSIM_STARTUP_FLAGS", std::to_string(startup_flags)},
      {"WINSIM_SHOW_WINDOW", std::to_string(show_window)},
      {"WINSIM_CREATION_FLAGS", std::to_string(creation_flags)},
  };
  std::string faults_text;
  for (const auto& rule : faults) {
    if (!faults_text.empty()) faults_text += ",";
    faults_text += FaultRuleText(rule);
  }
  environment["WINSIM_FAULTS"] = faults_text;
  return environment;
}

ProcessOptions ProcessOptions::FromEnvironment() {
  ProcessOptions options;
  options.root = Environment("WINSIM_ROOT");
  if (options.root.empty()) options.root = DefaultMachineRoot();
  options.image = ToUtf16(Environment("WINSIM_IMAGE"));
  options.command_line = ToUtf16(Environment("WINSIM_COMMAND_LINE"));
  if (auto directory = Environment("WINSIM_CURRENT_DIRECTORY"); !directory.empty()) {
    options.current_directory = ToUtf16(directory);
  }
  options.trace_file = Environment("WINSIM_TRACE");
  options.accounting_file = Environment("WINSIM_ACCOUNTING");
  options.virtual_sleep = Environment("WINSIM_SLEEP") == "virtual";
  std::stringstream faults(Environment("WINSIM_FAULTS"));
  for (std::string item; std::getline(faults, item, ',');) {
    auto rule = ParseFaultRule(item);
    if (!rule) throw std::invalid_argument("bad fault rule '" + item + "' (want NAME:N:ERROR)");
    options.faults.push_back(*rule);
  }
  const std::string exit_fd = Environment("WINSIM_EXIT_FD");
  options.exit_fd = exit_fd.empty() ? -1 : std::atoi(exit_fd.c_str());
  options.random_bytes = ParseHexBytes(Environment("WINSIM_RANDOM")).value_or(std::vector<BYTE>{});
  options.startup_flags = static_cast<DWORD>(std::strtoul(Environment("WINSIM_STARTUP_FLAGS").c_str(), nullptr, 10));
  options.show_window = static_cast<WORD>(std::strtoul(Environment("WINSIM_SHOW_WINDOW").c_str(), nullptr, 10));
  options.creation_flags = static_cast<DWORD>(std::strtoul(Environment("WINSIM_CREATION_FLAGS").c_str(), nullptr, 10));
  return options;
}

Process::Process(ProcessOptions options)
    : options_(std::move(options)), machine_(options_.root), command_line_(options_.command_line) {
  // A rule that could never fire would let a test pass without the failure it asks for.
  for (const auto& rule : options_.faults) {
    if (const std::string problem = FaultRuleProblem(RuleFunction(rule)); !problem.empty()) {
      throw std::invalid_argument("fault rule " + FaultRuleText(rule) + ": " + problem);
    }
  }
  fault_fired_.assign(options_.faults.size(), false);
  // The exit-code pipe belongs to this process alone, not to the programs it starts.
  if (options_.exit_fd >= 0) ::fcntl(options_.exit_fd, F_SETFD, FD_CLOEXEC);
  OpenTrace(options_.trace_file);
  MapImage();
}

Process::~Process() {
  ReleaseAtExit();
  for (auto& [block, allocation] : allocations_) std::free(block);
  if (image_base_ != nullptr) ::munmap(image_base_, image_size_);
  CloseTrace();
}

void Process::MapImage() {
  if (options_.image.empty()) return;
  const HostPath host = machine_.Resolve(options_.image);
  if (!host.ok()) return;
  const int fd = ::open(host.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && status.st_size > 0) {
    void* base = ::mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (base != MAP_FAILED) {
      image_base_ = static_cast<BYTE*>(base);
      image_size_ = static_cast<size_t>(status.st_size);
      // A process started by another simulated one was recorded by its parent already
      // (ChildProcess::Start); this entry also covers one started in-process.
      image_entry_ = std::make_unique<ShareTableEntry>(machine_.root(), FileKey{status.st_dev, status.st_ino},
                                                       kImageAccess, kImageShare, true);
    }
  }
  ::close(fd);
}

void Process::ReleaseAtExit() {
  handles_.CloseAll();
  image_entry_.reset();
}

void* Process::Allocate(SIZE_T bytes, bool zero, bool local) {
  void* block = zero ? std::calloc(bytes == 0 ? 1 : bytes, 1) : std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) return nullptr;
  allocations_[block] = Allocation{bytes, local};
  if (bytes > accounting_.largest_block) accounting_.largest_block = bytes;
  return block;
}

bool Process::Release(void* block, bool local) {
  auto it = allocations_.find(block);
  if (it == allocations_.end() || it->second.local != local) return false;
  allocations_.erase(it);
  std::free(block);
  return true;
}

void Process::RecordPause(DWORD milliseconds) {
  ++accounting_.pauses;
  accounting_.pause_milliseconds += milliseconds;
  if (pause_observer_) pause_observer_(accounting_.pauses);
}

void Process::RecordModuleLoad(HMODULE module, const std::u16string& path) {
  for (auto& loaded : accounting_.loaded_modules) {
    if (loaded.module == module) {
      ++loaded.loads;
      return;
    }
  }
  accounting_.loaded_modules.push_back({module, path, 1});
}

Accounting Process::Snapshot() const {
  Accounting snapshot = accounting_;
  for (const auto& [block, allocation] : allocations_) {
    ++(allocation.local ? snapshot.live_local_blocks : snapshot.live_heap_blocks);
  }
  snapshot.open_handles = handles_.OpenHandles();
  return snapshot;
}

std::string Process::AccountingReport() const {
  const Accounting snapshot = Snapshot();
  std::ostringstream report;
  report << "open_handles " << snapshot.open_handles.size() << "\n"
         << "live_heap_blocks " << snapshot.live_heap_blocks << "\n"
         << "live_local_blocks " << snapshot.live_local_blocks << "\n"
         << "largest_block " << snapshot.largest_block << "\n"
         << "pauses " << snapshot.pauses << "\n"
         << "pause_milliseconds " << snapshot.pause_milliseconds << "\n"
         << "working_set_trims " << snapshot.working_set_trims << "\n"
         << "loaded_modules " << snapshot.loaded_modules.size() << "\n";
  const std::vector<FaultRule> unfired = UnfiredFaults();
  report << "unfired_faults " << unfired.size() << "\n";
  for (const auto& rule : unfired) report << "unfired_fault " << FaultRuleText(rule) << "\n";
  for (const auto& handle : snapshot.open_handles) {
    report << "handle " << Pointer(handle.handle) << " " << handle.kind << " " << handle.description << "\n";
  }
  for (const auto& loaded : snapshot.loaded_modules) {
    report << "module " << Pointer(loaded.module) << " " << ToUtf8(loaded.path) << " loads " << loaded.loads << "\n";
  }
  return report.str();
}

void Process::CountCall(std::string_view function) {
  auto it = call_counts_.find(function);
  if (it == call_counts_.end()) it = call_counts_.emplace(std::string(function), 0).first;
  ++it->second;
}

std::optional<DWORD> Process::TakeFault(const std::string& function) {
  const auto counted = call_counts_.find(function);
  const uint64_t call = counted == call_counts_.end() ? 0 : counted->second;
  for (size_t i = 0; i < options_.faults.size(); ++i) {
    const FaultRule& rule = options_.faults[i];
    if (rule.function != function) continue;
    if (rule.call == 0 || rule.call == call) {
      fault_fired_[i] = true;
      return rule.error;
    }
  }
  return std::nullopt;
}

std::vector<FaultRule> Process::FaultsForNextChild() {
  const std::string number = std::to_string(++children_started_);
  std::vector<FaultRule> handed_on;
  for (size_t i = 0; i < options_.faults.size(); ++i) {
    const FaultRule& rule = options_.faults[i];
    const auto slash = rule.function.find('/');
    if (slash == std::string::npos) continue;
    const std::string child = rule.function.substr(6, slash - 6);
    if (child != "*" && child != number) continue;
    FaultRule passed = rule;
    passed.function = rule.function.substr(slash + 1);
    handed_on.push_back(passed);
    fault_fired_[i] = true;
  }
  return handed_on;
}

std::vector<FaultRule> Process::UnfiredFaults() const {
  std::vector<FaultRule> unfired;
  for (size_t i = 0; i < options_.faults.size(); ++i) {
    if (!fault_fired_[i]) unfired.push_back(options_.faults[i]);
  }
  return unfired;
}

size_t Process::TakeScriptedRandom(BYTE* destination, size_t count) {
  const size_t available = options_.random_bytes.size() - random_bytes_taken_;
  const size_t taken = count < available ? count : available;
  if (taken == 0) return 0;
  std::memcpy(destination, options_.random_bytes.data() + random_bytes_taken_, taken);
  random_bytes_taken_ += taken;
  return taken;
}

Process& CurrentProcess() {
  if (!current_process) StartProcess(ProcessOptions::FromEnvironment());
  return *current_process;
}

Process& StartProcess(ProcessOptions options) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  EndProcess();
  current_process = std::make_unique<Process>(std::move(options));
  last_error = 0;
  return *current_process;
}

void EndProcess() {
  if (current_process && process_end_observer) process_end_observer(*current_process);
  current_process.reset();
}

void SetProcessEndObserver(std::function<void(const Process&)> observer) {
  process_end_observer = std::move(observer);
}

DWORD LastError() { return last_error; }
void SetLastErrorValue(DWORD error) { last_error = error; }

}  // namespace sim
