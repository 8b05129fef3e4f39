#pragma once

#include <string>

namespace murmex::audiolog {

// Lines written by the audio front end, at the process-wide logger's debug and error levels.
void debug(const std::string& line);
void error(const std::string& line);

// Writes the process's resident memory use at debug level, after the given label.
void memoryUsage(const std::string& label);

// The default decimal text of a 64-bit float: the shortest text that reads back as the same
// value, with ".0" on whole numbers ("44100.0", "362.8117913832199", "1e-05").
std::string describe(double value);

}  // namespace murmex::audiolog
