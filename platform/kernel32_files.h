// kernel32: creating, reading, writing and deleting files, and their attributes.
#pragma once
#include "platform/types.h"

// Access rights. The generic rights stand for sets of the specific ones.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD GENERIC_EXECUTE = 0x20000000u;
constexpr DWORD GENERIC_ALL = 0x10000000u;
constexpr DWORD DELETE = 0x00010000u;
constexpr DWORD READ_CONTROL = 0x00020000u;
constexpr DWORD SYNCHRONIZE = 0x00100000u;
constexpr DWORD FILE_READ_DATA = 0x0001u;
constexpr DWORD FILE_LIST_DIRECTORY = 0x0001u;  // the same bit, named for a directory
constexpr DWORD FILE_WRITE_DATA = 0x0002u;
constexpr DWORD FILE_APPEND_DATA = 0x0004u;
constexpr DWORD FILE_READ_EA = 0x0008u;
constexpr DWORD FILE_WRITE_EA = 0x0010u;
constexpr DWORD FILE_EXECUTE = 0x0020u;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080u;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100u;

// Share modes: what other opens of the same file may do while this handle is open.
constexpr DWORD FILE_SHARE_READ = 0x1u;
constexpr DWORD FILE_SHARE_WRITE = 0x2u;
constexpr DWORD FILE_SHARE_DELETE = 0x4u;

// Creation dispositions.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

// Attributes (low bits of the flags-and-attributes word, and of GetFileAttributesW).
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001u;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002u;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x00000004u;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010u;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020u;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;  // valid only alone
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x00000100u;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x00000400u;

// Flags (high bits of the flags-and-attributes word).
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;  // a caching hint only
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000u;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000u;  // needed to open a directory
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000u;  // the link itself, not its target

// SetFilePointer's move methods; its failure value can be a valid low half when a high
// part is passed, so then only GetLastError() != 0 means failure.
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

// FILE_INFO_BY_HANDLE_CLASS, a C enumeration: four bytes.
enum FILE_INFO_BY_HANDLE_CLASS : int {
  FileBasicInfo = 0,
  FileStandardInfo = 1,
  FileNameInfo = 2,
  FileRenameInfo = 3,
  FileDispositionInfo = 4,
};
static_assert(sizeof(FILE_INFO_BY_HANDLE_CLASS) == 4);

// Times in 100-nanosecond units since 1601-01-01 UTC. When set, a time of 0 keeps the
// current value and attributes of 0 keep the current attributes.
struct FILE_BASIC_INFO {
  LONGLONG CreationTime;
  LONGLONG LastAccessTime;
  LONGLONG LastWriteTime;
  LONGLONG ChangeTime;
  DWORD FileAttributes;
};
static_assert(sizeof(FILE_BASIC_INFO) == 40);
static_assert(__builtin_offsetof(FILE_BASIC_INFO, CreationTime) == 0);
static_assert(__builtin_offsetof(FILE_BASIC_INFO, LastAccessTime) == 8);
static_assert(__builtin_offsetof(FILE_BASIC_INFO, LastWriteTime) == 16);
static_assert(__builtin_offsetof(FILE_BASIC_INFO, ChangeTime) == 24);
static_assert(__builtin_offsetof(FILE_BASIC_INFO, FileAttributes) == 32);

// DeleteFile TRUE marks the file delete-pending: its name goes when its last handle closes.
struct FILE_DISPOSITION_INFO {
  BOOLEAN DeleteFile;
};
static_assert(sizeof(FILE_DISPOSITION_INFO) == 1);

// Only declared here: the stub never passes either to these functions.
struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

extern "C" {

// INVALID_HANDLE_VALUE on failure. CREATE_ALWAYS and OPEN_ALWAYS on an existing file
// succeed with the last error ERROR_ALREADY_EXISTS.
PLATFORM_IMPORT HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                                   SECURITY_ATTRIBUTES* security_attributes, DWORD creation_disposition,
                                   DWORD flags_and_attributes, HANDLE template_file);

// Synchronous I/O at the file pointer; the count is zeroed before any check. A read at the
// end of the file succeeds with a count of 0.
PLATFORM_IMPORT BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
                              OVERLAPPED* overlapped);
PLATFORM_IMPORT BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
                               OVERLAPPED* overlapped);

PLATFORM_IMPORT DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD move_method);
PLATFORM_IMPORT BOOL FlushFileBuffers(HANDLE file);

PLATFORM_IMPORT BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                                LPVOID information, DWORD buffer_size);
PLATFORM_IMPORT BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                                  LPVOID information, DWORD buffer_size);

// INVALID_FILE_ATTRIBUTES on failure. A symbolic link reports its own attributes.
PLATFORM_IMPORT DWORD GetFileAttributesW(LPCWSTR file_name);

}  // extern "C"
