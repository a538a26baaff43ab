// Stands in for the setup program of the installed product: started with
// --update-setup-exe="PATCH" and --new-setup-exe="NEW", it rebuilds the new setup
// program from its own image and the patch (setup_patch.h) and writes it to NEW.
// See README.md beside this file for the exit codes and the machine.conf settings.
#include "sim/core/process.h"
#include "tools/standins/installed_setup_exit_codes.h"
#include "tools/standins/setup_patch.h"
#include "tools/standins/standin_program.h"

using namespace installed_setup_exit_codes;

extern "C" void InstalledSetupStandInEntry() {
  const sim::Machine& machine = sim::CurrentProcess().machine();
  standins::StandInRun run = standins::DescribeThisRun("installed-setup");
  if (auto forced = standins::NumberSetting(machine, standins::kInstalledExitCodeSetting)) {
    standins::FinishRun(run, "forced", *forced);
  }
  const std::u16string patch_path = standins::QuotedSwitchValue(run.command_line, u"update-setup-exe");
  const std::u16string new_path = standins::QuotedSwitchValue(run.command_line, u"new-setup-exe");
  if (patch_path.empty() || new_path.empty()) standins::FinishRun(run, "bad-usage", kBadUsage);

  const auto own_image = standins::ReadMachineFile(machine, run.module);
  const auto patch = standins::ReadMachineFile(machine, patch_path);
  if (!own_image || !patch) standins::FinishRun(run, "unreadable", kUnreadable);
  const auto rebuilt = standins::ApplySetupPatch(*own_image, *patch);
  if (!rebuilt) standins::FinishRun(run, "patch-mismatch", kPatchMismatch);
  if (machine.Setting(standins::kInstalledWriteSetting) == "no") standins::FinishRun(run, "not-written", kPatched);
  if (!standins::WriteMachineFile(machine, new_path, *rebuilt)) standins::FinishRun(run, "write-failed", kWriteFailed);
  standins::FinishRun(run, "patched", kPatched);
}
