#include "stub/payload/cabinet_extraction.h"

#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "platform/kernel32_library.h"
#include "platform/kernel32_system_directory.h"
#include "platform/kernel32_text_conversion.h"
#include "platform/kernel32_time.h"
#include "stub/support/fixed_string.h"

CabinetLibrary cabinet_library = {nullptr, nullptr, nullptr, nullptr};

namespace {

constexpr WCHAR kLibraryName[] = u"cabinet.dll";

// Read-only, hidden, system and archive; the executable and name-is-UTF-8 bits, and any
// other, never reach the file.
constexpr DWORD kKeptAttributes = 0x27;

HANDLE HandleOf(INT_PTR file) { return reinterpret_cast<HANDLE>(file); }

// The extraction whose destination is being written. The write callback carries no user
// pointer, so this is how it counts the destination's bytes; null outside an extraction.
ExtractionContext* writing_extraction = nullptr;

// The library's full path in the system directory. Only the system names that directory:
// an environment variable such as WINDIR is the user's to set, and would let whoever set
// it choose the library that an elevated run loads.
bool SystemLibraryPath(PathString& path) {
  // The length stored, terminator not counted, when it fits; the size needed, terminator
  // counted, when it does not; 0 on failure.
  const UINT length = GetSystemDirectoryW(path.Data(), kPathCapacity);
  if (length == 0 || length >= kPathCapacity) return false;
  // No trailing backslash, unless the directory is a root.
  if (path.Data()[length - 1] != u'\\' && !path.Append(u"\\")) return false;
  return path.Append(kLibraryName);
}

bool LoadCabinetLibrary() {
  if (cabinet_library.module != nullptr) return true;
  PathString path;
  if (!SystemLibraryPath(path)) return false;
  const HMODULE module = LoadLibraryExW(path.Data(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) return false;
  cabinet_library.module = module;
  return true;
}

// GetProcAddress hands out a generic function pointer; going through void (*)() makes
// the change of type explicit to the compiler.
template <typename Function>
Function LookUp(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(cabinet_library.module, name)));
}

bool LookUpEntryPoints() {
  cabinet_library.fdi_create = LookUp<FDICreateFunction>("FDICreate");
  cabinet_library.fdi_destroy = LookUp<FDIDestroyFunction>("FDIDestroy");
  cabinet_library.fdi_copy = LookUp<FDICopyFunction>("FDICopy");
  return cabinet_library.fdi_create != nullptr && cabinet_library.fdi_destroy != nullptr &&
         cabinet_library.fdi_copy != nullptr;
}

// The position of the last backslash, searched from the end back to the second unit; 0
// when there is none (a backslash in the first position is no split point).
Count LastBackslash(LPCWSTR path) {
  Count length = 0;
  while (path[length] != 0) ++length;
  for (Count at = length; at > 1; --at) {
    if (path[at - 1] == u'\\') return at - 1;
  }
  return 0;
}

// `units` of `text` in UTF-8 and NUL-terminated, in a process-heap block; -1 converts up
// to and with the terminator. Null when the conversion or the allocation fails.
char* ToUtf8(LPCWSTR text, int units) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return nullptr;
  const bool terminated = units == -1;
  const SIZE_T block_size = static_cast<SIZE_T>(size) + (terminated ? 0 : 1);
  auto* block = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, block_size));
  if (block == nullptr) return nullptr;
  // A second call that fails would leave the block unwritten, with no terminator.
  if (WideCharToMultiByte(CP_UTF8, 0, text, units, block, size, nullptr, nullptr) != size) {
    HeapFree(GetProcessHeap(), 0, block);
    return nullptr;
  }
  if (!terminated) block[size] = 0;
  return block;
}

