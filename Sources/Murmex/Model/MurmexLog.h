#pragma once

#include <string_view>

namespace murmex::log {

// Lines of the speech library through the process-wide logger (silent unless its level lets
// the line through).
void debug(std::string_view message);
void info(std::string_view message);
void error(std::string_view message);

}  // namespace murmex::log
