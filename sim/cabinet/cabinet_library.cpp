#include "sim/cabinet/cabinet_library.h"

#include <cstring>

#include "platform/errors.h"
#include "sim/cabinet/decompression_context.h"
#include "sim/core/process.h"
#include "sim/core/trace.h"

namespace sim::cabinet {

namespace {

// Something for the module handle to point at; its contents do not matter.
alignas(16) const unsigned char kModuleImage[16] = {'M', 'Z'};

// Through void(*)(), the generic function pointer type that casts freely.
template <typename Function>
FARPROC AsExport(Function function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

std::string Text(const char* text) { return text == nullptr ? "null" : "\"" + std::string(text) + "\""; }

}  // namespace

HMODULE LibraryModule() { return reinterpret_cast<HMODULE>(const_cast<unsigned char*>(kModuleImage)); }

FARPROC FindExport(const char* name) {
  struct Export {
    const char* name;
    FARPROC function;
  } exports[] = {
      {"FDICreate", AsExport(&FDICreate)},
      {"FDICopy", AsExport(&FDICopy)},
      {"FDIDestroy", AsExport(&FDIDestroy)},
  };
  for (const Export& entry : exports) {
    if (std::strcmp(entry.name, name) == 0) return entry.function;
  }
  return nullptr;
}

HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
               PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpu_type, ERF* erf) {
  TraceLine trace("FDICreate");
  trace.Arg(std::to_string(cpu_type)).Arg(Pointer(erf));
  // A fault's error is the FDIERROR code the library reports.
  if (auto fault = CurrentProcess().TakeFault("FDICreate")) {
    if (erf != nullptr) *erf = ERF{static_cast<int>(*fault), 0, TRUE};
    trace.Result("null (FDIERROR " + std::to_string(*fault) + ")");
    return nullptr;
  }
  HFDI context = CreateContext(pfnalloc, pfnfree, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek, cpu_type, erf);
  trace.Result(context != nullptr ? Pointer(context)
                                  : "null (FDIERROR " + std::to_string(erf != nullptr ? erf->erfOper : 0) + ")");
  return context;
}

BOOL FDICopy(HFDI context, char* cabinet_name, char* cabinet_path, int flags, PFNFDINOTIFY notify,
             PFNFDIDECRYPT decrypt, void* user) {
  TraceLine trace("FDICopy");
  trace.Arg(Pointer(context)).Arg(Text(cabinet_name)).Arg(Text(cabinet_path)).Arg(Decimal(flags));
  // A fault refuses the copy before the cabinet is opened, with the fault's FDIERROR code.
  if (auto fault = CurrentProcess().TakeFault("FDICopy")) {
    RecordError(context, static_cast<int>(*fault));
    trace.Result("FALSE (FDIERROR " + std::to_string(*fault) + ")");
    return FALSE;
  }
  const BOOL copied = CopyFromCabinet(context, cabinet_name, cabinet_path, flags, notify, decrypt, user);
  trace.Result(copied ? "TRUE" : "FALSE (FDIERROR " + std::to_string(RecordedError(context)) + ")");
  return copied;
}

BOOL FDIDestroy(HFDI context) {
  TraceLine trace("FDIDestroy");
  trace.Arg(Pointer(context));
  // A refused destruction keeps the context and its memory; FDI reports no error here.
  if (CurrentProcess().TakeFault("FDIDestroy")) {
    trace.Result("FALSE");
    return FALSE;
  }
  const BOOL destroyed = DestroyContext(context);
  trace.Result(destroyed ? "TRUE" : "FALSE");
  return destroyed;
}

}  // namespace sim::cabinet
