#include "stub/support/registry_reading.h"

#include "platform/errors.h"

namespace {

constexpr WCHAR kClientStateKey[] = u"Software\\Pellora\\Update\\ClientState\\";

// Gives the string read by RegQueryValueExW its terminator. The registry returns string
// data exactly as it was stored, so the terminator may be missing and the byte count odd.
DWORD TerminateStringData(LPWSTR buffer, Count capacity, DWORD bytes) {
  // A buffer of no units has no room even for the terminator of an empty value.
  if (capacity == 0) return ERROR_MORE_DATA;
  if (bytes < 2) {
    buffer[0] = 0;
    return ERROR_SUCCESS;
  }
  const Count units = bytes / 2;  // an odd last byte is ignored
  if (buffer[units - 1] == 0) return ERROR_SUCCESS;
  if (units < capacity) {
    buffer[units] = 0;
    return ERROR_SUCCESS;
  }
  return ERROR_MORE_DATA;  // no room left for the terminator
}

}  // namespace

void ScopedKey::Close() {
  if (key == nullptr) return;
  RegCloseKey(key);
  key = nullptr;
}

DWORD ReadStringValue(const ScopedKey& holder, LPCWSTR name, LPWSTR buffer, Count capacity) {
  DWORD type = REG_NONE;
  DWORD bytes = static_cast<DWORD>(capacity * 2);
  const LSTATUS status =
      RegQueryValueExW(holder.key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (status != static_cast<LSTATUS>(ERROR_SUCCESS)) return static_cast<DWORD>(status);
  if (type != REG_SZ) return ERROR_NOT_SUPPORTED;
  return TerminateStringData(buffer, capacity, bytes);
}

bool ReadStringValueAt(HKEY root, LPCWSTR sub_key, LPCWSTR name, LPWSTR buffer, Count capacity) {
  ScopedKey holder;
  if (RegOpenKeyExW(root, sub_key, 0, KEY_QUERY_VALUE, &holder.key) !=
      static_cast<LSTATUS>(ERROR_SUCCESS)) {
    holder.key = nullptr;
    return false;
  }
  const bool read = ReadStringValue(holder, name, buffer, capacity) == ERROR_SUCCESS;
  holder.Close();
  return read;
}

DWORD OpenClientStateKey(HKEY root, REGSAM access, ScopedKey& holder) {
  PathString path;
  if (!path.Assign(kClientStateKey)) return ERROR_BUFFER_OVERFLOW;
  holder.Close();
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyExW(root, path.Data(), 0, access | KEY_WOW64_32KEY, &opened);
  if (status == static_cast<LSTATUS>(ERROR_SUCCESS)) holder.key = opened;
  return static_cast<DWORD>(status);
}
