// The release-size payload, measured in one run: a 143,712,588-byte archive of
// incompressible data under "B7" and a 15,713,192-byte setup program in an MSZIP cabinet
// made by make_cabinet under "BL", built into a release image by make-installer.
//
// - unpack-only time of the stub (the host build under winsim, --pellora-unpack) against
//   the floor for writing from a mapped image: `dd bs=8M` of the archive plus `cabextract`
//   of the cabinet; and against `cp` of the two files the stub ends with;
// - the stub's peak memory (max RSS of winsim and the stub) against the image size;
// - the cabinet library stand-in, in this process through its callbacks, against
//   `cabextract` on the same cabinet;
// - the image's bytes outside .rsrc (headers and every other section, as llvm-readobj
//   reports them; the signature appended after the sections is not counted).
//
// Times are medians of --runs runs (default 5). Everything is made in a scratch folder
// (--scratch, default <build>/bench/release-size), removed at the end.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/fdi.h"
#include "sim/cabinet/decompression_context.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kArchiveBytes = 143'712'588;
constexpr uint64_t kSetupBytes = 15'713'192;

struct Measurement {
  double seconds;
  long max_rss_kib;  // of the command and everything it waited for
};

// Runs `argv` from a helper process so that the peak resident size reported is that of
// this command and its descendants alone. Throws when the command fails.
Measurement Run(const std::vector<std::string>& argv) {
  int report[2];
  if (::pipe(report) != 0) throw std::runtime_error("pipe failed");
  const auto start = std::chrono::steady_clock::now();
  const pid_t helper = ::fork();
  if (helper == 0) {
    ::close(report[0]);
    const pid_t child = ::fork();
    if (child == 0) {
      std::vector<char*> args;
      for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const long values[2] = {WIFEXITED(status) ? WEXITSTATUS(status) : 128, usage.ru_maxrss};
    [[maybe_unused]] ssize_t written = ::write(report[1], values, sizeof values);
    ::_exit(0);
  }
  ::close(report[1]);
  long values[2] = {-1, 0};
  [[maybe_unused]] ssize_t got = ::read(report[0], values, sizeof values);
  ::close(report[0]);
  ::waitpid(helper, nullptr, 0);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (values[0] != 0) {
    std::string command;
    for (const auto& arg : argv) command += arg + " ";
    throw std::runtime_error("exit status " + std::to_string(values[0]) + ": " + command);
  }
  return {seconds, values[1]};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void WriteFile(const fs::path& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Incompressible, like an archive that is already LZMA.
std::vector<unsigned char> Archive() {
  std::vector<unsigned char> bytes(kArchiveBytes);
  std::mt19937_64 generator(7);
  for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    const uint64_t word = generator();
    std::memcpy(bytes.data() + i, &word, 8);
  }
  for (size_t i = bytes.size() / 8 * 8; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(generator());
  return bytes;
}

// Like a program: stretches of incompressible code between compressible tables and text.
std::vector<unsigned char> SetupProgram() {
  std::mt19937 generator(1);
  std::vector<unsigned char> bytes;
  bytes.reserve(kSetupBytes + 100000);
  while (bytes.size() < kSetupBytes) {
    for (int i = 0; i < 40000; ++i) bytes.push_back(static_cast<unsigned char>(generator()));
    for (int i = 0; i < 2000; ++i) {
      for (char c : "resource string table entry ") bytes.push_back(static_cast<unsigned char>(c + i % 7));
    }
  }
  bytes.resize(kSetupBytes);
  return bytes;
}

// --- the cabinet library stand-in, through its callbacks, writing a real file ---------
const char* cabinet_output_directory = nullptr;

void* Alloc(ULONG bytes) { return std::malloc(bytes == 0 ? 1 : bytes); }
void Free(void* block) { std::free(block); }
INT_PTR Open(char* path, int, int) { return ::open(path, O_RDONLY); }
UINT Read(INT_PTR file, void* buffer, UINT bytes) {
  const ssize_t got = ::read(static_cast<int>(file), buffer, bytes);
  return got < 0 ? static_cast<UINT>(-1) : static_cast<UINT>(got);
}
UINT Write(INT_PTR file, void* buffer, UINT bytes) {
  const ssize_t put = ::write(static_cast<int>(file), buffer, bytes);
  return put < 0 ? static_cast<UINT>(-1) : static_cast<UINT>(put);
}
int Close(INT_PTR file) { return ::close(static_cast<int>(file)); }
LONG Seek(INT_PTR file, LONG distance, int type) {
  return static_cast<LONG>(::lseek(static_cast<int>(file), distance, type));
}
INT_PTR Notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION record) {
  if (type == fdintCOPY_FILE) {
    const std::string path = std::string(cabinet_output_directory) + "/" + record->psz1;
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (type == fdintCLOSE_FILE_INFO) {
    ::close(static_cast<int>(record->hf));
    return TRUE;
  }
  return 0;
}

double ExpandWithStandIn(const fs::path& cabinet, const fs::path& output) {
  fs::create_directories(output);
  const std::string output_text = output.string();
  cabinet_output_directory = output_text.c_str();
  std::string directory = cabinet.parent_path().string() + "/";
  std::string name = cabinet.filename().string();
  const auto start = std::chrono::steady_clock::now();
  ERF erf{};
  HFDI context = sim::cabinet::CreateContext(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf);
  const BOOL copied = sim::cabinet::CopyFromCabinet(context, name.data(), directory.data(), 0, Notify, nullptr, nullptr);
  sim::cabinet::DestroyContext(context);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!copied || fs::file_size(output / "setup.exe") != kSetupBytes) throw std::runtime_error("the stand-in did not expand the cabinet");
  return seconds;
}

// --- the image as llvm-readobj sees it -------------------------------------------------
std::string Capture(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  char buffer[4096];
  while (size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
  if (::pclose(pipe) != 0) throw std::runtime_error("failed: " + command);
  return output;
}

struct ImageLayout {
  uint64_t outside_resources = 0;
  std::string sections;
  uint64_t unwind_entries = 0;
};

ImageLayout ReadLayout(const fs::path& image) {
  const std::string text = Capture(std::string(LLVM_READOBJ) + " --file-headers --sections '" + image.string() + "'");
  ImageLayout layout;
  std::smatch match;
  if (!std::regex_search(text, match, std::regex("SizeOfHeaders: (\\d+)"))) throw std::runtime_error("no headers");
  layout.outside_resources = std::stoull(match[1]);
  layout.sections = "headers " + match[1].str();
  if (std::regex_search(text, match, std::regex("ExceptionTableSize: 0x([0-9A-Fa-f]+)"))) {
    layout.unwind_entries = std::stoull(match[1], nullptr, 16) / 8;
  }
  const std::regex section("Name: (\\S+) \\([^)]*\\)[\\s\\S]*?RawDataSize: (\\d+)");
  for (std::sregex_iterator it(text.begin(), text.end(), section), end; it != end; ++it) {
    layout.sections += ", " + (*it)[1].str() + " " + (*it)[2].str();
    if ((*it)[1] != ".rsrc") layout.outside_resources += std::stoull((*it)[2]);
  }
  return layout;
}

std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

std::string LoadAverage() {
  std::ifstream load("/proc/loadavg");
  std::string one, five;
  load >> one >> five;
  return one + " " + five;
}

void RemoveAllBut(const fs::path& directory, const fs::path& keep) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path() != keep) fs::remove_all(entry.path());
  }
}

