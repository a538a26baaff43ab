#include "tests/e2e/installation_scenarios.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "sim/core/text.h"
#include "tests/support/cabinet_builder.h"
#include "tools/standins/setup_patch.h"

namespace scenarios {

namespace {

std::u16string Quoted(const std::u16string& text) { return u"\"" + text + u"\""; }

// A silent run starts its children hidden: STARTF_USESHOWWINDOW (0x1) with SW_HIDE (0) and
// STARTF_FORCEOFFFEEDBACK (0x80).
std::vector<Child> Silent(std::vector<Child> children) {
  for (auto& child : children) {
    child.startup_flags = 0x81;
    child.show_window = 0;
  }
  return children;
}

constexpr char kAccounting[] = "accounting: no handle, block or module beyond the cabinet library left at exit";

RegistryValue UserInstalledSetup() {
  return {u"HKCU", kClientStateKey, u"UninstallString", Quoted(kInstalled), true};
}

RegistryValue CleanupPolicy(const std::u16string& text) {
  return {u"HKCU", kUninstallKey, u"TarselInstallerCleanup", text, false};
}

std::vector<Scenario> MakeScenarios() {
  std::vector<Scenario> all;
  const std::u16string release_archive = u"<W>PELLORA.PACKED.7Z";

  {
    Scenario s;
    s.name = "ReleaseLayoutWithoutArgumentsInstallsAndLeavesNothing";
    s.children = {{"setup", SetupLine(u"install-archive")}};
    s.left = {u"installer.exe"};
    s.host_only = std::string(kAccounting) + "; one working-set trim";
    all.push_back(s);
  }
  for (const DWORD code : {108u, 0xC0000409u}) {
    Scenario s;
    s.name = code == 108u ? "SetupsExitCodeIsPassedOn" : "SetupsExitCodeKeepsAll32Bits";
    s.setup_exit_code = code;
    s.arguments = u" --pellora-silent";
    s.exit_code = code;
    s.children = Silent({{"setup", SetupLine(u"install-archive", u" --pellora-silent")}});
    s.left = {u"installer.exe"};
    s.host_only = kAccounting;
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "ArgumentsReachSetupExactly";
    s.arguments = u" --pellora-silent  \"C:\\a b\\\\\" tail\\\"x";
    s.children = Silent({{"setup", SetupLine(u"install-archive", s.arguments)}});
    s.left = {u"installer.exe"};
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "ARejectedSwitchTouchesNothing";
    s.arguments = u" --system-level --CLEANUP";
    s.exit_code = 118;
    s.left = {u"installer.exe"};
    s.host_only = std::string(kAccounting) + "; no CreateDirectoryW call (trace)";
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "NoArchiveResourceRemovesTheEmptyWorkDirectory";
    s.payload.archive_type = u"";
    s.exit_code = 112;
    s.left = {u"installer.exe"};
    s.host_only = kAccounting;
    all.push_back(s);
  }
  for (const std::u16string type : {u"BL", u"BN"}) {
    Scenario s;
    s.name = "AnArchiveOfType" + Utf8(type) + "IsPassedAsUncompressed";
    s.payload.archive_type = type;
    s.payload.setup_type = u"BN";
    s.arguments = u" x";
    s.children = {{"setup", SetupLine(u"uncompressed-archive", u" x")}};
    s.left = {u"installer.exe"};
    s.host_only = kAccounting;
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "CleanupDisabledByPolicyLeavesTheWorkDirectory";
    s.registry = {CleanupPolicy(u"0")};
    s.setup_exit_code = 7;
    s.exit_code = 7;
    s.children = {{"setup", SetupLine(u"install-archive")}};
    s.left = {u"installer.exe", u"TS_?????.tmp", u"TS_?????.tmp/PELLORA.PACKED.7Z", u"TS_?????.tmp/setup.exe"};
    s.host_only = std::string(kAccounting) + "; the work directory's protection and the setup's creation time";
    s.wine_note =
        "Wine maps a directory's access list to a Unix mode and keeps no creation time, so neither is judged "
        "here (Wine's own documentation of its file system mapping)";
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "APolicyThatIsNotZeroKeepsTheCleanup";
    s.registry = {CleanupPolicy(u"1")};
    s.children = {{"setup", SetupLine(u"install-archive")}};
    s.left = {u"installer.exe"};
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "ASystemLevelRunLooksOnlyBelowHklm";
    s.payload.setup_type = u"B7";
    s.previous_setup = true;
    s.registry = {UserInstalledSetup()};
    s.arguments = u" --system-level";
    s.exit_code = 110;
    // The patch was never used, so it stays, and with it the work directory.
    s.left = {u"installer.exe", u"TS_?????.tmp", u"TS_?????.tmp/SETUP.PATCH"};
    s.host_only = kAccounting;
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "APatchIsTurnedIntoSetupByTheUsersInstalledProgram";
    s.payload.setup_type = u"B7";
    s.previous_setup = true;
    s.registry = {UserInstalledSetup()};
    s.arguments = u" --pellora-silent";
    s.children = Silent({{"installed-setup", PatchLine(u"<W>", u"SETUP.PATCH", u" --pellora-silent")},
                         {"setup", SetupLine(u"install-archive", u" --pellora-silent")}});
    s.left = {u"installer.exe"};
    s.host_only = kAccounting;
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "ASystemLevelPatchUsesTheMachines32BitView";
    s.payload.setup_type = u"B7";
    s.previous_setup = true;
    s.registry = {{u"HKLM", kClientStateKey, u"UninstallString", Quoted(kInstalled), true}};
    s.arguments = u" --system-level";
    s.children = {{"installed-setup", PatchLine(u"<W>", u"SETUP.PATCH", u" --system-level")},
                  {"setup", SetupLine(u"install-archive", u" --system-level")}};
    s.left = {u"installer.exe"};
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "AValueInTheMachines64BitViewIsNotRead";
    s.payload.setup_type = u"B7";
    s.previous_setup = true;
    s.registry = {{u"HKLM", kClientStateKey, u"UninstallString", Quoted(kInstalled), false}};
    s.arguments = u" --system-level";
    s.exit_code = 110;
    s.left = {u"installer.exe", u"TS_?????.tmp", u"TS_?????.tmp/SETUP.PATCH"};
    all.push_back(s);
  }
  {
    // A patch stored under the name "SETUP.EXE" names the file that the patching run
    // rebuilds: the rebuilt program stays for the launch and goes with the cleanup.
    Scenario s;
    s.name = "APatchStoredAsSetupExeIsRebuiltInPlaceAndRuns";
    s.payload.setup_type = u"B7";
    s.payload.setup_name = u"SETUP.EXE";
    s.previous_setup = true;
    s.registry = {UserInstalledSetup()};
    s.children = {{"installed-setup", PatchLine(u"<W>", u"SETUP.EXE")}, {"setup", SetupLine(u"install-archive")}};
    s.left = {u"installer.exe"};
    s.host_only = kAccounting;
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "APatchingProgramThatFailsEndsTheRunWithItsCode";
    s.payload.setup_type = u"B7";
    s.previous_setup = true;
    s.registry = {UserInstalledSetup()};
    s.installed_exit_code = 5;
    s.exit_code = 5;
    s.children = {{"installed-setup", PatchLine(u"<W>")}};
    // The patch went with the patching run; the archive and the directory with the cleanup.
    s.left = {u"installer.exe"};
    s.host_only = kAccounting;
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "APatchingProgramThatWritesNothingLeavesSetupMissing";
    s.payload.setup_type = u"B7";
    s.previous_setup = true;
    s.registry = {UserInstalledSetup()};
    s.installed_writes_nothing = true;
    s.exit_code = 122;
    s.children = {{"installed-setup", PatchLine(u"<W>")}};
    s.left = {u"installer.exe"};
    s.host_only = std::string(kAccounting) + "; the missing program's attributes in the trace";
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "UnpackOnlyPatchesBesideTheExecutableAndStops";
    s.payload.setup_type = u"B7";
    s.previous_setup = true;
    s.registry = {UserInstalledSetup()};
    s.arguments = u" --pellora-unpack";
    s.children = {{"installed-setup", PatchLine(u"<F>", u"SETUP.PATCH", u" --pellora-unpack")}};
    s.left = {u"installer.exe", u"PELLORA.PACKED.7Z", u"setup.exe"};
    s.host_only = std::string(kAccounting) + "; no CreateDirectoryW call (trace)";
    all.push_back(s);
  }
  {
    Scenario s;
    s.name = "UnpackOnlyKeepsWhatAFailedUnpackLeft";
    s.payload.damaged_cabinet = true;
    s.arguments = u" --pellora-unpack";
    s.exit_code = 115;
    // The archive stays; the cabinet was deleted and its partial expansion with it.
    s.left = {u"installer.exe", u"PELLORA.PACKED.7Z"};
    s.host_only = std::string(kAccounting) + "; no working-set trim";
    // Wine's FDICopy notifies fdintCLOSE_FILE_INFO for the cut file with none of its bytes
    // written (seen with WINEDEBUG=+cabinet); the stub counts the bytes against the size
    // announced in fdintCOPY_FILE and refuses the file, so both machines agree.
    all.push_back(s);
  }
  {
    // A work directory of 250 units: a process that is not long-path aware creates
    // directories of at most 248 (MAX_PATH less room for an 8.3 name), so each of the ten
    // names drawn is refused and the run ends with 109 before anything is unpacked.
    Scenario s;
    s.name = "AWorkDirectoryPastTheDirectoryLimitEndsWith109";
    while (s.folder.size() < 238) {
      s.folder += std::u16string(std::min<size_t>(100, 238 - 1 - s.folder.size()), u'f') + u"\\";
    }
    s.exit_code = 109;
    s.left = {u"installer.exe"};
    s.host_only = std::string(kAccounting) + "; ten CreateDirectoryW calls refused with error 206 (installation_run_test)";
    // Wine 8.0 creates the 250-unit directory; the CreateDirectoryW reference gives the
    // 248-character limit for a process without the long-path opt-in. The run then fails
    // on the archive's path of 267 units.
    s.wine_note = "Wine creates a directory past the documented 248-character limit of CreateDirectoryW";
    s.wine_exit_code = 108;
    all.push_back(s);
  }
  {
    // Files named cabinet.dll where a user can put them: below a WINDIR and SYSTEMROOT of
    // the user's choice and beside the executable. They are not libraries at all, so
    // loading any of them would fail the expansion; the run installs as usual.
    Scenario s;
    s.name = "ACabinetLibraryPlantedAtWindirOrBesideTheExecutableIsNeverLoaded";
    s.environment = {{"WINDIR", "C:\\Planted"}, {"SYSTEMROOT", "C:\\Planted"}};
    const std::string planted = "planted by the test: not a library";
    s.planted = {{u"C:\\Planted\\system32\\cabinet.dll", planted},
                 {u"C:\\Planted\\cabinet.dll", planted},
                 {u"<F>cabinet.dll", planted}};
    s.children = {{"setup", SetupLine(u"install-archive")}};
    s.left = {u"cabinet.dll", u"installer.exe"};
    s.host_only = kAccounting;
    all.push_back(s);
  }
  for (const bool unpack_only : {false, true}) {
    // An archive named to climb two folders up from where it is written: from the work
    // directory that is the installer's folder, from the folder (unpack-only) its parent.
    // The name is refused before anything is written, and both files stay as they were.
    Scenario s;
    s.name = unpack_only ? "AClimbingPayloadNameTouchesNothingOutsideInAnUnpackOnlyRun"
                         : "AClimbingPayloadNameTouchesNothingOutsideTheWorkDirectory";
    s.payload.archive_name = u"PELLORA\\..\\..\\VICTIM.TXT";
    if (unpack_only) s.arguments = u" --pellora-unpack";
    s.planted = {{u"<F>VICTIM.TXT", "the user's own file"}, {u"C:\\Downloads\\VICTIM.TXT", "the user's own file"}};
    s.exit_code = 112;
    s.left = {u"installer.exe", u"VICTIM.TXT"};
    s.host_only = kAccounting;
    all.push_back(s);
  }
  {
    // Setup, a child the installer started, tries to rename the work directory while the
    // installer waits for it (the first step of swapping it for a link). The installer
    // holds the directory open without sharing deletion, so the rename is refused as a
    // sharing violation, and the cleanup still removes everything.
    Scenario s;
    s.name = "ARenameOfTheWorkDirectoryDuringTheRunIsRefused";
    s.environment = {{"PELLORA_SETUP_RENAME_FOLDER", "yes"}};
    s.children = {{"setup", SetupLine(u"install-archive")}};
    s.left = {u"installer.exe"};
    s.setup_outcome = "folder rename refused 32";
    s.host_only = kAccounting;
    all.push_back(s);
  }
  return all;
}

void ReplaceAll(std::u16string& text, const std::u16string& from, const std::u16string& to) {
  for (size_t at = text.find(from); at != std::u16string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

std::u16string SetupName(const Payload& payload) {
  if (!payload.setup_name.empty()) return payload.setup_name;
  if (payload.setup_type == u"B7") return u"SETUP.PATCH";
  if (payload.setup_type == u"BL") return u"SETUP.EX_";
  return u"SETUP.EXE";
}

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> all = MakeScenarios();
  return all;
}

std::string ChildText(const std::string& program, const std::u16string& line, DWORD startup_flags, WORD show_window) {
  char start[64];
  std::snprintf(start, sizeof start, " [startup_flags 0x%08X show_window %u]", startup_flags, show_window);
  return program + ": " + Utf8(line) + start;
}

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

std::u16string Expand(const std::u16string& text, const std::u16string& folder) {
  std::u16string out = text;
  ReplaceAll(out, u"<W>", u"<F>TS_?????.tmp\\");
  ReplaceAll(out, u"<F>", folder);
  return out;
}

Observed Observe(const std::vector<standins::StandInRun>& runs, const std::filesystem::path& folder) {
  Observed observed;
  for (const auto& run : runs) {
    observed.children.push_back(ChildText(run.program, WithoutRandomDigits(run.command_line), run.startup_flags,
                                          run.show_window));
    if (run.program == "setup") observed.setup_outcomes.push_back(run.outcome);
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    observed.left.insert(WithoutRandomDigits(sim::ToUtf16(entry.path().lexically_relative(folder).string())));
  }
  return observed;
}

std::vector<std::string> ExpectedChildren(const Scenario& scenario) {
  std::vector<std::string> children;
  for (const auto& child : scenario.children) {
    children.push_back(
        ChildText(child.program, Expand(child.line, scenario.folder), child.startup_flags, child.show_window));
  }
  return children;
}

std::u16string WithoutRandomDigits(std::u16string text) {
  for (size_t at = text.find(u"TS_"); at != std::u16string::npos; at = text.find(u"TS_", at + 3)) {
    if (at + 12 <= text.size() && text.compare(at + 8, 4, u".tmp") == 0) text.replace(at + 3, 5, u"?????");
  }
  return text;
}

std::u16string SetupLine(const std::u16string& archive_switch, const std::u16string& arguments) {
  return Quoted(u"<W>setup.exe") + u" --" + archive_switch + u"=" + Quoted(u"<W>PELLORA.PACKED.7Z") +
         u" --pellora-mini" + arguments;
}

std::u16string PatchLine(const std::u16string& directory, const std::u16string& patch_name,
                         const std::u16string& arguments) {
  return Quoted(kInstalled) + u" --update-setup-exe=" + Quoted(directory + patch_name) + u" --new-setup-exe=" +
         Quoted(directory + u"setup.exe") + arguments;
}

std::string Utf8(const std::u16string& text) { return sim::ToUtf8(text); }

std::vector<testing_support::ImageResource> PayloadResources(const Payload& payload, const std::string& setup_program,
                                                             const std::string& installed_program) {
  static const std::string kArchiveBytes = "7z\xBC\xAF\x27\x1C product archive";
  std::vector<testing_support::ImageResource> resources;
  if (!payload.archive_type.empty()) resources.push_back({payload.archive_type, payload.archive_name, kArchiveBytes});
  if (payload.setup_type.empty()) return resources;
  std::string setup = setup_program;
  if (payload.setup_type == u"B7") {
    setup = standins::MakeSetupPatch(installed_program, setup_program);
  } else if (payload.setup_type == u"BL") {
    setup = testing_support::BuildCabinet({{1, {{"setup.exe", setup_program}}}});
    if (payload.damaged_cabinet) setup.resize(setup.size() / 2);
  }
  resources.push_back({payload.setup_type, SetupName(payload), setup});
  return resources;
}

}  // namespace scenarios
