// How fast the cabinet library stand-in expands a setup cabinet as make_cabinet writes
// it, from memory to nowhere: the cost of the library itself, not of a file system.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "platform/fdi.h"
#include "sim/cabinet/decompression_context.h"
#include "tools/cabinet/cabinet_writer.h"

namespace {

const std::vector<unsigned char>* cabinet = nullptr;
size_t position = 0;
uint64_t written = 0;

void* Alloc(ULONG bytes) { return std::malloc(bytes == 0 ? 1 : bytes); }
void Free(void* block) { std::free(block); }
INT_PTR Open(char*, int, int) {
  position = 0;
  return 1;
}
UINT Read(INT_PTR, void* buffer, UINT bytes) {
  const size_t count = std::min<size_t>(bytes, cabinet->size() - std::min(position, cabinet->size()));
  std::memcpy(buffer, cabinet->data() + position, count);
  position += count;
  return static_cast<UINT>(count);
}
UINT Write(INT_PTR, void*, UINT bytes) {
  written += bytes;
  return bytes;
}
int Close(INT_PTR) { return 0; }
LONG Seek(INT_PTR, LONG distance, int type) {
  position = static_cast<size_t>((type == SEEK_SET_FDI ? 0 : type == SEEK_CUR_FDI ? position : cabinet->size()) + distance);
  return static_cast<LONG>(position);
}
INT_PTR Notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION) {
  return type == fdintCOPY_FILE ? 2 : type == fdintCLOSE_FILE_INFO ? TRUE : 0;
}

// Like a program: stretches of incompressible code between compressible tables and text.
std::vector<unsigned char> SetupProgram(size_t size) {
  std::mt19937 generator(1);
  std::vector<unsigned char> bytes;
  while (bytes.size() < size) {
    for (int i = 0; i < 20000; ++i) bytes.push_back(static_cast<unsigned char>(generator()));
    for (int i = 0; i < 2000; ++i) {
      for (char c : "resource string table entry ") bytes.push_back(static_cast<unsigned char>(c + i % 7));
    }
  }
  bytes.resize(size);
  return bytes;
}

void ExpandSetupCabinet(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::string error;
  const std::vector<unsigned char> cab = cabinet_tool::MakeCabinet(SetupProgram(size), {}, &error);
  if (cab.empty()) throw std::runtime_error(error);
  cabinet = &cab;
  for (auto _ : state) {
    written = 0;
    ERF erf{};
    HFDI context = sim::cabinet::CreateContext(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf);
    char name[] = "setup.cab", path[] = "C:\\";
    const BOOL copied = sim::cabinet::CopyFromCabinet(context, name, path, 0, Notify, nullptr, nullptr);
    sim::cabinet::DestroyContext(context);
    if (!copied || written != size) state.SkipWithError("the cabinet did not expand");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.counters["cabinet_bytes"] = static_cast<double>(cab.size());
}
BENCHMARK(ExpandSetupCabinet)->Arg(1 << 20)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
