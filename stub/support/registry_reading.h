// Bounded reads of plain string values from the registry. The stub only reads: it opens
// a key, queries one value into a caller's buffer and closes the key on every path.
#pragma once
#include "platform/advapi32_registry.h"
#include "stub/support/fixed_string.h"

// Holds one open key, or none; closes it exactly once however often Close runs.
struct ScopedKey {
  ScopedKey() = default;
  ~ScopedKey() { Close(); }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  void Close();

  HKEY key = nullptr;  // null: no key held
};

// Reads the REG_SZ value `name` of the held key into `buffer` of `capacity` units (the
// registry is offered capacity * 2 bytes). Returns 0 with a terminated string, the
// registry's own status when the query fails, ERROR_NOT_SUPPORTED for any other type
// (REG_EXPAND_SZ included, never expanded), or ERROR_MORE_DATA when the data fills all
// capacity units without a terminator (or when the capacity is 0: an empty value then
// leaves the buffer unwritten). After a non-zero status the buffer is no result.
DWORD ReadStringValue(const ScopedKey& holder, LPCWSTR name, LPWSTR buffer, Count capacity);

// Opens root\sub_key for KEY_QUERY_VALUE in the default view, reads as ReadStringValue
// and closes the key. True exactly when the value was read as a terminated string.
bool ReadStringValueAt(HKEY root, LPCWSTR sub_key, LPCWSTR name, LPWSTR buffer, Count capacity);

// Closes what `holder` held, then opens the client-state key under `root` with `access`
// in the 32-bit registry view. Returns the open's status.
DWORD OpenClientStateKey(HKEY root, REGSAM access, ScopedKey& holder);
