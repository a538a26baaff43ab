// Deletion of one file or empty directory that rides out passing obstacles (another
// holder, a read-only attribute, files of a directory still on their way out) with a
// bounded number of attempts and a fixed pause between them.
#pragma once
#include "platform/types.h"

constexpr DWORD kDeleteAttempts = 100;  // counted passes before giving up
constexpr DWORD kDeletePauseMs = 100;   // pause after each counted pass that is repeated

// Ends when the path names nothing any more (or, once the deletion was requested, no
// longer names the object that was marked), or gives up; neither is reported. A
// directory path may end with a backslash. A symbolic link is removed, not its target.
void DeleteWithRetry(LPCWSTR path);
