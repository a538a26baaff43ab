// Stands in for the setup program of the installed product, written against the platform
// alone: started with --update-setup-exe="PATCH" and --new-setup-exe="NEW", it rebuilds the
// new setup program from its own image and PATCH (the scheme of ../setup_patch.h) and
// writes NEW. Exit codes and outcomes as in ../README.md; the settings come from
// PELLORA_INSTALLED_EXIT_CODE (forced) and PELLORA_INSTALLED_WRITE ("no").
#include "platform/kernel32_core.h"
#include "tools/standins/freestanding/sha256.h"
#include "tools/standins/freestanding/standin_run.h"
#include "tools/standins/freestanding/standin_text.h"
#include "tools/standins/installed_setup_exit_codes.h"

using namespace freestanding_standins;
using namespace installed_setup_exit_codes;

namespace {

constexpr BYTE kMagic[8] = {'S', 'E', 'T', 'U', 'P', 'P', 'A', '1'};
constexpr DWORD kHeaderSize = sizeof kMagic + kSha256Size + 8;
constexpr SIZE_T kPathCapacity = 1024;

[[noreturn]] void Finish(const char* outcome, DWORD exit_code) {
  RunDescription run;
  run.program = "installed-setup";
  run.outcome = outcome;
  run.exit_code = exit_code;
  FinishRun(run);
}

bool SameBytes(const BYTE* a, const BYTE* b, SIZE_T size) {
  for (SIZE_T i = 0; i < size; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Decodes the patch body in place: block i of the keystream is SHA-256(key || i as 8
// bytes little-endian). True when the result has the header's length and digest.
bool ApplyPatch(const FileBytes& installed, FileBytes* patch) {
  if (patch->size < kHeaderSize || !SameBytes(patch->data, kMagic, sizeof kMagic)) return false;
  unsigned long long length = 0;
  for (int i = 7; i >= 0; --i) length = length << 8 | patch->data[sizeof kMagic + kSha256Size + i];
  if (length != patch->size - kHeaderSize) return false;
  BYTE key[kSha256Size];
  Sha256Digest(installed.data, installed.size, key);
  BYTE* body = patch->data + kHeaderSize;
  BYTE stream[kSha256Size] = {};
  for (DWORD i = 0; i < length; ++i) {
    if (i % kSha256Size == 0) {
      BYTE counter[8];
      const unsigned long long block = i / kSha256Size;
      for (int j = 0; j < 8; ++j) counter[j] = static_cast<BYTE>(block >> (8 * j));
      Sha256 hash;
      hash.Update(key, kSha256Size);
      hash.Update(counter, 8);
      hash.Finish(stream);
    }
    body[i] ^= stream[i % kSha256Size];
  }
  BYTE digest[kSha256Size];
  Sha256Digest(body, length, digest);
  return SameBytes(digest, patch->data + sizeof kMagic, kSha256Size);
}

}  // namespace

extern "C" [[noreturn]] void FreestandingInstalledSetupEntry() {
  DWORD forced = 0;
  if (EnvironmentNumber(kInstalledExitCodeVariable, &forced)) Finish("forced", forced);
  const char16_t* command_line = GetCommandLineW();
  char16_t patch_path[kPathCapacity], new_path[kPathCapacity], own_path[kPathCapacity];
  if (!QuotedSwitchValue(command_line, u"update-setup-exe", patch_path, kPathCapacity) ||
      !QuotedSwitchValue(command_line, u"new-setup-exe", new_path, kPathCapacity) || patch_path[0] == u'\0' ||
      new_path[0] == u'\0') {
    Finish("bad-usage", kBadUsage);
  }
  // GetModuleFileNameW returns the buffer size when the name was cut short.
  const DWORD own_units = GetModuleFileNameW(nullptr, own_path, kPathCapacity);
  FileBytes own_image, patch;
  if (own_units == 0 || own_units >= kPathCapacity || !ReadWholeFile(own_path, &own_image)) {
    Finish("unreadable", kUnreadable);
  }
  if (!ReadWholeFile(patch_path, &patch)) {
    FreeBytes(&own_image);
    Finish("unreadable", kUnreadable);
  }
  const bool applied = ApplyPatch(own_image, &patch);
  FreeBytes(&own_image);
  if (!applied) {
    FreeBytes(&patch);
    Finish("patch-mismatch", kPatchMismatch);
  }
  char16_t write_setting[8];
  const bool write = !EnvironmentText(kInstalledWriteVariable, write_setting, 8) || write_setting[0] != u'n' ||
                     write_setting[1] != u'o' || write_setting[2] != u'\0';
  const bool written = !write || WriteWholeFile(new_path, patch.data + kHeaderSize, patch.size - kHeaderSize);
  FreeBytes(&patch);
  if (!write) Finish("not-written", kPatched);
  if (!written) Finish("write-failed", kWriteFailed);
  Finish("patched", kPatched);
}
