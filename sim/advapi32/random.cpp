// RtlGenRandom, exported by advapi32 as SystemFunction036: the process's scripted bytes
// first (ProcessOptions::random_bytes, winsim run --random), then the host's source.
#include <sys/random.h>

#include <cerrno>

#include "platform/advapi32_random.h"
#include "sim/core/process.h"
#include "sim/core/trace.h"

using namespace sim;

namespace {

bool HostRandom(BYTE* destination, size_t count) {
  while (count > 0) {
    const ssize_t got = ::getrandom(destination, count, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    destination += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

extern "C" BOOLEAN SystemFunction036(LPVOID buffer, ULONG length) {
  Process& process = CurrentProcess();
  TraceLine trace("SystemFunction036");
  trace.Arg(Pointer(buffer)).Arg(Decimal(length));
  // Windows documents neither a last error nor what a failed call leaves in the buffer:
  // the simulation sets none and leaves the buffer as it was.
  if (buffer == nullptr || process.TakeFault("SystemFunction036")) {
    trace.Result("FALSE");
    return 0;
  }
  auto* bytes = static_cast<BYTE*>(buffer);
  const size_t scripted = process.TakeScriptedRandom(bytes, length);
  if (!HostRandom(bytes + scripted, length - scripted)) {
    trace.Result("FALSE");
    return 0;
  }
  trace.Result("TRUE " + HexBytes(std::vector<BYTE>(bytes, bytes + length)));
  return 1;
}
