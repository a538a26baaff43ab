#include "stub/setup/patch_setup.h"

#include "stub/cleanup/delete_with_retry.h"
#include "stub/setup/previous_setup.h"
#include "stub/setup/process_runner.h"

namespace {

// The installed program between quotes, then the patch and the target as switch values
// between quotes, unescaped; false at the first piece that does not fit.
bool BuildPatchCommandLine(const PathString& previous_setup, const PathString& patch_path,
                           const PathString& new_setup_path, CommandString& line) {
  return line.Assign(u"\"") && line.Append(previous_setup.Data()) && line.Append(u"\" --") &&
         line.Append(u"update-setup-exe") && line.Append(u"=\"") &&
         line.Append(patch_path.Data()) && line.Append(u"\" --") &&
         line.Append(u"new-setup-exe") && line.Append(u"=\"") &&
         line.Append(new_setup_path.Data()) && line.Append(u"\"");
}

// Both paths are the same work directory followed by one plain file name: the resource
// collector refuses a name with a separator, a colon, a trailing dot or space, so no other
// spelling can reach the same file, and a textual comparison suffices. Folding only A to Z
// is enough: the "setup" prefix was matched that way already, and no unit but ASCII ones
// folds to a letter of ".exe".
bool SamePath(const PathString& a, const PathString& b) {
  return a.Length() == b.Length() && StartsWithNoCase(a.Data(), b.Data());
}

}  // namespace

ExitResult PatchSetup(const Configuration& configuration, const PathString& patch_path,
                      const PathString& new_setup_path) {
  PathString previous_setup;
  const ExitResult found = FindPreviousSetup(configuration.system_level,
                                             configuration.previous_version,
                                             previous_setup.Data(), PathString::kCapacity);
  if (!found.Succeeded()) return found;

  CommandString line;
  if (!BuildPatchCommandLine(previous_setup, patch_path, new_setup_path, line)) {
    return {kCommandLineOverflow, 0};
  }
  AppendUserArguments(configuration.command_line, line);
  const ExitResult patched = RunAndWait(previous_setup, line, kPatchFileNotFound,
                                        kPatchPathNotFound, kPatchLaunchFailed);
  // Once the installed program has been tried, the patch has served, whatever the result;
  // but a patch stored under the name "setup.exe" was overwritten by the rebuilt program,
  // which must then stay.
  if (!(patched.Succeeded() && SamePath(patch_path, new_setup_path))) {
    DeleteWithRetry(patch_path.Data());
  }
  return patched;
}