struct Options {
  fs::path build;
  fs::path source;
  fs::path scratch;
  int runs = 5;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--build") options.build = argv[i + 1];
    else if (name == "--source") options.source = argv[i + 1];
    else if (name == "--scratch") options.scratch = argv[i + 1];
    else if (name == "--runs") options.runs = std::max(1, std::atoi(argv[i + 1]));
    else throw std::runtime_error("unknown option " + name);
  }
  if (options.build.empty() || options.source.empty()) {
    throw std::runtime_error("usage: release_size_bench --build DIR --source DIR [--scratch DIR] [--runs N]");
  }
  if (options.scratch.empty()) options.scratch = options.build / "bench" / "release-size";
  options.build = fs::absolute(options.build);
  options.source = fs::absolute(options.source);
  options.scratch = fs::absolute(options.scratch);
  return options;
}

void Bench(const Options& options) {
  const fs::path scratch = options.scratch;
  const fs::path payload = scratch / "payload", out = scratch / "out", root = scratch / "machine";
  const fs::path bench_dir = root / "C" / "bench";
  fs::create_directories(payload);
  fs::create_directories(out);
  fs::create_directories(bench_dir);
  const fs::path archive = payload / "PELLORA.PACKED.7Z", setup = payload / "setup.exe",
                 cabinet = payload / "setup.cab", image = bench_dir / "installer.exe";

  std::cout << "Making the payload and the release image in " << scratch << " ..." << std::endl;
  WriteFile(archive, Archive());
  WriteFile(setup, SetupProgram());
  Run({(options.build / "tools/cabinet/make_cabinet").string(), setup.string(), cabinet.string()});
  Run({(options.source / "tools/image/make-installer").string(), "--archive", archive.string(), "--archive-type", "B7",
       "--setup", cabinet.string(), "--setup-type", "BL", "--setup-cabinet", "--release-dir",
       (options.build / "release").string(), "--output", image.string()});
  const uint64_t image_bytes = fs::file_size(image);

  std::vector<double> stub, floor, copy, standin, cabextract, rss;
  const std::vector<std::string> unpack = {
      (options.build / "winsim").string(), "run", "--root", root.string(), "--image", "C:\\bench\\installer.exe",
      "--command-line", "\"C:\\bench\\installer.exe\" --pellora-unpack", "--virtual-sleep",
      (options.build / "installer_host").string()};
  for (int run = 0; run < options.runs; ++run) {
    std::cout << "run " << run + 1 << " of " << options.runs << std::endl;
    RemoveAllBut(bench_dir, image);
    const Measurement unpacked = Run(unpack);
    if (!fs::exists(bench_dir / "PELLORA.PACKED.7Z") || fs::file_size(bench_dir / "setup.exe") != kSetupBytes) {
      throw std::runtime_error("the stub did not unpack the payload");
    }
    stub.push_back(unpacked.seconds);
    rss.push_back(static_cast<double>(unpacked.max_rss_kib) * 1024);
    RemoveAllBut(bench_dir, image);

    fs::remove_all(out);
    fs::create_directories(out);
    const double dd = Run({"dd", "if=" + archive.string(), "of=" + (out / "PELLORA.PACKED.7Z").string(), "bs=8M",
                           "status=none"}).seconds;
    const double cab = Run({"cabextract", "-q", "-d", out.string(), cabinet.string()}).seconds;
    floor.push_back(dd + cab);

    fs::remove_all(out);
    fs::create_directories(out);
    copy.push_back(Run({"cp", archive.string(), setup.string(), out.string()}).seconds);

    fs::remove_all(out);
    fs::create_directories(out);
    cabextract.push_back(Run({"cabextract", "-q", "-d", out.string(), cabinet.string()}).seconds);
    fs::remove_all(out);
    standin.push_back(ExpandWithStandIn(cabinet, out));
  }
  fs::remove_all(out);

  const ImageLayout layout = ReadLayout(image);
  const double stub_s = Median(stub), floor_s = Median(floor), copy_s = Median(copy);
  const double standin_s = Median(standin), cabextract_s = Median(cabextract), rss_b = Median(rss);
  char line[256];
  std::cout << "\nRelease-size payload: archive " << kArchiveBytes << " bytes, setup " << kSetupBytes
            << " bytes in a cabinet of " << fs::file_size(cabinet) << " bytes; image " << image_bytes << " bytes\n";
  std::cout << "Machine: " << std::thread::hardware_concurrency() << " processors (nproc), " << CpuModel()
            << "; load average at the end " << LoadAverage() << "\n";
  std::cout << "Medians of " << options.runs << " runs:\n";
  std::snprintf(line, sizeof line, "  unpack-only, stub under winsim   %8.3f s\n", stub_s);
  std::cout << line;
  std::snprintf(line, sizeof line, "  floor: dd bs=8M + cabextract     %8.3f s   stub/floor %.2fx\n", floor_s, stub_s / floor_s);
  std::cout << line;
  std::snprintf(line, sizeof line, "  cp of archive and setup.exe      %8.3f s   stub/cp    %.2fx\n", copy_s, stub_s / copy_s);
  std::cout << line;
  std::snprintf(line, sizeof line, "  peak memory (max RSS)            %8.1f MiB  RSS/image  %.2fx\n", rss_b / 1048576,
                rss_b / static_cast<double>(image_bytes));
  std::cout << line;
  std::snprintf(line, sizeof line, "  cabinet: stand-in %.3f s, cabextract %.3f s   stand-in/cabextract %.2fx\n", standin_s,
                cabextract_s, standin_s / cabextract_s);
  std::cout << line;
  std::cout << "  image bytes outside .rsrc: " << layout.outside_resources << " (" << layout.sections << "; "
            << layout.unwind_entries << " unwind entries)\n";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
    Bench(options);
  } catch (const std::exception& error) {
    std::cerr << "release_size_bench: " << error.what() << "\n";
    if (!options.scratch.empty()) fs::remove_all(options.scratch);
    return 1;
  }
  fs::remove_all(options.scratch);
  return 0;
}
