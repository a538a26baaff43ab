// The patch format that the installed setup stand-in applies: a new setup program
// encrypted with a key taken from the exact bytes of the installed one, plus the
// checksum of the expected result. See README.md beside this file.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace standins {

// The patch that turns `installed` into `new_setup`.
std::string MakeSetupPatch(const std::string& installed, const std::string& new_setup);
// The rebuilt program, or nullopt when the patch is damaged or was made against another
// installed program.
std::optional<std::string> ApplySetupPatch(const std::string& installed, const std::string& patch);

std::string Sha256(const std::string& bytes);

}  // namespace standins
