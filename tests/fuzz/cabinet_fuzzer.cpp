// libFuzzer target for the cabinet library stand-in: any bytes as a cabinet, read through
// in-memory callbacks. AddressSanitizer catches a read or write out of bounds; the
// checks below catch contract faults: memory or handles not given back, writes to a
// handle that is not open, more bytes than an entry announced, a file closed short.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "platform/fdi.h"
#include "sim/cabinet/decompression_context.h"

namespace {

constexpr INT_PTR kCabinetHandle = 7;
constexpr INT_PTR kFirstOutput = 100;

struct Output {
  int64_t announced;
  int64_t written;
};

const uint8_t* cabinet = nullptr;
size_t cabinet_size = 0;
size_t position = 0;
bool cabinet_open = false;
std::set<void*> live;
std::map<INT_PTR, Output> outputs;
INT_PTR next_output = kFirstOutput;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void* Alloc(ULONG bytes) {
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  live.insert(block);
  return block;
}
void Free(void* block) {
  Check(live.erase(block) == 1);
  std::free(block);
}
INT_PTR Open(char* path, int flags, int) {
  Check(std::strcmp(path, "C:\\cabinets\\fuzz.cab") == 0);
  Check((flags & (_O_WRONLY | _O_RDWR | _O_CREAT)) == 0);
  Check(!cabinet_open);
  cabinet_open = true;
  position = 0;
  return kCabinetHandle;
}
UINT Read(INT_PTR file, void* buffer, UINT bytes) {
  Check(file == kCabinetHandle && cabinet_open);
  const size_t left = position < cabinet_size ? cabinet_size - position : 0;
  const size_t count = bytes < left ? bytes : left;
  std::memcpy(buffer, cabinet + position, count);
  position += count;
  return static_cast<UINT>(count);
}
UINT Write(INT_PTR file, void* buffer, UINT bytes) {
  auto it = outputs.find(file);
  Check(it != outputs.end());
  // Touch every byte so that the sanitizer sees a write from outside the data.
  volatile unsigned char sink = 0;
  for (UINT i = 0; i < bytes; ++i) sink = sink ^ static_cast<const unsigned char*>(buffer)[i];
  it->second.written += bytes;
  Check(it->second.written <= it->second.announced);
  return bytes;
}
int Close(INT_PTR file) {
  if (file == kCabinetHandle) {
    Check(cabinet_open);
    cabinet_open = false;
    return 0;
  }
  Check(outputs.erase(file) == 1);
  return 0;
}
LONG Seek(INT_PTR file, LONG distance, int type) {
  Check(file == kCabinetHandle && cabinet_open);
  const int64_t base = type == SEEK_SET_FDI ? 0 : type == SEEK_CUR_FDI ? static_cast<int64_t>(position)
                                                                       : static_cast<int64_t>(cabinet_size);
  Check(type >= 0 && type <= 2);
  const int64_t target = base + distance;
  if (target < 0) return -1;
  position = static_cast<size_t>(target);
  return static_cast<LONG>(target);
}

INT_PTR Notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION record) {
  if (record->psz1 != nullptr) Check(std::strlen(record->psz1) <= 256);
  switch (type) {
    case fdintCOPY_FILE: {
      Check(record->cb >= 0);
      const INT_PTR handle = next_output++;
      outputs[handle] = Output{record->cb, 0};
      return handle;
    }
    case fdintCLOSE_FILE_INFO: {
      auto it = outputs.find(record->hf);
      Check(it != outputs.end());
      Check(it->second.written == it->second.announced);
      outputs.erase(it);
      return TRUE;
    }
    case fdintNEXT_CABINET:
      return -1;
    default:
      return 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cabinet = data;
  cabinet_size = size;
  ERF erf{};
  HFDI context = sim::cabinet::CreateContext(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf);
  Check(context != nullptr);
  char name[] = "fuzz.cab";
  char path[] = "C:\\cabinets\\";
  const BOOL copied = sim::cabinet::CopyFromCabinet(context, name, path, 0, Notify, nullptr, nullptr);
  Check(copied || erf.fError == TRUE);
  Check(sim::cabinet::DestroyContext(context) == TRUE);
  Check(live.empty());
  Check(!cabinet_open);
  Check(outputs.empty());  // every output closed by the library or by CLOSE_FILE_INFO
  next_output = kFirstOutput;
  return 0;
}
