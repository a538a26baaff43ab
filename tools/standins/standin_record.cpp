#include "tools/standins/standin_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sim/core/text.h"

namespace standins {

namespace {

std::string Hex32(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace

std::string EncodeText(std::u16string_view text) {
  std::string out;
  for (char c : sim::ToUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '%') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

std::u16string DecodeText(std::string_view text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      bytes += static_cast<char>(std::strtoul(std::string(text.substr(i + 1, 2)).c_str(), nullptr, 16));
      i += 2;
    } else {
      bytes += text[i];
    }
  }
  return sim::ToUtf16(bytes);
}

std::u16string QuotedSwitchValue(std::u16string_view command_line, std::u16string_view name) {
  const std::u16string opening = u"--" + std::u16string(name) + u"=\"";
  const size_t start = command_line.find(opening);
  if (start == std::u16string_view::npos) return u"";
  const size_t value = start + opening.size();
  const size_t closing = command_line.find(u'"', value);
  if (closing == std::u16string_view::npos) return u"";
  return std::u16string(command_line.substr(value, closing - value));
}

std::u16string RecordPath(const sim::Machine& machine) {
  if (auto setting = machine.Setting(kRecordSetting)) return sim::ToUtf16(*setting);
  return kDefaultRecordPath;
}

bool AppendRun(const sim::Machine& machine, const StandInRun& run) {
  const sim::HostPath host = machine.Resolve(RecordPath(machine));
  if (!host.ok()) return false;
  std::error_code ignored;
  std::filesystem::create_directories(host.path.parent_path(), ignored);
  std::ostringstream block;
  block << "run " << run.program << "\n"
        << "command_line " << EncodeText(run.command_line) << "\n"
        << "module " << EncodeText(run.module) << "\n"
        << "current_directory " << EncodeText(run.current_directory) << "\n"
        << "startup_flags " << Hex32(run.startup_flags) << "\n"
        << "show_window " << run.show_window << "\n"
        << "creation_flags " << Hex32(run.creation_flags) << "\n";
  if (!run.archive.empty()) block << "archive " << EncodeText(run.archive) << "\n";
  for (const auto& [name, size] : run.beside) block << "beside " << size << " " << EncodeText(name) << "\n";
  block << "outcome " << run.outcome << "\n"
        << "exit_code " << Hex32(run.exit_code) << "\n"
        << "end\n";
  const std::string text = block.str();
  const int fd = ::open(host.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return written;
}

std::vector<StandInRun> ReadRuns(const std::filesystem::path& root) {
  const sim::Machine machine(root);
  const sim::HostPath host = machine.Resolve(RecordPath(machine));
  if (!host.ok()) return {};
  std::ifstream in(host.path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return ParseRuns(text.str());
}

std::vector<StandInRun> ParseRuns(const std::string& text) {
  std::vector<StandInRun> runs;
  std::istringstream in(text);
  StandInRun run;
  for (std::string line; std::getline(in, line);) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    auto number = [&] { return static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 0)); };
    if (key == "run") {
      run = StandInRun{};
      run.program = value;
    } else if (key == "command_line") {
      run.command_line = DecodeText(value);
    } else if (key == "module") {
      run.module = DecodeText(value);
    } else if (key == "current_directory") {
      run.current_directory = DecodeText(value);
    } else if (key == "startup_flags") {
      run.startup_flags = number();
    } else if (key == "show_window") {
      run.show_window = static_cast<WORD>(number());
    } else if (key == "creation_flags") {
      run.creation_flags = number();
    } else if (key == "archive") {
      run.archive = DecodeText(value);
    } else if (key == "beside") {
      const size_t name = value.find(' ');
      run.beside.emplace_back(DecodeText(value.substr(name + 1)), std::strtoull(value.c_str(), nullptr, 10));
    } else if (key == "outcome") {
      run.outcome = value;
    } else if (key == "exit_code") {
      run.exit_code = number();
    } else if (key == "end") {
      runs.push_back(run);
    }
  }
  return runs;
}

}  // namespace standins
