#include "stub/payload/resource_collection.h"

#include "platform/errors.h"
#include "platform/kernel32_resources.h"

namespace {

// One plain file name: a name becomes a file name in the work directory, so it may not
// reach outside it (separators, a drive or stream colon, ".."), nor be one Windows would
// change or refuse (control characters, wildcards, quotes, a trailing dot or space).
bool IsPlainFileName(LPCWSTR name) {
  if (name[0] == 0) return false;
  LPCWSTR unit = name;
  for (; *unit != 0; ++unit) {
    const WCHAR c = *unit;
    if (c < 0x20 || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' || c == u'"' ||
        c == u'<' || c == u'>' || c == u'|') {
      return false;
    }
  }
  return unit[-1] != u'.' && unit[-1] != u' ';  // also refuses "." and ".."
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
