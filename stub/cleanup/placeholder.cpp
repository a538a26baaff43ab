// PLACEHOLDER until the cleanup is built: it deletes nothing.
#include "stub/cleanup/delete_unpacked_files.h"

void DeleteUnpackedFiles(const PathString&, const PathString&, const PathString&) {}
