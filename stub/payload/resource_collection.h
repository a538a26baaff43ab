// Finding the archive and the setup resource among the names of one payload type.
#pragma once
#include "platform/types.h"
#include "stub/payload/resource_view.h"
#include "stub/support/fixed_string.h"

// Classifies the named resources that the enumeration hands it, storing what it finds
// in the found resources it is bound to (owned by the caller, kept across the payload
// types). It owns nothing.
struct ResourceCollector {
  ResourceCollector(PathString* archive_name, ResourceView* archive_view, PathString* setup_name,
                    ResourceView* setup_view, DWORD* error)
      : archive_name(archive_name),
        archive_view(archive_view),
        setup_name(setup_name),
        setup_view(setup_view),
        error(error) {}

  // A name beginning with "pellora" is the archive, else one beginning with "setup" is
  // the setup program (letters A to Z folded). True goes on with the enumeration; false
  // ends it and sets the error: ERROR_INVALID_NAME for a name that is not one plain file
  // name (a separator, colon, control character, any of *?"<>|, a trailing dot or space),
  // ERROR_TOO_MANY_NAMES for a second archive or setup
  // resource, ERROR_FILENAME_EXCED_RANGE for a name of kPathCapacity units or more,
  // ERROR_INVALID_DATA for a name with neither prefix.
  virtual bool Collect(LPCWSTR name, const ResourceView& view);

  PathString* archive_name;
  ResourceView* archive_view;
  PathString* setup_name;
  ResourceView* setup_view;
  DWORD* error;  // 0 until a name is rejected
};

// Enumerates the names of `type` in the module, handing each to the collector. The
// enumeration's own result is not consulted: the collector's error and found resources
// tell what happened.
void CollectResourcesOfType(ResourceCollector& collector, HMODULE module, LPCWSTR type);

// The enumeration callback; `parameter` is the collector. An integer identifier, a
// resource that cannot be located, loaded or locked, and one of size 0 end the
// enumeration of the type without an error.
BOOL VisitResourceName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter);
