// Whole installations written once as data and run on two machines with the same
// expectations: the simulated Windows (installation_table_test.cpp, the host build of the
// stub with the host stand-ins) and Wine (tests/wine/, the release image's own ARM64 code
// with the stand-ins built as ARM64 images). A user or a parent process can judge only
// what is here: the exit code (all 32 bits), the children's command lines, the files left
// and the registry read. What only the simulation can judge is said per scenario and
// checked by the host leg alone.
#pragma once
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/types.h"
#include "tests/support/resource_image.h"
#include "tools/standins/standin_record.h"

namespace scenarios {

// The installer's usual folder (ends with a backslash; not below C:\Users, which a Wine
// prefix keeps as "users", and Windows reports a folder's name in the case on disk) and the
// installed product's setup program.
inline constexpr char16_t kDownloads[] = u"C:\\Downloads\\Ann Smith\\";
inline constexpr char16_t kInstalled[] =
    u"C:\\Program Files (x86)\\Pellora\\Application\\4.2.1.7\\Installer\\setup.exe";
inline constexpr char16_t kClientStateKey[] = u"Software\\Pellora\\Update\\ClientState";
inline constexpr char16_t kUninstallKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellora";

// What the payload image holds; an empty type leaves that resource out.
struct Payload {
  std::u16string archive_type = u"B7";
  std::u16string setup_type = u"BL";
  std::u16string archive_name = u"PELLORA.PACKED.7Z";
  std::u16string setup_name;  // default by type: SETUP.PATCH, SETUP.EX_, SETUP.EXE
  bool damaged_cabinet = false;  // the setup cabinet cut to half its size
};
std::u16string SetupName(const Payload& payload);

// A REG_SZ value the machine holds before the run.
struct RegistryValue {
  std::u16string root;  // u"HKCU" or u"HKLM"
  std::u16string key;   // below the root
  std::u16string name;
  std::u16string text;
  bool view32 = false;  // written through the 32-bit view (KEY_WOW64_32KEY, reg /reg:32)
};

// A child the run started, in order: "setup" or "installed-setup", its raw command line
// and the STARTUPINFO it received (GetStartupInfoW's dwFlags and wShowWindow).
struct Child {
  std::string program;
  std::u16string line;
  DWORD startup_flags = 0;
  WORD show_window = 0;
};
// The children as text for comparison, one line each.
std::string ChildText(const std::string& program, const std::u16string& line, DWORD startup_flags, WORD show_window);

// In expected command lines and files: <F> is the installer's folder (with its trailing
// backslash) and <W> the work directory (the same, with "TS_?????.tmp\"); the five
// random digits of a work directory's name read as "?????" on both machines.
struct Scenario {
  std::string name;
  Payload payload;
  std::u16string folder = kDownloads;
  bool previous_setup = false;  // the installed setup program present at kInstalled
  std::vector<RegistryValue> registry;
  std::optional<DWORD> setup_exit_code;      // the setup stand-in ends with it (default 0)
  std::optional<DWORD> installed_exit_code;  // the installed setup ends with it at once
  bool installed_writes_nothing = false;     // a good patch, but no setup written
  std::u16string arguments;                  // after the quoted image path
  // Variables set in the run's environment, beside the stand-ins' own settings.
  std::vector<std::pair<std::string, std::string>> environment;
  // Files put on the machine before the run (full paths; <F> allowed) that the run must
  // leave byte for byte as they were; removed afterwards.
  std::vector<std::pair<std::u16string, std::string>> planted;
  DWORD exit_code = 0;
  std::vector<Child> children;
  std::set<std::u16string> left;  // below the folder, '/' between names
  // What the setup stand-in recorded as its outcome; checked when not empty.
  std::string setup_outcome;
  // What only the simulation judges in this scenario: the host leg of the table checks the
  // accounting; installation_run_test.cpp checks the trace, the listing beside the archive,
  // the creation flags and the working-set trim of these runs with the host stand-ins.
  std::string host_only;
  // Where Wine is known to differ from documented Windows here, and the source; empty
  // when the two machines agree. What Wine gives instead, where that differs.
  std::string wine_note;
  std::optional<DWORD> wine_exit_code;
  std::optional<std::set<std::u16string>> wine_left;
  std::optional<std::string> wine_setup_outcome;
};

const std::vector<Scenario>& Scenarios();
// GoogleTest prints a scenario by its name.
void PrintTo(const Scenario& scenario, std::ostream* out);

// Replaces <F> and <W> for a run in `folder`.
std::u16string Expand(const std::u16string& text, const std::u16string& folder);
// Replaces the five digits of every "TS_xxxxx.tmp" with "?????".
std::u16string WithoutRandomDigits(std::u16string text);

// The setup program's and the patching program's exact lines, in <F>/<W> form.
std::u16string SetupLine(const std::u16string& archive_switch, const std::u16string& arguments = u"");
std::u16string PatchLine(const std::u16string& directory, const std::u16string& patch_name = u"SETUP.PATCH",
                         const std::u16string& arguments = u"");

std::string Utf8(const std::u16string& text);

// What one machine showed of a run, in the table's terms: the children in the order they
// ran (ChildText), the outcomes the setup stand-in recorded, and every path below the
// installer's folder with the random digits masked.
struct Observed {
  std::vector<std::string> children;
  std::vector<std::string> setup_outcomes;
  std::set<std::u16string> left;
};
Observed Observe(const std::vector<standins::StandInRun>& runs, const std::filesystem::path& folder);
// The children that `scenario` expects, as ChildText gives them.
std::vector<std::string> ExpectedChildren(const Scenario& scenario);

// The image's payload resources for `payload`: a small archive and the setup resource made
// from the given stand-in programs' bytes (packed in a cabinet, or as a patch against the
// installed stand-in).
std::vector<testing_support::ImageResource> PayloadResources(const Payload& payload, const std::string& setup_program,
                                                             const std::string& installed_program);

}  // namespace scenarios
