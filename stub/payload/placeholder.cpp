// PLACEHOLDER until unpacking is built: it fails with its own failure code.
#include "platform/errors.h"
#include "stub/payload/unpack_payload.h"

ExitResult UnpackPayload(HMODULE, const PathString&, PathString&, TypeString&, PathString&,
                         TypeString&) {
  return {kArchiveUnpackFailed, ERROR_CALL_NOT_IMPLEMENTED};
}
