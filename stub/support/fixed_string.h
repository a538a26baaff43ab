// Bounded UTF-16 text on caller-owned memory. Nothing here allocates or keeps state.
//
// Capacities count units (16-bit code units) and include the terminator. Overflow is
// reported, never truncated: a failed Assign leaves the empty string, a failed Append
// the previous string, a failed HexEncode an untouched destination.
#pragma once
#include "platform/types.h"

using Count = ULONGLONG;

constexpr Count kPathCapacity = 260;
constexpr Count kCommandCapacity = 1040;
constexpr Count kTypeCapacity = 3;
constexpr Count kSddlCapacity = 300;

// Units before the terminator, at most capacity - 1; unit capacity - 1 is never read.
Count Length(LPCWSTR text, Count capacity);
// Copies front to back, so the source may lie later inside the destination.
bool Assign(LPWSTR destination, Count capacity, LPCWSTR source);
bool Append(LPWSTR destination, Count capacity, LPCWSTR source);
// Fold only 'A'..'Z'; every other unit compares as it is.
bool StartsWithNoCase(LPCWSTR text, LPCWSTR prefix);
// Leftmost occurrence, or null; an empty or null needle gives the start of the text.
LPCWSTR FindNoCase(LPCWSTR text, LPCWSTR needle);
// Just after the last backslash among the first `count` units, or the path itself.
LPCWSTR FileNamePosition(LPCWSTR path, Count count);
// Upper-case digits, bytes in memory order; needs capacity > 2 * count.
bool HexEncode(const BYTE* bytes, Count count, LPWSTR destination, Count capacity);
void* FillBytes(void* destination, int value, Count count);

// A buffer of capacity N whose storage has one more unit, the guard, that is zero from
// construction on and never written: every operation and system call is given N, so the
// text stays terminated even when a system call fills all N units.
template <Count N>
struct FixedString {
  static_assert(N > 0);
  static constexpr Count kCapacity = N;

  FixedString() {
    units[0] = 0;
    units[N] = 0;
  }
  FixedString(const FixedString&) = delete;
  FixedString& operator=(const FixedString&) = delete;

  LPWSTR Data() { return units; }
  LPCWSTR Data() const { return units; }
  Count Length() const { return ::Length(units, N); }
  bool IsEmpty() const { return units[0] == 0; }
  void Clear() { units[0] = 0; }
  bool Assign(LPCWSTR source) { return ::Assign(units, N, source); }
  bool Append(LPCWSTR source) { return ::Append(units, N, source); }

  WCHAR units[N + 1];
};

using PathString = FixedString<kPathCapacity>;
using CommandString = FixedString<kCommandCapacity>;
using TypeString = FixedString<kTypeCapacity>;
