// OpenProcessToken and GetTokenInformation (TokenOwner) of the simulated process.
#include "sim/advapi32/token.h"

#include <unistd.h>

#include <cstring>

#include "platform/advapi32_security.h"
#include "platform/errors.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

namespace sim {

namespace {

// The simulated machine's own domain: made-up numbers, the same on every machine.
constexpr uint32_t kMachineDomain[] = {2875034137u, 1190863415u, 3041588390u};
// Local accounts are numbered from 1000 on.
constexpr uint32_t kFirstAccountRid = 1000;

bool IsCurrentProcess(HANDLE handle) { return handle == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

}  // namespace

std::optional<Sid> TokenOwnerSid(const Machine& machine) {
  if (auto setting = machine.Setting(kTokenOwnerSetting)) return ParseSidText(ToUtf16(*setting), 255);
  Sid sid;
  sid.authority = 5;
  sid.sub_authorities = {21, kMachineDomain[0], kMachineDomain[1], kMachineDomain[2],
                         kFirstAccountRid + static_cast<uint32_t>(::getuid())};
  return sid;
}

std::vector<Sid> TokenSids(const Machine& machine) {
  std::vector<Sid> sids;
  if (auto owner = TokenOwnerSid(machine)) sids.push_back(*owner);
  for (const char16_t* alias : {u"WD", u"AU", u"BU"}) sids.push_back(*SidFromAlias(alias));
  return sids;
}

std::string Token::Describe() const { return ToUtf8(SidText(owner_)); }

}  // namespace sim

using namespace sim;

extern "C" BOOL OpenProcessToken(HANDLE process_handle, DWORD desired_access, HANDLE* token) {
  Process& process = CurrentProcess();
  TraceLine trace("OpenProcessToken");
  trace.Arg(Pointer(process_handle)).Arg(Hex(desired_access));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  // Only the current process's own token is simulated.
  if (!IsCurrentProcess(process_handle) || token == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (auto fault = process.TakeFault("OpenProcessToken")) return fail(*fault);
  // A machine whose owner setting is no SID has no usable token (chosen code).
  auto owner = TokenOwnerSid(process.machine());
  if (!owner) return fail(ERROR_NO_TOKEN);
  *token = process.handles().Insert(std::make_shared<Token>(*owner), desired_access);
  trace.Result("TRUE " + Pointer(*token));
  return TRUE;
}

extern "C" BOOL GetTokenInformation(HANDLE token_handle, TOKEN_INFORMATION_CLASS information_class,
                                    LPVOID information, DWORD length, DWORD* return_length) {
  Process& process = CurrentProcess();
  TraceLine trace("GetTokenInformation");
  trace.Arg(Pointer(token_handle)).Arg(Decimal(information_class)).Arg(Pointer(information)).Arg(Decimal(length));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  HandleEntry* entry = process.handles().Find(token_handle);
  auto token = process.handles().Get<Token>(token_handle);
  if (token == nullptr) return fail(ERROR_INVALID_HANDLE);
  if ((entry->access & TOKEN_QUERY) == 0) return fail(ERROR_ACCESS_DENIED);
  if (return_length == nullptr || (information == nullptr && length != 0)) return fail(ERROR_NOACCESS);
  // Of the information classes only the default owner is simulated.
  if (information_class != TokenOwner) return fail(ERROR_INVALID_PARAMETER);
  if (auto fault = process.TakeFault("GetTokenInformation")) return fail(*fault);

  const std::vector<BYTE> sid = SidBytes(token->owner());
  const DWORD needed = static_cast<DWORD>(sizeof(TOKEN_OWNER) + sid.size());
  *return_length = needed;
  // Too small a buffer (none at all, when the size is asked for) stores nothing else.
  if (length < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
  auto* bytes = static_cast<BYTE*>(information);
  std::memcpy(bytes + sizeof(TOKEN_OWNER), sid.data(), sid.size());
  static_cast<TOKEN_OWNER*>(information)->Owner = bytes + sizeof(TOKEN_OWNER);
  trace.Result("TRUE " + Decimal(needed));
  return TRUE;
}
