#include "sim/cabinet/decompression_context.h"

#include <cstring>
#include <new>

#include "sim/cabinet/cabinet_layout.h"
#include "sim/cabinet/callback_memory.h"
#include "sim/cabinet/callback_reader.h"
#include "sim/cabinet/folder_decoder.h"

namespace sim::cabinet {

namespace {

constexpr uint32_t kContextTag = 0x49444643;  // "CFDI": guards against a stray pointer
constexpr uint32_t kMaxFileBytes = 0x7FFF8000;
constexpr uint32_t kWriteChunk = 32768;

struct Context {
  uint32_t tag;
  CallbackMemory memory;
  PFNOPEN open;
  PFNREAD read;
  PFNWRITE write;
  PFNCLOSE close;
  PFNSEEK seek;
  ERF* erf;
};

Context* FromHandle(HFDI handle) {
  auto* context = static_cast<Context*>(handle);
  return context != nullptr && context->tag == kContextTag ? context : nullptr;
}

void Fail(ERF* erf, FDIERROR error) {
  if (erf == nullptr) return;
  erf->erfOper = error;
  erf->erfType = 0;
  erf->fError = TRUE;
}

struct FileEntry {
  uint32_t size = 0;
  uint32_t folder_offset = 0;
  uint16_t folder = 0;
  uint16_t date = 0;
  uint16_t time = 0;
  uint16_t attributes = 0;
  char name[kMaxNameBytes + 1] = {};
};

// One FDICopy over one opened cabinet.
class CopyRun {
 public:
  CopyRun(Context& context, INT_PTR cabinet, char* cabinet_path, PFNFDINOTIFY notify, void* user)
      : context_(context), reader_(cabinet, context.read, context.seek), cabinet_path_(cabinet_path),
        notify_(notify), user_(user) {}

  FDIERROR Execute();

 private:
  FDIERROR ReadHeader();
  FDIERROR ReadSetNames(uint32_t* offset);
  FDIERROR ReadFolders(uint32_t offset);
  FDIERROR ReadFile(uint32_t* offset, FileEntry* entry);
  FDIERROR ExtractFile(FileEntry& entry);
  FDIERROR WriteContents(FileEntry& entry, INT_PTR output);
  FDIERROR ContinueIntoNextCabinet();
  INT_PTR Notify(FDINOTIFICATIONTYPE type, FDINOTIFICATION& record);

  Context& context_;
  CallbackReader reader_;
  char* cabinet_path_;
  PFNFDINOTIFY notify_;
  void* user_;

