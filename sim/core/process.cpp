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

#include "sim/core/text.h"
#include "sim/core/trace.h"

namespace sim {

namespace {

std::unique_ptr<Process> current_process;
thread_local DWORD last_error = 0;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

}  // namespace

std::optional<FaultRule> ParseFaultRule(const std::string& text) {
  const auto first = text.find(':');
  const auto second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos || first == 0) return std::nullopt;
  FaultRule rule;
  rule.function = text.substr(0, first);
  const std::string call = text.substr(first + 1, second - first - 1);
  const std::string error = text.substr(second + 1);
  char* end = nullptr;
  if (call != "all") {
    rule.call = std::strtoull(call.c_str(), &end, 10);
    if (call.empty() || *end != 0 || rule.call == 0) return std::nullopt;
  }
  rule.error = static_cast<DWORD>(std::strtoul(error.c_str(), &end, 0));
  if (error.empty() || *end != 0) return std::nullopt;
  return rule;
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
    faults_text += rule.function + ":" + (rule.call == 0 ? "all" : std::to_string(rule.call)) + ":" +
                   std::to_string(rule.error);
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
    if (auto rule = ParseFaultRule(item)) options.faults.push_back(*rule);
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
  handles_.Clear();
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
  for (const auto& handle : snapshot.open_handles) {
    report << "handle " << Pointer(handle.handle) << " " << handle.kind << " " << handle.description << "\n";
  }
  for (const auto& loaded : snapshot.loaded_modules) {
    report << "module " << Pointer(loaded.module) << " " << ToUtf8(loaded.path) << " loads " << loaded.loads << "\n";
  }
  return report.str();
}

std::optional<DWORD> Process::TakeFault(const std::string& function) {
  const uint64_t call = ++call_counts_[function];
  for (const auto& rule : options_.faults) {
    if (rule.function == function && (rule.call == 0 || rule.call == call)) return rule.error;
  }
  return std::nullopt;
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
  current_process.reset();
  current_process = std::make_unique<Process>(std::move(options));
  last_error = 0;
  return *current_process;
}

void EndProcess() { current_process.reset(); }

DWORD LastError() { return last_error; }
void SetLastErrorValue(DWORD error) { last_error = error; }

}  // namespace sim
