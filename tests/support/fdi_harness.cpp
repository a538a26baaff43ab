#include "tests/support/fdi_harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "sim/cabinet/cabinet_library.h"

namespace testing_support {

namespace {

constexpr INT_PTR kFirstOutput = 0x10000;

struct HarnessState {
  const FdiRunOptions* options;
  FdiRunResult* result;
  int allocations = 0;
  int writes = 0;
  std::set<void*> live;
  std::set<int> cabinets;
  std::map<INT_PTR, std::string> outputs;  // handle -> name, while open
  INT_PTR next_output = kFirstOutput;
};
HarnessState* state = nullptr;

void* Alloc(ULONG bytes) {
  if (++state->allocations == state->options->fail_allocation) return nullptr;
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  state->live.insert(block);
  return block;
}
void Free(void* block) {
  state->live.erase(block);
  std::free(block);
}
INT_PTR Open(char* path, int flags, int) {
  state->result->open_flags = flags;
  state->result->opened_path = path;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  state->cabinets.insert(fd);
  return fd;
}
UINT Read(INT_PTR file, void* buffer, UINT bytes) {
  const ssize_t got = ::read(static_cast<int>(file), buffer, bytes);
  return got < 0 ? static_cast<UINT>(-1) : static_cast<UINT>(got);
}
UINT Write(INT_PTR file, void* buffer, UINT bytes) {
  auto it = state->outputs.find(file);
  if (it == state->outputs.end() || ++state->writes == state->options->fail_write) return static_cast<UINT>(-1);
  state->result->output[it->second].append(static_cast<const char*>(buffer), bytes);
  return bytes;
}
int Close(INT_PTR file) {
  if (state->outputs.erase(file) != 0) {
    ++state->result->outputs_closed_by_library;
    return 0;
  }
  if (state->cabinets.erase(static_cast<int>(file)) == 0) return -1;
  return ::close(static_cast<int>(file));
}
LONG Seek(INT_PTR file, LONG distance, int type) {
  const off_t at = ::lseek(static_cast<int>(file), distance, type);
  return at < 0 ? -1 : static_cast<LONG>(at);
}

INT_PTR Notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION record) {
  auto text = [](const char* s) { return s == nullptr ? std::string("(null)") : std::string(s); };
  const RecordedNotification recorded{type, record->cb, text(record->psz1), text(record->psz2), text(record->psz3),
                                      record->pv, record->hf, record->date, record->time, record->attribs,
                                      record->setID, record->iCabinet, record->iFolder, record->fdie};
  state->result->notifications.push_back(recorded);
  INT_PTR answer = 0;
  if (state->options->answer) {
    answer = state->options->answer(recorded);
  } else if (type == fdintCOPY_FILE) {
    answer = 1;  // any non-zero, non -1 value: extract
  } else if (type == fdintCLOSE_FILE_INFO) {
    answer = TRUE;
  }
  if (type == fdintCOPY_FILE && answer != 0 && answer != -1) {
    answer = state->next_output++;
    state->outputs[answer] = recorded.psz1;
    state->result->output[recorded.psz1];
  }
  // The application owns the handle from here: it closes it itself.
  if (type == fdintCLOSE_FILE_INFO && state->outputs.erase(record->hf) != 0) state->result->files.push_back(recorded.psz1);
  return answer;
}

}  // namespace

FdiEntryPoints StandInEntryPoints() {
  return {&sim::cabinet::FDICreate, &sim::cabinet::FDICopy, &sim::cabinet::FDIDestroy};
}

FdiRunResult RunFdiCopy(const std::string& directory, const std::string& name, const FdiRunOptions& options,
                        FdiEntryPoints entry) {
  FdiRunResult result;
  HarnessState harness{&options, &result};
  state = &harness;
  const HFDI context = entry.create(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &result.erf);
  result.created = context != nullptr;
  if (context != nullptr) {
    std::string directory_copy = directory, name_copy = name;
    result.copied = entry.copy(context, name_copy.data(), directory_copy.data(), 0, Notify, nullptr, &result);
    result.open_cabinets = static_cast<int>(harness.cabinets.size());
    result.destroyed = entry.destroy(context);
  }
  result.live_allocations = static_cast<int>(harness.live.size());
  for (int fd : harness.cabinets) ::close(fd);
  for (void* block : harness.live) std::free(block);
  state = nullptr;
  return result;
}

}  // namespace testing_support
