// make_cabinet: writes a setup program as the cabinet that a "BL" setup resource holds.
//
//   make_cabinet [--name NAME] [--date-time YYYY-MM-DDTHH:MM:SS] [--attributes HEX] [--checksums]
//                INPUT OUTPUT
//
// NAME is the file's name inside the cabinet (default "setup.exe"). The date and time
// default to the input's modification time in the host's local time zone. The attribute
// word is 0, as the release payload carries it, unless --attributes gives another.
// --checksums computes the block checksums instead of writing 0 (for readers that insist).
// Exit status: 0 written, 1 failed (the message names the file), 2 bad usage.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/cabinet/cabinet_writer.h"

namespace {

constexpr int kUsageError = 2;

int Usage(const std::string& problem) {
  std::cerr << "make_cabinet: " << problem << "\n"
            << "usage: make_cabinet [--name NAME] [--date-time YYYY-MM-DDTHH:MM:SS] [--attributes HEX] [--checksums]"
               " INPUT OUTPUT\n";
  return kUsageError;
}

bool ParseDateTime(const std::string& text, cabinet_tool::CabinetEntry* entry) {
  int year, month, day, hour, minute, second;
  char tail;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second, &tail) != 6 ||
      month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  return cabinet_tool::ToDosDateTime(year, month, day, hour, minute, second, &entry->date, &entry->time);
}

bool StampFromFile(const std::string& path, cabinet_tool::CabinetEntry* entry, bool have_time) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return false;
  if (!have_time) {
    std::tm local{};
    if (::localtime_r(&status.st_mtime, &local) == nullptr ||
        !cabinet_tool::ToDosDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                     local.tm_min, local.tm_sec, &entry->date, &entry->time)) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  cabinet_tool::CabinetEntry entry;
  bool have_time = false;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool has_value = i + 1 < argc;
    if (argument == "--name" && has_value) {
      entry.name = argv[++i];
    } else if (argument == "--date-time" && has_value) {
      if (!ParseDateTime(argv[++i], &entry)) return Usage("bad --date-time: " + std::string(argv[i]));
      have_time = true;
    } else if (argument == "--attributes" && has_value) {
      char* end = nullptr;
      const unsigned long value = std::strtoul(argv[++i], &end, 16);
      if (*end != 0 || value > 0xFFFF) return Usage("bad --attributes: " + std::string(argv[i]));
      entry.attributes = static_cast<uint16_t>(value);
    } else if (argument == "--checksums") {
      entry.checksums = true;
    } else if (argument.rfind("--", 0) == 0) {
      return Usage("unknown or incomplete option " + argument);
    } else {
      paths.push_back(argument);
    }
  }
  if (paths.size() != 2) return Usage("expected INPUT and OUTPUT");
  const std::string& input_path = paths[0];
  const std::string& output_path = paths[1];

  std::ifstream input(input_path, std::ios::binary);
  if (!input) {
    std::cerr << "make_cabinet: cannot read " << input_path << "\n";
    return 1;
  }
  const std::vector<unsigned char> contents((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
  if (input.bad() || !StampFromFile(input_path, &entry, have_time)) {
    std::cerr << "make_cabinet: cannot read " << input_path << " or its date\n";
    return 1;
  }
  std::string error;
  const std::vector<unsigned char> cabinet = cabinet_tool::MakeCabinet(contents, entry, &error);
  if (cabinet.empty()) {
    std::cerr << "make_cabinet: " << input_path << ": " << error << "\n";
    return 1;
  }
  std::ofstream output(output_path, std::ios::binary | std::ios::trunc);
  output.write(reinterpret_cast<const char*>(cabinet.data()), static_cast<std::streamsize>(cabinet.size()));
  output.close();
  if (!output) {
    std::cerr << "make_cabinet: cannot write " << output_path << "\n";
    std::remove(output_path.c_str());
    return 1;
  }
  return 0;
}
