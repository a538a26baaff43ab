// GetVolumePathNameW and GetVolumeInformationW over the drives of the machine root.
#include "sim/kernel32/volumes.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "platform/errors.h"
#include "platform/kernel32_volumes.h"
#include "sim/core/call_failure.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

namespace sim {

namespace {

constexpr std::u16string_view kLongPathPrefix = u"\\\\?\\";
// NTFS keeps case and Unicode names and enforces ACLs; symbolic links are reparse
// points. The simulation claims no more than that.
constexpr DWORD kNtfsFlags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS |
                             FILE_SUPPORTS_REPARSE_POINTS;
constexpr DWORD kFatFlags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
constexpr DWORD kMaximumComponentLength = 255;

bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }
bool IsDriveLetter(char16_t unit) { return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z'); }
char16_t Upper(char16_t letter) { return letter >= u'a' && letter <= u'z' ? letter - u'a' + u'A' : letter; }

std::string FileSystemSetting(const Machine& machine, char16_t drive) {
  const std::string key = std::string("volume.") + static_cast<char>(drive) + ".file_system";
  std::string value = machine.Setting(key).value_or("NTFS");
  std::string lower = value;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "fat") return "FAT";
  if (lower == "fat32") return "FAT32";
  if (lower == "exfat") return "exFAT";
  return "NTFS";
}

}  // namespace

std::optional<Volume> DriveVolume(const Machine& machine, char16_t drive) {
  drive = Upper(drive);
  if (!IsDriveLetter(drive)) return std::nullopt;
  std::error_code error;
  if (!std::filesystem::is_directory(machine.root() / std::string(1, static_cast<char>(drive)), error)) {
    return std::nullopt;
  }
  Volume volume;
  volume.drive = drive;
  volume.file_system = FileSystemSetting(machine, drive);
  volume.flags = volume.file_system == "NTFS" ? kNtfsFlags : kFatFlags;
  const std::string label_key = std::string("volume.") + static_cast<char>(drive) + ".label";
  volume.label = ToUtf16(machine.Setting(label_key).value_or(""));
  // A fixed serial number per drive letter, so that it is stable between runs.
  volume.serial_number = 0x5A1D0000u | static_cast<DWORD>(drive);
  return volume;
}

std::u16string QualifiedPath(const Process& process, std::u16string_view path) {
  const bool rooted = !path.empty() && IsSeparator(path[0]) && !(path.size() > 1 && IsSeparator(path[1]));
  if (!rooted) return std::u16string(path);
  const std::u16string& current = process.options().current_directory;
  return current.substr(0, 2) + std::u16string(path);
}

char16_t DriveOf(std::u16string_view path) {
  if (path.substr(0, kLongPathPrefix.size()) == kLongPathPrefix) path.remove_prefix(kLongPathPrefix.size());
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') return Upper(path[0]);
  return 0;
}

}  // namespace sim

using namespace sim;

namespace {

// Stores `text` and its terminator in a buffer of `size` units, if it fits.
bool Store(const std::u16string& text, LPWSTR buffer, DWORD size) {
  if (buffer == nullptr) return true;
  if (text.size() + 1 > size) return false;
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return true;
}

}  // namespace

extern "C" BOOL GetVolumePathNameW(LPCWSTR file_name, LPWSTR volume_path, DWORD length) {
  Process& process = CurrentProcess();
  TraceLine trace("GetVolumePathNameW");
  trace.Arg(Quoted(file_name)).Arg(Decimal(length));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (file_name == nullptr || volume_path == nullptr) return fail(ERROR_INVALID_PARAMETER);
  // Documented: an empty name fails, and the last error is then ERROR_SUCCESS.
  if (file_name[0] == 0) return fail(ERROR_SUCCESS);
  if (auto fault = process.TakeFault("GetVolumePathNameW")) return fail(*fault);
  std::u16string_view name = View(file_name);
  const bool long_form = name.substr(0, kLongPathPrefix.size()) == kLongPathPrefix;
  // Network shares are not simulated.
  if (!long_form && name.size() > 1 && IsSeparator(name[0]) && IsSeparator(name[1])) {
    return fail(ERROR_BAD_NETPATH);
  }
  // A relative name is taken on the boot volume, a rooted one on the current drive.
  char16_t drive = DriveOf(QualifiedPath(process, name));
  if (drive == 0) drive = u'C';
  // Components below the root need not exist; the drive itself must (chosen code).
  if (!DriveVolume(process.machine(), drive)) return fail(ERROR_PATH_NOT_FOUND);
  std::u16string root = long_form ? std::u16string(kLongPathPrefix) : std::u16string();
  root += drive;
  root += u":\\";
  // One unit short: the root without its backslash. Shorter still: the code is not
  // documented; the simulation gives ERROR_FILENAME_EXCED_RANGE.
  if (length == root.size()) root.pop_back();
  if (!Store(root, volume_path, length)) return fail(ERROR_FILENAME_EXCED_RANGE);
  trace.Result("TRUE " + Quoted(volume_path));
  return TRUE;
}

extern "C" BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volume_name, DWORD volume_name_size,
                                      LPDWORD serial_number, LPDWORD maximum_component_length,
                                      LPDWORD file_system_flags, LPWSTR file_system_name,
                                      DWORD file_system_name_size) {
  Process& process = CurrentProcess();
  TraceLine trace("GetVolumeInformationW");
  trace.Arg(Quoted(root)).Arg(Decimal(volume_name_size)).Arg(Decimal(file_system_name_size));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (auto fault = process.TakeFault("GetVolumeInformationW")) return fail(*fault);
  // No root: the current directory's.
  std::u16string_view path = root != nullptr ? View(root) : std::u16string_view(process.options().current_directory).substr(0, 3);
  if (path.substr(0, kLongPathPrefix.size()) == kLongPathPrefix) path.remove_prefix(kLongPathPrefix.size());
  const char16_t drive = DriveOf(path);
  if (drive == 0 || path.size() < 3 || !IsSeparator(path[2])) return fail(ERROR_INVALID_NAME);
  const auto volume = DriveVolume(process.machine(), drive);
  if (!volume) return fail(ERROR_PATH_NOT_FOUND);
  // Only a volume root names a volume; a folder on it does not.
  if (path.size() > 3) return fail(ERROR_DIR_NOT_ROOT);
  // Too small a name buffer: undocumented code; the simulation gives ERROR_BAD_LENGTH.
  if (!Store(volume->label, volume_name, volume_name_size) ||
      !Store(ToUtf16(volume->file_system), file_system_name, file_system_name_size)) {
    return fail(ERROR_BAD_LENGTH);
  }
  if (serial_number != nullptr) *serial_number = volume->serial_number;
  if (maximum_component_length != nullptr) *maximum_component_length = kMaximumComponentLength;
  if (file_system_flags != nullptr) *file_system_flags = volume->flags;
  trace.Result("TRUE " + volume->file_system + " " + Hex(volume->flags));
  return TRUE;
}
