#pragma once

#include <string>
#include <string_view>

#include "HalvexCore/Logging.h"
#include "Murmex/Model/Signposter.h"

namespace murmex {

// A logger of one category of the speech library's subsystem, writing to the system log.
class CategoryLogger {
public:
    CategoryLogger(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    void debug(std::string_view message) const;
    void info(std::string_view message) const;
    void error(std::string_view message) const;

private:
    void write(int priority, std::string_view message) const;

    std::string subsystem_;
    std::string category_;
};

// The core logger, with the speech library's categories and signpost helpers added.
struct Logging : halvex::Logging {
    static constexpr const char* murmexSubsystem = "com.halvex.murmex";

    struct AudioEncoding {
        static const CategoryLogger& logger();
        static const Signposter& signposter();
    };
    struct FeatureExtractor {
        static const CategoryLogger& logger();
        static const Signposter& signposter();
    };
    struct TranscribeTask {
        static const CategoryLogger& logger();
        static const Signposter& signposter();
    };

    // Begins an interval: a new identifier, a begin event when signposts are enabled, and an
    // open interval state.
    static SignpostIntervalState beginSignpost(std::string_view name, const Signposter& signposter);
    // Ends the interval when signposts are enabled; an interval ended twice is marked
    // "[Error] Interval already ended".
    static void endSignpost(std::string_view name, SignpostIntervalState& interval, const Signposter& signposter);
};

}  // namespace murmex
