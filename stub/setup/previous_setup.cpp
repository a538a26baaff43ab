#include "stub/setup/previous_setup.h"

#include "platform/errors.h"
#include "stub/support/registry_reading.h"

namespace {

// A registered path enclosed as a whole in double quotes is used without them; one that
// only starts with a quote (a quoted path followed by switches) stays as it is.
void RemoveEnclosingQuotes(LPWSTR value, Count capacity) {
  const Count length = Length(value, capacity);
  if (length < 2 || value[0] != u'"' || value[length - 1] != u'"') return;
  Assign(value, capacity, value + 1);  // front to back: moves the text and its terminator
  value[length - 2] = 0;               // over the closing quote
}

}  // namespace

ExitResult FindPreviousSetup(bool system_level, LPCWSTR previous_version, LPWSTR buffer,
                             Count capacity) {
  ScopedKey client_state;
  const DWORD opened = OpenClientStateKey(system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                                          KEY_QUERY_VALUE, client_state);
  if (opened != ERROR_SUCCESS) return {kClientStateUnavailable, opened};
  // An empty value would otherwise get its terminator written into a buffer of no units.
  if (capacity == 0) return {kClientStateUnavailable, ERROR_MORE_DATA};
  const DWORD read = ReadStringValue(client_state, u"UninstallString", buffer, capacity);
  client_state.Close();
  if (read != ERROR_SUCCESS) return {kClientStateUnavailable, read};
  if (FindNoCase(buffer, previous_version) == nullptr) return {kPreviousVersionMismatch, 0};
  RemoveEnclosingQuotes(buffer, capacity);
  return kSucceeded;
}
