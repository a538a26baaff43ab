#include "tests/stub/driver/recording_steps.h"

#include "sim/core/process.h"
#include "sim/core/text.h"
#include "stub/cleanup/delete_unpacked_files.h"
#include "stub/config/configuration.h"
#include "stub/payload/unpack_payload.h"
#include "stub/setup/launch_setup.h"
#include "stub/setup/patch_setup.h"
#include "stub/workdir/work_directory.h"
#include "platform/kernel32_core.h"

bool silent_mode;
bool unpack_only;

Recording& Recorded() {
  static Recording recording;
  return recording;
}

namespace {

void Record(const std::string& call) {
  Recorded().calls.push_back(call);
  Recorded().trims_before.push_back(sim::CurrentProcess().Snapshot().working_set_trims);
}
std::string Utf8(LPCWSTR text) { return sim::ToUtf8(text); }

template <Count N>
void Fill(FixedString<N>& target, const std::u16string& value) {
  target.Assign(value.c_str());
}

}  // namespace

void Configuration::Reset() {
  Record("Reset");
  argv = nullptr;
  command_line = nullptr;
  argc = 0;
  system_level = false;
  rejected_switch_seen = false;
  cleanup_enabled = true;
  previous_version = nullptr;
}

bool Configuration::LoadFromModule(HMODULE) {
  Record("Load");
  const Scenario& s = Recorded().scenario;
  if (!s.load_succeeds) {
    SetLastError(s.load_error);
    return false;
  }
  rejected_switch_seen = s.rejected_switch;
  cleanup_enabled = s.cleanup_enabled;
  if (s.unpack_only) unpack_only = true;
  return true;
}

ExitResult CreateWorkDirectory(HMODULE, PathString& work_directory, ScopedHandle&) {
  Record("WorkDirectory");
  const Scenario& s = Recorded().scenario;
  if (s.work_directory_result.Succeeded()) Fill(work_directory, s.work_directory);
  return s.work_directory_result;
}

ExitResult UnpackPayload(HMODULE, const PathString& work_directory, PathString& archive_path,
                         TypeString& archive_tag, PathString& setup_path, TypeString& setup_tag) {
  Record("Unpack wd=" + Utf8(work_directory.Data()));
  const Scenario& s = Recorded().scenario;
  Fill(archive_path, s.archive_path);
  Fill(archive_tag, s.archive_tag);
  Fill(setup_path, s.setup_path);
  Fill(setup_tag, s.setup_tag);
  return s.unpack_result;
}

ExitResult PatchSetup(const Configuration&, const PathString& patch_path, const PathString& new_setup_path) {
  Record("Patch patch=" + Utf8(patch_path.Data()) + " new=" + Utf8(new_setup_path.Data()));
  return Recorded().scenario.patch_result;
}

ExitResult LaunchSetup(const Configuration&, const PathString& archive_path, const PathString& setup_path,
                       bool compressed_archive) {
  Record("Launch archive=" + Utf8(archive_path.Data()) + " setup=" + Utf8(setup_path.Data()) +
         " compressed=" + (compressed_archive ? "1" : "0"));
  return Recorded().scenario.launch_result;
}

void DeleteUnpackedFiles(const PathString& archive_path, const PathString& setup_path,
                         const PathString& work_directory, ScopedHandle&) {
  Record("Delete archive=" + Utf8(archive_path.Data()) + " setup=" + Utf8(setup_path.Data()) +
         " wd=" + Utf8(work_directory.Data()));
}
