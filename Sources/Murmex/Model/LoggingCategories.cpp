#include "Murmex/Model/LoggingCategories.h"

#include <syslog.h>

#include <utility>

namespace murmex {

CategoryLogger::CategoryLogger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void CategoryLogger::write(int priority, std::string_view message) const {
    const std::string line(message);
    syslog(priority, "%s [%s] %s", subsystem_.c_str(), category_.c_str(), line.c_str());
}

void CategoryLogger::debug(std::string_view message) const { write(LOG_DEBUG, message); }
void CategoryLogger::info(std::string_view message) const { write(LOG_INFO, message); }
void CategoryLogger::error(std::string_view message) const { write(LOG_ERR, message); }

#define MURMEX_LOGGING_CATEGORY(Name)                                                  \
    const CategoryLogger& Logging::Name::logger() {                                    \
        static const CategoryLogger logger(Logging::murmexSubsystem, #Name);           \
        return logger;                                                                 \
    }                                                                                  \
    const Signposter& Logging::Name::signposter() {                                    \
        static const Signposter signposter(logger().subsystem(), logger().category()); \
        return signposter;                                                             \
    }

MURMEX_LOGGING_CATEGORY(AudioEncoding)
MURMEX_LOGGING_CATEGORY(FeatureExtractor)
MURMEX_LOGGING_CATEGORY(TranscribeTask)

#undef MURMEX_LOGGING_CATEGORY

SignpostIntervalState Logging::beginSignpost(std::string_view name, const Signposter& signposter) {
    const std::uint64_t identifier = signposter.makeSignpostID();
    if (signposter.isEnabled()) signposter.emit(SignpostEvent::Kind::intervalBegin, name, identifier, "");
    return SignpostIntervalState(identifier);
}

void Logging::endSignpost(std::string_view name, SignpostIntervalState& interval, const Signposter& signposter) {
    if (!signposter.isEnabled()) return;
    const bool wasOpen = interval.consume();
    signposter.emit(SignpostEvent::Kind::intervalEnd, name, interval.identifier(),
                    wasOpen ? "" : "[Error] Interval already ended");
}

}  // namespace murmex