void FreeBlock(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

bool CopyFirstFile(char* cabinet_name, char* cabinet_directory, LPCWSTR destination_path) {
  // The error record is the library's to fill; the outcome is told by the notifications.
  ERF error_record = {0, 0, FALSE};
  const HFDI fdi = cabinet_library.fdi_create(CabinetAlloc, CabinetFree, CabinetOpen, CabinetRead, CabinetWrite,
                                              CabinetClose, CabinetSeek, cpuUNKNOWN, &error_record);
  if (fdi == nullptr) return false;

  ExtractionContext context(destination_path);
  // FDICopy reports failure even after the first file, since the notification ends the
  // run there; only the extracted flag counts.
  cabinet_library.fdi_copy(fdi, cabinet_name, cabinet_directory, 0, CabinetNotify, nullptr, &context);
  cabinet_library.fdi_destroy(fdi);

  if (context.extracted) {
    FlushFileBuffers(context.output_file.GetHandle());
  } else if (context.output_file.IsValid()) {
    // Gone once the library's handle, closed on its abort, and ours are closed.
    context.output_file.MarkForDeletion();
  }
  context.output_file.Close();
  return context.extracted;
}

INT_PTR OpenDestination(ExtractionContext& context, const FDINOTIFICATION& notification) {
  context.output_file.Open(context.destination_path);
  // The library writes through its own handle; ours keeps the file for flushing, or for
  // deletion should the library give up half way.
  const INT_PTR handle = reinterpret_cast<INT_PTR>(context.output_file.Duplicate());
  context.library_handle = handle;
  context.announced = notification.cb < 0 ? ~0ull : static_cast<ULONGLONG>(notification.cb);
  context.written = 0;
  writing_extraction = handle == -1 ? nullptr : &context;
  return handle;
}

// A library can close a file short and still call it complete (Wine's, on a cut cabinet);
// that file is as broken as one whose write failed.
INT_PTR RefuseDestination(ExtractionContext& context, const FDINOTIFICATION& notification) {
  context.output_file.MarkForDeletion();
  CloseHandle(HandleOf(notification.hf));
  return -1;
}

INT_PTR FinishDestination(ExtractionContext& context, const FDINOTIFICATION& notification) {
  writing_extraction = nullptr;
  if (context.written != context.announced) {
    return RefuseDestination(context, notification);
  }
  // Times and attributes of 0 leave the file's values as they are.
  FILE_BASIC_INFO basic = {0, 0, 0, 0, 0};
  FILETIME local_time;
  FILETIME utc_time;
  // Cabinet entries carry local time; only the creation time takes it.
  if (DosDateTimeToFileTime(notification.date, notification.time, &local_time) &&
      LocalFileTimeToFileTime(&local_time, &utc_time)) {
    basic.CreationTime = static_cast<LONGLONG>((static_cast<ULONGLONG>(utc_time.dwHighDateTime) << 32) |
                                               utc_time.dwLowDateTime);
  }
  basic.FileAttributes = notification.attribs & kKeptAttributes;
  const HANDLE file = HandleOf(notification.hf);
  SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
  CloseHandle(file);
  context.extracted = true;
  // Ends the copy run: the first file is all that is wanted.
  return -1;
}

}  // namespace

ExtractionContext::~ExtractionContext() {
  if (writing_extraction == this) writing_extraction = nullptr;
}

bool ExtractCabinet(LPCWSTR cabinet_path, LPCWSTR destination_path) {
  if (!LoadCabinetLibrary() || !LookUpEntryPoints()) return false;
  const Count split = LastBackslash(cabinet_path);
  if (split == 0) return false;

  // The library takes a bare name and a directory that ends with its separator.
  char* name = ToUtf8(cabinet_path + split + 1, -1);
  char* directory = ToUtf8(cabinet_path, static_cast<int>(split + 1));
  const bool extracted =
      name != nullptr && directory != nullptr && CopyFirstFile(name, directory, destination_path);
  FreeBlock(directory);
  FreeBlock(name);
  return extracted;
}

void* CabinetAlloc(ULONG bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes); }

void CabinetFree(void* block) { HeapFree(GetProcessHeap(), 0, block); }

INT_PTR CabinetOpen(char* path, int open_flags, int) {
  DWORD access = GENERIC_READ;
  if ((open_flags & _O_RDWR) != 0) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else if ((open_flags & _O_WRONLY) != 0) {
    access = GENERIC_WRITE;
  }
  const DWORD disposition = (open_flags & _O_CREAT) != 0 ? CREATE_ALWAYS : OPEN_EXISTING;

  const int units = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  if (units <= 0) return -1;
  auto* wide = static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(units) * sizeof(WCHAR)));
  if (wide == nullptr) return -1;
  // A failed second call would leave the block unwritten: nothing is opened then.
  if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, units) != units) {
    HeapFree(GetProcessHeap(), 0, wide);
    return -1;
  }
  const HANDLE file = CreateFileW(wide, access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = GetLastError();
  HeapFree(GetProcessHeap(), 0, wide);
  SetLastError(error);
  return reinterpret_cast<INT_PTR>(file);
}

UINT CabinetRead(INT_PTR file, void* buffer, UINT bytes) {
  DWORD read = 0;
  if (!ReadFile(HandleOf(file), buffer, bytes, &read, nullptr)) return static_cast<UINT>(-1);
  return read;
}

UINT CabinetWrite(INT_PTR file, void* buffer, UINT bytes) {
  DWORD written = 0;
  if (!WriteFile(HandleOf(file), buffer, bytes, &written, nullptr)) return static_cast<UINT>(-1);
  if (writing_extraction != nullptr && file == writing_extraction->library_handle) {
    writing_extraction->written += written;
  }
  return written;
}

int CabinetClose(INT_PTR file) { return CloseHandle(HandleOf(file)) ? 0 : -1; }

LONG CabinetSeek(INT_PTR file, LONG distance, int seek_type) {
  // FDI's seek types 0, 1 and 2 are FILE_BEGIN, FILE_CURRENT and FILE_END; the failure
  // value INVALID_SET_FILE_POINTER is -1 to the library.
  return static_cast<LONG>(SetFilePointer(HandleOf(file), distance, nullptr, static_cast<DWORD>(seek_type)));
}

INT_PTR CabinetNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification) {
  auto* context = static_cast<ExtractionContext*>(notification->pv);
  switch (type) {
    case fdintCABINET_INFO:
    case fdintENUMERATE:
      return 0;
    case fdintCOPY_FILE:
      return OpenDestination(*context, *notification);
    case fdintCLOSE_FILE_INFO:
      return FinishDestination(*context, *notification);
    default:
      // A file continued from an earlier cabinet, a next cabinet, or anything unknown.
      return -1;
  }
}
