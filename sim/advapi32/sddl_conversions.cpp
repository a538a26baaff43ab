// SIDs to text and SDDL text to security descriptors. Both results are local blocks of
// the process, released with LocalFree and counted by the accounting.
#include <cstring>

#include "platform/advapi32_security.h"
#include "platform/errors.h"
#include "sim/advapi32/security_descriptor.h"
#include "sim/advapi32/sid.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

using namespace sim;

extern "C" BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* text) {
  Process& process = CurrentProcess();
  TraceLine trace("ConvertSidToStringSidW");
  trace.Arg(Pointer(sid));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (sid == nullptr || text == nullptr) return fail(ERROR_INVALID_PARAMETER);
  auto parsed = SidFromBytes(static_cast<const BYTE*>(sid));
  if (!parsed) return fail(ERROR_INVALID_SID);
  if (auto fault = process.TakeFault("ConvertSidToStringSidW")) return fail(*fault);
  const std::u16string string_sid = SidText(*parsed);
  const SIZE_T bytes = (string_sid.size() + 1) * sizeof(char16_t);
  auto* block = static_cast<char16_t*>(process.Allocate(bytes, true, true));
  if (block == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(block, string_sid.c_str(), bytes);
  *text = block;
  trace.Result("TRUE " + Quoted(block) + " " + Pointer(block));
  return TRUE;
}

extern "C" BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                                     PSECURITY_DESCRIPTOR* descriptor,
                                                                     ULONG* size) {
  Process& process = CurrentProcess();
  TraceLine trace("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  trace.Arg(Quoted(text)).Arg(Decimal(revision)).Arg(Pointer(size));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (text == nullptr || descriptor == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (revision != SDDL_REVISION_1) return fail(ERROR_UNKNOWN_REVISION);
  if (auto fault = process.TakeFault("ConvertStringSecurityDescriptorToSecurityDescriptorW")) return fail(*fault);
  // Windows does not document the code for malformed text; the simulation gives
  // ERROR_INVALID_PARAMETER, ERROR_INVALID_SID for a malformed "S-1-..." trustee and
  // ERROR_NONE_MAPPED for an alias that names no account.
  const SddlResult parsed = ParseSddl(View(text));
  if (!parsed.descriptor) return fail(parsed.error);
  const std::vector<BYTE> bytes = ToSelfRelative(*parsed.descriptor);
  void* block = process.Allocate(bytes.size(), false, true);
  if (block == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(block, bytes.data(), bytes.size());
  *descriptor = block;
  if (size != nullptr) *size = static_cast<ULONG>(bytes.size());
  trace.Result("TRUE " + Pointer(block) + " " + Decimal(bytes.size()));
  return TRUE;
}
