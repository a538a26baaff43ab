#include "stub/payload/unpack_payload.h"

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_strings.h"
#include "stub/cleanup/delete_with_retry.h"
#include "stub/payload/cabinet_extraction.h"
#include "stub/payload/resource_collection.h"
#include "stub/payload/resource_view.h"
#include "stub/payload/resource_writing.h"

namespace {

// Searched in this order; the first type to hold a resource becomes its tag.
constexpr const WCHAR* kPayloadTypes[] = {u"B7", u"BL", u"BN"};

struct FoundResources {
  PathString archive_name;
  ResourceView archive_view = kEmptyView;
  PathString setup_name;
  ResourceView setup_view = kEmptyView;
};

bool IsTag(const TypeString& tag, LPCWSTR expected) { return lstrcmpW(tag.Data(), expected) == 0; }

// Work directory + name; on overflow the path keeps the work directory alone.
bool JoinPath(PathString& path, const PathString& work_directory, LPCWSTR name) {
  return path.Assign(work_directory.Data()) && path.Append(name);
}

// Runs the three enumerations; a rejected name ends the search with 112 while no archive
// tag is set, else 115.
ExitResult FindPayload(HMODULE module, FoundResources& found, TypeString& archive_tag, TypeString& setup_tag) {
  for (LPCWSTR type : kPayloadTypes) {
    DWORD error = 0;
    ResourceCollector collector(&found.archive_name, &found.archive_view, &found.setup_name, &found.setup_view,
                                &error);
    CollectResourcesOfType(collector, module, type);
    if (error != 0) return {archive_tag.IsEmpty() ? kArchiveUnpackFailed : kSetupUnpackFailed, error};
    if (archive_tag.IsEmpty() && found.archive_view.IsFilled()) archive_tag.Assign(type);
    if (setup_tag.IsEmpty() && found.setup_view.IsFilled()) setup_tag.Assign(type);
  }
  if (!found.archive_view.IsFilled()) return {kArchiveUnpackFailed, ERROR_FILE_NOT_FOUND};
  if (!found.setup_view.IsFilled()) return {kSetupUnpackFailed, ERROR_FILE_NOT_FOUND};
  return kSucceeded;
}

// A "BL" setup resource is a cabinet holding setup.exe: expanded beside itself, then
// deleted whatever the outcome. The setup path names setup.exe afterwards either way.
ExitResult ExpandSetupCabinet(const PathString& work_directory, PathString& setup_path) {
  PathString destination;
  if (!JoinPath(destination, work_directory, u"setup.exe")) return {kPathOverflow, 0};
  const bool extracted = ExtractCabinet(setup_path.Data(), destination.Data());
  DeleteWithRetry(setup_path.Data());
  setup_path.Assign(destination.Data());
  return extracted ? kSucceeded : ExitResult{kSetupUnpackFailed, 0};
}

}  // namespace

ExitResult UnpackPayload(HMODULE module, const PathString& work_directory, PathString& archive_path,
                         TypeString& archive_tag, PathString& setup_path, TypeString& setup_tag) {
  FoundResources found;
  const ExitResult search = FindPayload(module, found, archive_tag, setup_tag);
  if (!search.Succeeded()) return search;

  if (!JoinPath(archive_path, work_directory, found.archive_name.Data())) return {kPathOverflow, 0};
  if (!WriteResourceToFile(found.archive_view, archive_path.Data())) return {kArchiveUnpackFailed, GetLastError()};

  // A plain setup program is always setup.exe; a patch or a cabinet keeps its name.
  LPCWSTR setup_name = IsTag(setup_tag, u"BN") ? u"setup.exe" : found.setup_name.Data();
  if (!JoinPath(setup_path, work_directory, setup_name)) return {kPathOverflow, 0};
  if (!WriteResourceToFile(found.setup_view, setup_path.Data())) return {kSetupWriteFailed, GetLastError()};

  if (!IsTag(setup_tag, u"BL")) return kSucceeded;
  return ExpandSetupCabinet(work_directory, setup_path);
}
