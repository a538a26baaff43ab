// kernel32: starting a child process, waiting for it and reading its exit code.
#pragma once
#include "platform/security_attributes.h"
#include "platform/types.h"

// STARTUPINFOW.dwFlags
constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
constexpr DWORD STARTF_FORCEONFEEDBACK = 0x00000040;
// No busy cursor while the child starts.
constexpr DWORD STARTF_FORCEOFFFEEDBACK = 0x00000080;
constexpr DWORD STARTF_USESTDHANDLES = 0x00000100;

// ShowWindow commands; wShowWindow is read only under STARTF_USESHOWWINDOW.
constexpr WORD SW_HIDE = 0;
constexpr WORD SW_SHOWNORMAL = 1;

// Creation flags. CREATE_NO_WINDOW keeps a console program from getting a console window;
// a GUI program ignores it.
constexpr DWORD DETACHED_PROCESS = 0x00000008;
constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;

// WaitForSingleObject results.
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// GetExitCodeProcess's answer while the process runs (STATUS_PENDING). A process that
// ends with this code looks alive, so the wait must come first.
constexpr DWORD STILL_ACTIVE = 259;

// The command line holds at most this many units, terminator included.
constexpr DWORD kMaximumCommandLineUnits = 32768;

struct STARTUPINFOW {
  DWORD cb;  // size of this record in bytes
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;  // STARTF_*
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
static_assert(sizeof(STARTUPINFOW) == 104);
static_assert(__builtin_offsetof(STARTUPINFOW, lpReserved) == 8);
static_assert(__builtin_offsetof(STARTUPINFOW, lpDesktop) == 16);
static_assert(__builtin_offsetof(STARTUPINFOW, lpTitle) == 24);
static_assert(__builtin_offsetof(STARTUPINFOW, dwX) == 32);
static_assert(__builtin_offsetof(STARTUPINFOW, dwYCountChars) == 52);
static_assert(__builtin_offsetof(STARTUPINFOW, dwFillAttribute) == 56);
static_assert(__builtin_offsetof(STARTUPINFOW, dwFlags) == 60);
static_assert(__builtin_offsetof(STARTUPINFOW, wShowWindow) == 64);
static_assert(__builtin_offsetof(STARTUPINFOW, cbReserved2) == 66);
static_assert(__builtin_offsetof(STARTUPINFOW, lpReserved2) == 72);
static_assert(__builtin_offsetof(STARTUPINFOW, hStdInput) == 80);
static_assert(__builtin_offsetof(STARTUPINFOW, hStdOutput) == 88);
static_assert(__builtin_offsetof(STARTUPINFOW, hStdError) == 96);

struct PROCESS_INFORMATION {
  HANDLE hProcess;  // both handles belong to the caller, who closes them
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
static_assert(sizeof(PROCESS_INFORMATION) == 24);
static_assert(__builtin_offsetof(PROCESS_INFORMATION, hThread) == 8);
static_assert(__builtin_offsetof(PROCESS_INFORMATION, dwProcessId) == 16);
static_assert(__builtin_offsetof(PROCESS_INFORMATION, dwThreadId) == 20);

extern "C" {

// With an application name, that name alone is the program: a full path, or one completed
// from the current directory; the search path is never used. The command line must be
// writable (the system may change it during the call) and becomes the child's whole
// GetCommandLineW. Failure: FALSE, e.g. ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, or
// ERROR_BAD_EXE_FORMAT for a file that is no program.
PLATFORM_IMPORT BOOL CreateProcessW(LPCWSTR application_name, LPWSTR command_line,
                                    SECURITY_ATTRIBUTES* process_attributes,
                                    SECURITY_ATTRIBUTES* thread_attributes, BOOL inherit_handles,
                                    DWORD creation_flags, LPVOID environment,
                                    LPCWSTR current_directory, STARTUPINFOW* startup_info,
                                    PROCESS_INFORMATION* process_information);

// A process object is signalled when the process ends. WAIT_FAILED sets the last error.
PLATFORM_IMPORT DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

// Returns at once: STILL_ACTIVE while the process runs, then its exit code.
PLATFORM_IMPORT BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);

// How this process was started: the record its parent gave CreateProcessW. Not used by
// the stub; the programs that stand in for setup read it.
PLATFORM_IMPORT void GetStartupInfoW(STARTUPINFOW* startup_info);

}  // extern "C"
