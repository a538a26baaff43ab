#include "stub/setup/launch_setup.h"

#include "stub/setup/process_runner.h"

namespace {

// Every piece up to " --pellora-mini", in order; false at the first that does not fit.
// Paths and the version stand between double quotes as they are, unescaped.
bool BuildSetupCommandLine(const Configuration& configuration, const PathString& archive_path,
                           const PathString& setup_path, bool compressed_archive,
                           CommandString& line) {
  if (!line.Assign(u"\"") || !line.Append(setup_path.Data()) || !line.Append(u"\"") ||
      !line.Append(u" --") ||
      !line.Append(compressed_archive ? u"install-archive" : u"uncompressed-archive") ||
      !line.Append(u"=\"") || !line.Append(archive_path.Data()) || !line.Append(u"\"")) {
    return false;
  }
  if (configuration.previous_version != nullptr &&
      (!line.Append(u" --") || !line.Append(u"previous-version") || !line.Append(u"=\"") ||
       !line.Append(configuration.previous_version) || !line.Append(u"\""))) {
    return false;
  }
  return line.Append(u" --pellora-mini");
}

}  // namespace

ExitResult LaunchSetup(const Configuration& configuration, const PathString& archive_path,
                       const PathString& setup_path, bool compressed_archive) {
  CommandString line;
  if (!BuildSetupCommandLine(configuration, archive_path, setup_path, compressed_archive, line)) {
    return {kCommandLineOverflow, 0};
  }
  AppendUserArguments(configuration.command_line, line);
  return RunAndWait(setup_path, line, kSetupFileNotFound, kSetupPathNotFound, kSetupLaunchFailed);
}
