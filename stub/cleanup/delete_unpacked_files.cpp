#include "stub/cleanup/delete_unpacked_files.h"

#include "stub/cleanup/delete_with_retry.h"

void DeleteUnpackedFiles(const PathString& archive_path, const PathString& setup_path,
                         const PathString& work_directory, ScopedHandle& work_directory_hold) {
  if (archive_path.Length() != 0) DeleteWithRetry(archive_path.Data());
  if (setup_path.Length() != 0) DeleteWithRetry(setup_path.Data());
  // Last: a directory goes only once its files are gone, and only once it is let go.
  work_directory_hold.Close();
  DeleteWithRetry(work_directory.Data());
}
