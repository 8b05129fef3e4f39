#pragma once

#include <string>

namespace halvex {

// Expands a leading tilde ("~" or "~/…" to the home folder, "~user/…" to that user's home);
// a result that starts with "/" is returned as it is, anything else is appended to the
// current working directory.
std::string resolveAbsolutePath(const std::string& inputPath);

}  // namespace halvex
