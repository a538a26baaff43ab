#include "stub/driver/run_installer.h"

#include "platform/kernel32_core.h"
#include "platform/kernel32_strings.h"
#include "stub/cleanup/delete_unpacked_files.h"
#include "stub/config/configuration.h"
#include "stub/payload/unpack_payload.h"
#include "stub/setup/launch_setup.h"
#include "stub/setup/patch_setup.h"
#include "stub/support/fixed_string.h"
#include "stub/support/scoped_handle.h"
#include "stub/workdir/work_directory.h"

namespace {

// Everything a run holds, as fixed storage of the run itself.
struct RunState {
  Configuration configuration;
  PathString work_directory;
  // Keeps the work directory's name from being given to another directory, until the
  // cleanup deletes it or, when it stays, until the run ends.
  ScopedHandle work_directory_hold;
  PathString archive_path;
  TypeString archive_tag;
  PathString setup_path;
  TypeString setup_tag;
  PathString new_setup_path;
  ExitResult result = kSucceeded;
};

bool IsTag(const TypeString& tag, LPCWSTR expected) {
  return lstrcmpW(tag.Data(), expected) == 0;
}

void TrimWorkingSet() {
  const SIZE_T kAsMuchAsPossible = static_cast<SIZE_T>(-1);
  SetProcessWorkingSetSize(GetCurrentProcess(), kAsMuchAsPossible, kAsMuchAsPossible);
}

// Steps from the configuration to the launch decision. Returns false for the early
// exits that skip the trim and the cleanup.
bool PrepareSetup(HMODULE module, RunState& run) {
  if (!run.configuration.LoadFromModule(module)) {
    run.result = {kConfigurationFailed, GetLastError()};
    return false;
  }
  if (run.configuration.rejected_switch_seen) {
    run.result = {kRejectedSwitch, 0};
    return false;
  }
  run.result = CreateWorkDirectory(module, run.work_directory, run.work_directory_hold);
  if (!run.result.Succeeded()) return false;

  run.result = UnpackPayload(module, run.work_directory, run.archive_path, run.archive_tag,
                             run.setup_path, run.setup_tag);
  if (!run.result.Succeeded() || !IsTag(run.setup_tag, u"B7")) return true;

  // A "B7" setup resource is a patch against the installed setup program.
  if (!run.new_setup_path.Assign(run.work_directory.Data()) ||
      !run.new_setup_path.Append(u"setup.exe")) {
    run.result = {kPathOverflow, 0};
    return false;
  }
  run.result = PatchSetup(run.configuration, run.setup_path, run.new_setup_path);
  if (run.result.Succeeded()) {
    run.setup_path.Assign(run.new_setup_path.Data());
  } else {
    run.setup_path.Clear();
  }
  return true;
}

}  // namespace

ExitResult RunInstaller(HMODULE module) {
  RunState run;
  if (PrepareSetup(module, run) && !unpack_only) {
    const bool launch = run.result.Succeeded();
    TrimWorkingSet();
    if (launch) {
      run.result = LaunchSetup(run.configuration, run.archive_path, run.setup_path,
                               IsTag(run.archive_tag, u"B7"));
    }
    if (run.configuration.cleanup_enabled) {
      DeleteUnpackedFiles(run.archive_path, run.setup_path, run.work_directory, run.work_directory_hold);
    }
  }
  run.configuration.Reset();
  run.work_directory_hold.Close();
  return run.result;
}
