// PLACEHOLDER until patching is built: it fails with its own failure code.
#include "platform/errors.h"
#include "stub/setup/patch_setup.h"

ExitResult PatchSetup(const Configuration&, const PathString&, const PathString&) {
  return {kPatchLaunchFailed, ERROR_CALL_NOT_IMPLEMENTED};
}
