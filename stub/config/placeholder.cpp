// PLACEHOLDER until the configuration step is built: loading always fails, so every run
// ends with the configuration failure code.
#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "stub/config/configuration.h"

bool Configuration::LoadFromModule(HMODULE) {
  Reset();
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return false;
}

bool Configuration::ParseArguments(LPCWSTR) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return false;
}
