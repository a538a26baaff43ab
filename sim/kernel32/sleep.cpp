#include <time.h>

#include "platform/kernel32_core.h"
#include "sim/core/process.h"
#include "sim/core/trace.h"

// Every pause is counted; in virtual mode it is only counted, so that tests of retry
// loops run at once while still proving how long the program would have waited.
extern "C" void Sleep(DWORD milliseconds) {
  sim::Process& process = sim::CurrentProcess();
  process.RecordPause(milliseconds);
  sim::TraceLine("Sleep").Arg(sim::Decimal(milliseconds)).Result(process.options().virtual_sleep ? "(virtual)" : "");
  if (process.options().virtual_sleep) return;
  timespec pause{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}
