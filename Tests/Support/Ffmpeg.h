#pragma once

#include <string>
#include <vector>

namespace norvel::test {

// Runs the ffmpeg command-line tool quietly with the given arguments (after "-y"); true when it
// succeeds. Tests make their media files with it.
bool runFfmpeg(const std::vector<std::string>& arguments);

}  // namespace norvel::test