  uint32_t cabinet_end_ = 0;
  uint32_t files_offset_ = 0;
  uint16_t folder_count_ = 0;
  uint16_t file_count_ = 0;
  uint16_t flags_ = 0;
  uint16_t set_id_ = 0;
  uint16_t cabinet_index_ = 0;
  uint16_t header_reserve_ = 0;
  uint8_t folder_reserve_ = 0;
  uint8_t block_reserve_ = 0;
  char previous_cabinet_[kMaxSetNameBytes + 1] = {};
  char previous_disk_[kMaxSetNameBytes + 1] = {};
  char next_cabinet_[kMaxSetNameBytes + 1] = {};
  char next_disk_[kMaxSetNameBytes + 1] = {};
  CallbackBlock folders_;  // folder_count_ FolderRecords
  FolderDecoder* decoder_ = nullptr;
};

INT_PTR CopyRun::Notify(FDINOTIFICATIONTYPE type, FDINOTIFICATION& record) {
  record.pv = user_;
  return notify_(type, &record);
}

FDIERROR CopyRun::ReadHeader() {
  uint32_t file_size = 0;
  unsigned char header[kHeaderBytes];
  if (!reader_.MeasureSize(&file_size) || !reader_.ReadAt(0, header, sizeof header)) {
    return FDIERROR_NOT_A_CABINET;
  }
  if (std::memcmp(header, "MSCF", 4) != 0) return FDIERROR_NOT_A_CABINET;
  if (header[25] != 1 || header[24] != 3) return FDIERROR_UNKNOWN_CABINET_VERSION;
  cabinet_end_ = Read32(header + 8);
  files_offset_ = Read32(header + 16);
  folder_count_ = Read16(header + 26);
  file_count_ = Read16(header + 28);
  flags_ = Read16(header + 30);
  set_id_ = Read16(header + 32);
  cabinet_index_ = Read16(header + 34);
  // A cabinet-size field beyond the file's end is a truncated cabinet.
  if (cabinet_end_ > file_size || cabinet_end_ < kHeaderBytes) return FDIERROR_CORRUPT_CABINET;
  uint32_t offset = kHeaderBytes;
  if ((flags_ & kFlagReservePresent) != 0) {
    unsigned char reserve[kHeaderReserveBytes];
    if (!reader_.ReadAt(offset, reserve, sizeof reserve)) return FDIERROR_CORRUPT_CABINET;
    header_reserve_ = Read16(reserve);
    folder_reserve_ = reserve[2];
    block_reserve_ = reserve[3];
    if (header_reserve_ > 60000) return FDIERROR_CORRUPT_CABINET;
    offset += kHeaderReserveBytes + header_reserve_;
  }
  if (const FDIERROR error = ReadSetNames(&offset); error != FDIERROR_NONE) return error;
  if (offset > cabinet_end_ || files_offset_ > cabinet_end_) return FDIERROR_CORRUPT_CABINET;
  return ReadFolders(offset);
}

FDIERROR CopyRun::ReadSetNames(uint32_t* offset) {
  struct Pair {
    uint16_t flag;
    char* cabinet;
    char* disk;
  } pairs[] = {{kFlagPreviousCabinet, previous_cabinet_, previous_disk_},
               {kFlagNextCabinet, next_cabinet_, next_disk_}};
  for (const Pair& pair : pairs) {
    if ((flags_ & pair.flag) == 0) continue;
    if (!reader_.ReadStringAt(*offset, pair.cabinet, kMaxSetNameBytes, offset) ||
        !reader_.ReadStringAt(*offset, pair.disk, kMaxSetNameBytes, offset)) {
      return FDIERROR_CORRUPT_CABINET;
    }
  }
  return FDIERROR_NONE;
}

FDIERROR CopyRun::ReadFolders(uint32_t offset) {
  folders_ = CallbackBlock(context_.memory, (folder_count_ == 0 ? 1 : folder_count_) * sizeof(FolderRecord));
  if (!folders_) return FDIERROR_ALLOC_FAIL;
  auto* folders = reinterpret_cast<FolderRecord*>(folders_.get());
  const uint32_t record_bytes = static_cast<uint32_t>(kFolderBytes) + folder_reserve_;
  for (uint32_t i = 0; i < folder_count_; ++i, offset += record_bytes) {
    unsigned char record[kFolderBytes];
    if (cabinet_end_ - offset < record_bytes || !reader_.ReadAt(offset, record, sizeof record)) {
      return FDIERROR_CORRUPT_CABINET;
    }
    new (&folders[i]) FolderRecord{Read32(record), Read16(record + 4),
                                   static_cast<uint16_t>(Read16(record + 6) & kCompressionMask)};
  }
  return FDIERROR_NONE;
}

FDIERROR CopyRun::ReadFile(uint32_t* offset, FileEntry* entry) {
  unsigned char record[kFileBytes];
  if (*offset > cabinet_end_ || cabinet_end_ - *offset < kFileBytes || !reader_.ReadAt(*offset, record, sizeof record)) {
    return FDIERROR_CORRUPT_CABINET;
  }
  entry->size = Read32(record);
  entry->folder_offset = Read32(record + 4);
  entry->folder = Read16(record + 8);
  entry->date = Read16(record + 10);
  entry->time = Read16(record + 12);
  entry->attributes = Read16(record + 14);
  if (!reader_.ReadStringAt(*offset + kFileBytes, entry->name, kMaxNameBytes, offset) || *offset > cabinet_end_) {
    return FDIERROR_CORRUPT_CABINET;
  }
  if (entry->size > kMaxFileBytes || entry->folder_offset > kMaxFileBytes - entry->size) {
    return FDIERROR_CORRUPT_CABINET;
  }
  const bool spans = entry->folder >= kContinuedFromPrevious;
  if (!spans && entry->folder >= folder_count_) return FDIERROR_CORRUPT_CABINET;
  return FDIERROR_NONE;
}

FDIERROR CopyRun::Execute() {
  if (const FDIERROR error = ReadHeader(); error != FDIERROR_NONE) return error;

  FDINOTIFICATION info{};
  info.psz1 = next_cabinet_;
  info.psz2 = next_disk_;
  info.psz3 = cabinet_path_;
  info.setID = set_id_;
  info.iCabinet = cabinet_index_;
  if (Notify(fdintCABINET_INFO, info) == -1) return FDIERROR_USER_ABORT;

  FolderDecoder decoder(context_.memory, reader_, cabinet_end_, block_reserve_);
  if (!decoder.Allocate()) return FDIERROR_ALLOC_FAIL;
  decoder_ = &decoder;

  uint32_t offset = files_offset_;
  FileEntry entry;
  for (uint32_t i = 0; i < file_count_; ++i) {
    if (const FDIERROR error = ReadFile(&offset, &entry); error != FDIERROR_NONE) return error;
    if (entry.folder == kContinuedFromPrevious || entry.folder == kContinuedBoth) {
      FDINOTIFICATION partial{};
      partial.psz1 = entry.name;
      partial.psz2 = previous_cabinet_;
      partial.psz3 = previous_disk_;
      if (Notify(fdintPARTIAL_FILE, partial) == -1) return FDIERROR_USER_ABORT;
      continue;
    }
    if (const FDIERROR error = ExtractFile(entry); error != FDIERROR_NONE) return error;
  }
  return FDIERROR_NONE;
}

FDIERROR CopyRun::ExtractFile(FileEntry& entry) {
  FDINOTIFICATION copy{};
  copy.psz1 = entry.name;
  copy.cb = static_cast<LONG>(entry.size);
  copy.date = entry.date;
  copy.time = entry.time;
  copy.attribs = entry.attributes;
  const INT_PTR output = Notify(fdintCOPY_FILE, copy);
  if (output == -1) return FDIERROR_USER_ABORT;
  if (output == 0) return FDIERROR_NONE;  // skipped

  if (const FDIERROR error = WriteContents(entry, output); error != FDIERROR_NONE) {
    context_.close(output);
    return error;
  }
  // From here the handle is the callee's: it sets the time and closes it.
  FDINOTIFICATION close{};
  close.psz1 = entry.name;
  close.hf = output;
  close.date = entry.date;
  close.time = entry.time;
  close.attribs = static_cast<USHORT>(entry.attributes & ~_A_EXEC);
  close.cb = (entry.attributes & _A_EXEC) != 0 ? 1 : 0;
  const INT_PTR result = Notify(fdintCLOSE_FILE_INFO, close);
  return result == 0 || result == -1 ? FDIERROR_USER_ABORT : FDIERROR_NONE;
}

FDIERROR CopyRun::WriteContents(FileEntry& entry, INT_PTR output) {
  const bool continues = entry.folder == kContinuedToNext;
  const uint32_t folder = continues ? static_cast<uint32_t>(folder_count_) - 1 : entry.folder;
  if (continues && folder_count_ == 0) return FDIERROR_CORRUPT_CABINET;
  FolderDecoder& decoder = *decoder_;
  // Files of a folder come in order of their offset, so a folder is decoded once unless
  // an entry goes back to earlier data.
  if (!decoder.started() || decoder.folder() != folder || decoder.position() > entry.folder_offset) {
    const auto* folders = reinterpret_cast<const FolderRecord*>(folders_.get());
    if (const FDIERROR error = decoder.Start(folders[folder], folder); error != FDIERROR_NONE) return error;
  }
  const unsigned char* data = nullptr;
  uint32_t bytes = 0;
  while (decoder.position() < entry.folder_offset) {
    const uint64_t gap = entry.folder_offset - decoder.position();
    const uint32_t want = gap < kMaxBlockUncompressed ? static_cast<uint32_t>(gap) : kMaxBlockUncompressed;
    if (const FDIERROR error = decoder.Take(want, &data, &bytes); error != FDIERROR_NONE) {
      return continues && decoder.exhausted() ? ContinueIntoNextCabinet() : error;
    }
  }
  for (uint32_t left = entry.size; left > 0; left -= bytes) {
    if (const FDIERROR error = decoder.Take(left < kWriteChunk ? left : kWriteChunk, &data, &bytes);
        error != FDIERROR_NONE) {
      return continues && decoder.exhausted() ? ContinueIntoNextCabinet() : error;
    }
    if (context_.write(output, const_cast<unsigned char*>(data), bytes) != bytes) return FDIERROR_TARGET_FILE;
  }
  return continues ? ContinueIntoNextCabinet() : FDIERROR_NONE;
}

FDIERROR CopyRun::ContinueIntoNextCabinet() {
  FDINOTIFICATION next{};
  next.psz1 = next_cabinet_;
  next.psz2 = next_disk_;
  next.psz3 = cabinet_path_;
  next.fdie = FDIERROR_NONE;
  if (Notify(fdintNEXT_CABINET, next) == -1) return FDIERROR_USER_ABORT;
  return FDIERROR_WRONG_CABINET;
}

// pszCabinet is appended to pszCabPath as given: the path must end with its separator.
char* JoinPath(const CallbackMemory& memory, const char* path, const char* name) {
  const size_t path_bytes = std::strlen(path), name_bytes = std::strlen(name);
  auto* joined = static_cast<char*>(memory.Allocate(path_bytes + name_bytes + 1));
  if (joined == nullptr) return nullptr;
  std::memcpy(joined, path, path_bytes);
  std::memcpy(joined + path_bytes, name, name_bytes + 1);
  return joined;
}

}  // namespace

HFDI CreateContext(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
                   PFNCLOSE pfnclose, PFNSEEK pfnseek, int /*cpu_type: only 16-bit FDI used it*/, ERF* erf) {
  if (pfnalloc == nullptr || pfnfree == nullptr || pfnopen == nullptr || pfnread == nullptr ||
      pfnwrite == nullptr || pfnclose == nullptr || pfnseek == nullptr) {
    Fail(erf, FDIERROR_ALLOC_FAIL);
    return nullptr;
  }
  void* block = pfnalloc(sizeof(Context));
  if (block == nullptr) {
    Fail(erf, FDIERROR_ALLOC_FAIL);
    return nullptr;
  }
  return new (block) Context{kContextTag, {pfnalloc, pfnfree}, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek, erf};
}

BOOL CopyFromCabinet(HFDI handle, char* cabinet_name, char* cabinet_path, int /*flags*/, PFNFDINOTIFY notify,
                     PFNFDIDECRYPT /*decrypt: never called*/, void* user) {
  Context* context = FromHandle(handle);
  if (context == nullptr) return FALSE;
  if (cabinet_name == nullptr || cabinet_path == nullptr || notify == nullptr) {
    Fail(context->erf, FDIERROR_CABINET_NOT_FOUND);
    return FALSE;
  }
  char* path = JoinPath(context->memory, cabinet_path, cabinet_name);
  if (path == nullptr) {
    Fail(context->erf, FDIERROR_ALLOC_FAIL);
    return FALSE;
  }
  const INT_PTR cabinet = context->open(path, _O_BINARY | _O_RDONLY, _S_IREAD | _S_IWRITE);
  context->memory.Release(path);
  if (cabinet == -1) {
    Fail(context->erf, FDIERROR_CABINET_NOT_FOUND);
    return FALSE;
  }
  FDIERROR error;
  {
    CopyRun run(*context, cabinet, cabinet_path, notify, user);
    error = run.Execute();
  }
  context->close(cabinet);
  if (error != FDIERROR_NONE) {
    Fail(context->erf, error);
    return FALSE;
  }
  return TRUE;
}

void RecordError(HFDI handle, int error) {
  const Context* context = FromHandle(handle);
  if (context != nullptr) Fail(context->erf, static_cast<FDIERROR>(error));
}

int RecordedError(HFDI handle) {
  const Context* context = FromHandle(handle);
  return context == nullptr || context->erf == nullptr ? FDIERROR_NONE : context->erf->erfOper;
}

BOOL DestroyContext(HFDI handle) {
  Context* context = FromHandle(handle);
  if (context == nullptr) return FALSE;
  const CallbackMemory memory = context->memory;
  context->tag = 0;
  memory.Release(context);
  return TRUE;
}

}  // namespace sim::cabinet
