#include "Murmex/Utilities/MurmexLog.h"

#if __has_include("HalvexCore/Logging.h")
#include "HalvexCore/Logging.h"
#define MURMEX_HAS_CORE_LOGGING 1
#endif

namespace murmex::log {

#ifdef MURMEX_HAS_CORE_LOGGING
void debug(std::string_view message) { halvex::Logging::debug(message); }
void info(std::string_view message) { halvex::Logging::info(message); }
void error(std::string_view message) { halvex::Logging::error(message); }
#else
// The core logger has not been built into this tree yet; it starts silent, so lines are dropped.
void debug(std::string_view) {}
void info(std::string_view) {}
void error(std::string_view) {}
#endif

}  // namespace murmex::log
