// PLACEHOLDER until patching and the setup launch are built: both fail with their own
// failure codes.
#include "platform/errors.h"
#include "stub/setup/launch_setup.h"
#include "stub/setup/patch_setup.h"

ExitResult PatchSetup(const Configuration&, const PathString&, const PathString&) {
  return {kPatchLaunchFailed, ERROR_CALL_NOT_IMPLEMENTED};
}

ExitResult LaunchSetup(const Configuration&, const PathString&, const PathString&, bool) {
  return {kSetupLaunchFailed, ERROR_CALL_NOT_IMPLEMENTED};
}
