#include "tests/wine/wine_prefix.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "sim/core/text.h"
#include "tests/support/host_command.h"
#include "tools/standins/standin_record.h"

namespace wine {

namespace fs = std::filesystem;

namespace {

constexpr char16_t kHarnessFolder[] = u"C:\\PelloraTest\\";
constexpr char kWine[] = "/usr/lib/wine/wine64";
const std::string kStale = "stale ";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// One argument as Windows programs split them (CommandLineToArgvW's rules): quoted, inner
// quotes as \", backslashes doubled only before a quote. cmd.exe passes it on as it is, as
// long as it holds none of its own operators.
std::string Argument(const std::u16string& text) {
  const std::string utf8 = sim::ToUtf8(text);
  if (utf8.find_first_of("&|<>^%\r\n") != std::string::npos) {
    throw std::invalid_argument("a registry text that cmd.exe would change: " + utf8);
  }
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : utf8) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

std::string RegistryKey(const scenarios::RegistryValue& value) {
  return Argument(value.root + u"\\" + value.key) + (value.view32 ? " /reg:32" : " /reg:64");
}

}  // namespace

Prefix::Prefix(fs::path directory) : directory_(std::move(directory)), drive_c_(directory_ / "prefix" / "drive_c") {}

std::string Prefix::Unavailable() const {
  const std::string status = testing_support::ReadHostFile((directory_ / "status").string());
  if (status.empty()) return "no Wine prefix at " + directory_.string() + " (ctest starts tools/wine/wine-prefix.sh)";
  if (status == "ok\n") return "";
  return status.substr(0, status.find('\n'));
}

fs::path Prefix::HostPath(const std::u16string& windows_path) const {
  const std::string path = sim::ToUtf8(windows_path);
  if (path.size() < 3 || Lower(path.substr(0, 3)) != "c:\\") throw std::invalid_argument("not on C: " + path);
  fs::path host = drive_c_;
  std::istringstream names(path.substr(3));
  std::vector<std::string> parts;
  for (std::string name; std::getline(names, name, '\\');) {
    if (!name.empty()) parts.push_back(name);
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    fs::path next = host / parts[i];
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(host, error)) {
      if (Lower(entry.path().filename().string()) == Lower(parts[i])) next = entry.path();
    }
    host = next;
    if (i + 1 < parts.size()) fs::create_directories(host);
  }
  return host;
}

Prefix::Outcome Prefix::Run(const Request& request) const {
  const std::u16string job = std::u16string(kHarnessFolder) + u"job.txt";
  const fs::path job_host = HostPath(job), result_host = HostPath(job + u".exit");
  fs::remove(result_host);
  std::ofstream(job_host, std::ios::binary) << standins::EncodeText(request.application) << "\n"
                                            << standins::EncodeText(request.command_line) << "\n";

  // Every run starts from the same registry: the keys that the previous run set and this
  // one does not are deleted first; a value set before just as now stays (a Wine process
  // under emulation costs seconds).
  const fs::path set_before = directory_ / "registry-set.txt";
  std::set<std::string> previous, now;
  std::istringstream previous_lines(testing_support::ReadHostFile(set_before.string()));
  for (std::string line; std::getline(previous_lines, line);) previous.insert(line);
  for (const auto& value : request.registry) {
    now.insert(RegistryKey(value) + " /v " + Argument(value.name) + " /t REG_SZ /d " + Argument(value.text));
  }
  std::string batch = "@echo off\r\n";
  for (const auto& line : previous) {
    const size_t key = line.rfind(kStale, 0) == 0 ? kStale.size() : 0;
    if (now.count(line) == 0) batch += "reg delete " + line.substr(key, line.find(" /v ") - key) + " /f >nul 2>&1\r\n";
  }
  for (const auto& line : now) {
    if (previous.count(line) == 0) batch += "reg add " + line + " /f >nul\r\nif errorlevel 1 exit 90\r\n";
  }
  for (const auto& [name, value] : request.environment) batch += "set " + name + "=" + value + "\r\n";
  batch += sim::ToUtf8(kHarnessFolder) + "exit_code_parent.exe " + sim::ToUtf8(job) + "\r\n";
  std::ofstream(HostPath(std::u16string(kHarnessFolder) + u"run.bat"), std::ios::binary) << batch;

  const auto ran = testing_support::RunHostCommand(
      {kWine, "cmd", "/c", sim::ToUtf8(kHarnessFolder) + "run.bat"},
      {{"WINEPREFIX", (directory_ / "prefix").string()},
       {"TMPDIR", (directory_ / "tmp").string()},  // as wine-prefix.sh gives its server
       {"WINEDEBUG", "-all"},
       {"DISPLAY", ""}});
  // After a failed batch, what is set is not known: every key of either run is deleted (and
  // set again) next time.
  if (ran.exit_status != 0) {
    std::set<std::string> stale;
    for (const auto* lines : {&previous, &now}) {
      for (const auto& line : *lines) stale.insert(line.rfind(kStale, 0) == 0 ? line : kStale + line);
    }
    now = stale;
  }
  std::ofstream set_now(set_before, std::ios::trunc);
  for (const auto& line : now) set_now << line << "\n";
  set_now.close();
  Outcome outcome;
  const std::string result = testing_support::ReadHostFile(result_host.string());
  if (result.rfind("exit_code ", 0) == 0) {
    outcome.exit_code = static_cast<DWORD>(std::stoul(result.substr(10), nullptr, 16));
  } else {
    outcome.failure = result.empty() ? "wine exit status " + std::to_string(ran.exit_status) + ": " + ran.output : result;
  }
  return outcome;
}

const Prefix& BuildPrefix() {
  static const Prefix prefix(fs::path(PELLORA_BUILD_DIR) / "wine");
  return prefix;
}

}  // namespace wine
