// The File Decompression Interface of the system cabinet library (cabinet.dll): the
// records, callback types and entry points that a caller resolves with GetProcAddress.
// Laid out as on 64-bit Windows; the callbacks are plain C functions (one calling
// convention on ARM64).
#pragma once
#include "platform/types.h"

using USHORT = unsigned short;
using INT_PTR = LONG_PTR;
using HFDI = void*;

// FDIERROR: what went wrong, in ERF::erfOper and FDINOTIFICATION::fdie.
enum FDIERROR : int {
  FDIERROR_NONE = 0,
  FDIERROR_CABINET_NOT_FOUND = 1,
  FDIERROR_NOT_A_CABINET = 2,
  FDIERROR_UNKNOWN_CABINET_VERSION = 3,
  FDIERROR_CORRUPT_CABINET = 4,
  FDIERROR_ALLOC_FAIL = 5,
  FDIERROR_BAD_COMPR_TYPE = 6,
  FDIERROR_MDI_FAIL = 7,
  FDIERROR_TARGET_FILE = 8,
  FDIERROR_RESERVE_MISMATCH = 9,
  FDIERROR_WRONG_CABINET = 10,
  FDIERROR_USER_ABORT = 11,
};

// The error record given to FDICreate; the library fills it when a call fails.
struct ERF {
  int erfOper;  // an FDIERROR
  int erfType;  // optional detail, e.g. a C runtime errno
  BOOL fError;  // TRUE once an error was recorded
};
static_assert(sizeof(ERF) == 12);
static_assert(__builtin_offsetof(ERF, erfOper) == 0 && __builtin_offsetof(ERF, erfType) == 4 &&
              __builtin_offsetof(ERF, fError) == 8);

enum FDINOTIFICATIONTYPE : int {
  fdintCABINET_INFO = 0,      // once per cabinet opened
  fdintPARTIAL_FILE = 1,      // a file that begins in an earlier cabinet
  fdintCOPY_FILE = 2,         // a file is about to be extracted: 0 skip, -1 abort, else a handle
  fdintCLOSE_FILE_INFO = 3,   // the file is complete: the callee sets its time and closes it
  fdintNEXT_CABINET = 4,      // the next cabinet of a set is needed
  fdintENUMERATE = 5,
};

struct FDINOTIFICATION {
  LONG cb;        // COPY_FILE: uncompressed size; CLOSE_FILE_INFO: 1 when the file should run
  char* psz1;
  char* psz2;
  char* psz3;
  void* pv;       // the user pointer given to FDICopy
  INT_PTR hf;     // CLOSE_FILE_INFO: the handle that COPY_FILE returned
  USHORT date;    // DOS date and time of the entry, local time by convention
  USHORT time;
  USHORT attribs; // _A_* bits
  USHORT setID;
  USHORT iCabinet;
  USHORT iFolder;
  FDIERROR fdie;
};
using PFDINOTIFICATION = FDINOTIFICATION*;
static_assert(sizeof(FDINOTIFICATION) == 64);
static_assert(__builtin_offsetof(FDINOTIFICATION, cb) == 0 && __builtin_offsetof(FDINOTIFICATION, psz1) == 8 &&
              __builtin_offsetof(FDINOTIFICATION, psz2) == 16 && __builtin_offsetof(FDINOTIFICATION, psz3) == 24 &&
              __builtin_offsetof(FDINOTIFICATION, pv) == 32 && __builtin_offsetof(FDINOTIFICATION, hf) == 40);
static_assert(__builtin_offsetof(FDINOTIFICATION, date) == 48 && __builtin_offsetof(FDINOTIFICATION, time) == 50 &&
              __builtin_offsetof(FDINOTIFICATION, attribs) == 52 &&
              __builtin_offsetof(FDINOTIFICATION, setID) == 54 &&
              __builtin_offsetof(FDINOTIFICATION, iCabinet) == 56 &&
              __builtin_offsetof(FDINOTIFICATION, iFolder) == 58 && __builtin_offsetof(FDINOTIFICATION, fdie) == 60);

// The callbacks, shaped after the C runtime's malloc, free, _open, _read, _write, _close
// and _lseek. File handles travel in INT_PTR; -1 is failure.
using PFNALLOC = void* (*)(ULONG cb);
using PFNFREE = void (*)(void* pv);
using PFNOPEN = INT_PTR (*)(char* pszFile, int oflag, int pmode);
using PFNREAD = UINT (*)(INT_PTR hf, void* pv, UINT cb);    // (UINT)-1 on failure
using PFNWRITE = UINT (*)(INT_PTR hf, void* pv, UINT cb);   // (UINT)-1 on failure
using PFNCLOSE = int (*)(INT_PTR hf);                       // 0, or -1 on failure
using PFNSEEK = LONG (*)(INT_PTR hf, LONG dist, int seektype);  // new position, or -1
using PFNFDINOTIFY = INT_PTR (*)(FDINOTIFICATIONTYPE fdint, PFDINOTIFICATION pfdin);
// Decryption is not supported by the library; callers pass null.
using PFNFDIDECRYPT = int (*)(void* pfdid);

constexpr int cpuUNKNOWN = -1;

// Seek types, equal to FILE_BEGIN, FILE_CURRENT and FILE_END.
constexpr int SEEK_SET_FDI = 0;
constexpr int SEEK_CUR_FDI = 1;
constexpr int SEEK_END_FDI = 2;

// Open flags and permission bits as the C runtime defines them.
constexpr int _O_RDONLY = 0x0000;
constexpr int _O_WRONLY = 0x0001;
constexpr int _O_RDWR = 0x0002;
constexpr int _O_APPEND = 0x0008;
constexpr int _O_CREAT = 0x0100;
constexpr int _O_TRUNC = 0x0200;
constexpr int _O_EXCL = 0x0400;
constexpr int _O_BINARY = 0x8000;
constexpr int _S_IWRITE = 0x0080;
constexpr int _S_IREAD = 0x0100;

// Attribute bits of a cabinet entry.
constexpr USHORT _A_RDONLY = 0x01;
constexpr USHORT _A_HIDDEN = 0x02;
constexpr USHORT _A_SYSTEM = 0x04;
constexpr USHORT _A_ARCH = 0x20;
constexpr USHORT _A_EXEC = 0x40;
constexpr USHORT _A_NAME_IS_UTF = 0x80;

// The three entry points, as GetProcAddress hands them out.
using FDICreateFunction = HFDI (*)(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
                                   PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType,
                                   ERF* perf);
// pszCabinet (a bare name) is appended to pszCabPath, which must end with a separator.
using FDICopyFunction = BOOL (*)(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags,
                                 PFNFDINOTIFY pfnfdin, PFNFDIDECRYPT pfnfdid, void* pvUser);
using FDIDestroyFunction = BOOL (*)(HFDI hfdi);
