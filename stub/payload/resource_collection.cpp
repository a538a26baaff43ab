#include "stub/payload/resource_collection.h"

#include "platform/errors.h"
#include "platform/kernel32_resources.h"

namespace {

// Units that a plain file name never holds: separators, the drive and stream colon, and
// the wildcard, quote and redirection characters that Windows refuses in file names.
constexpr WCHAR kRefusedUnits[] = u"\\/:*?\"<>|";

// One name inside the work directory and nothing else: no separator or colon, no control
// character (1 to 31), none of the refused units, and no trailing dot or space, which
// Windows strips from a path, so that "." and ".." and "SETUP.EXE." name no other file.
bool IsPlainFileName(LPCWSTR name) {
  Count length = 0;
  for (; name[length] != 0; ++length) {
    const WCHAR unit = name[length];
    if (unit < 0x20) return false;
    for (LPCWSTR refused = kRefusedUnits; *refused != 0; ++refused) {
      if (unit == *refused) return false;
    }
  }
  return length == 0 || (name[length - 1] != u'.' && name[length - 1] != u' ');
}

// Stores one found resource unless its kind was found before.
bool Keep(LPCWSTR name, const ResourceView& view, PathString& stored_name, ResourceView& stored_view,
          DWORD& error) {
  if (stored_view.IsFilled()) {
    error = ERROR_TOO_MANY_NAMES;
    return false;
  }
  if (!stored_name.Assign(name)) {
    error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  stored_view = view;
  return true;
}

}  // namespace

bool ResourceCollector::Collect(LPCWSTR name, const ResourceView& view) {
  // The name becomes a file name in the work directory; it must not lead out of it.
  if (!IsPlainFileName(name)) {
    *error = ERROR_INVALID_NAME;
    return false;
  }
  if (StartsWithNoCase(name, u"pellora")) return Keep(name, view, *archive_name, *archive_view, *error);
  if (StartsWithNoCase(name, u"setup")) return Keep(name, view, *setup_name, *setup_view, *error);
  *error = ERROR_INVALID_DATA;
  return false;
}

void CollectResourcesOfType(ResourceCollector& collector, HMODULE module, LPCWSTR type) {
  EnumResourceNamesW(module, type, VisitResourceName, reinterpret_cast<LONG_PTR>(&collector));
}

BOOL VisitResourceName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter) {
  auto* collector = reinterpret_cast<ResourceCollector*>(parameter);
  if (IsIntResource(name) || collector == nullptr) return FALSE;
  const HRSRC resource = FindResourceW(module, name, type);
  if (resource == nullptr) return FALSE;
  const DWORD size = SizeofResource(module, resource);
  if (size == 0) return FALSE;
  const HGLOBAL loaded = LoadResource(module, resource);
  if (loaded == nullptr) return FALSE;
  const void* data = LockResource(loaded);
  if (data == nullptr) return FALSE;
  return collector->Collect(name, {static_cast<const BYTE*>(data), size}) ? TRUE : FALSE;
}
