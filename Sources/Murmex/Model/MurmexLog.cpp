#include "Murmex/Model/MurmexLog.h"

#include "HalvexCore/Logging.h"

namespace murmex::log {

void debug(std::string_view message) { halvex::Logging::debug(message); }
void info(std::string_view message) { halvex::Logging::info(message); }
void error(std::string_view message) { halvex::Logging::error(message); }

}  // namespace murmex::log
