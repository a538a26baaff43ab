// The outcome of a step that can end the run, and every exit code of the stub's own.
// Only exit_code leaves the process; extra_code is, as a rule, the Windows error of the
// call that failed, and 0 for a success.
#pragma once
#include "platform/types.h"

struct ExitResult {
  DWORD exit_code;
  DWORD extra_code;

  bool Succeeded() const { return exit_code == 0; }
};

constexpr DWORD kSuccess = 0;
constexpr DWORD kConfigurationFailed = 101;
constexpr DWORD kCommandLineOverflow = 105;
constexpr DWORD kWaitFailed = 107;
constexpr DWORD kPathOverflow = 108;
constexpr DWORD kWorkDirectoryFailed = 109;
constexpr DWORD kClientStateUnavailable = 110;
constexpr DWORD kPreviousVersionMismatch = 111;
constexpr DWORD kArchiveUnpackFailed = 112;
constexpr DWORD kSetupUnpackFailed = 115;
constexpr DWORD kSetupWriteFailed = 116;
constexpr DWORD kWorkDirectoryAclFailed = 117;
constexpr DWORD kRejectedSwitch = 118;
constexpr DWORD kPatchFileNotFound = 119;
constexpr DWORD kPatchPathNotFound = 120;
constexpr DWORD kPatchLaunchFailed = 121;
constexpr DWORD kSetupFileNotFound = 122;
constexpr DWORD kSetupPathNotFound = 123;
constexpr DWORD kSetupLaunchFailed = 124;

constexpr ExitResult kSucceeded = {kSuccess, 0};
