#include "Murmex/Audio/AudioLog.h"

#include "HalvexCore/Logging.h"
#include "Murmex/Model/MurmexLog.h"

#include <charconv>
#include <cmath>

namespace murmex::audiolog {

void debug(const std::string& line) { log::debug(line); }

void error(const std::string& line) { log::error(line); }

void memoryUsage(const std::string& label) { halvex::Logging::logCurrentMemoryUsage(label); }

std::string describe(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    if (value == 0) {
        return std::signbit(value) ? "-0.0" : "0.0";
    }
    char text[64];
    double magnitude = std::fabs(value);
    bool exponential = magnitude < 1e-4 || magnitude >= 9007199254740992.0;
    auto result = std::to_chars(text, text + sizeof(text), value,
                                exponential ? std::chars_format::scientific : std::chars_format::fixed);
    std::string out(text, result.ptr);
    if (!exponential && out.find('.') == std::string::npos) {
        out += ".0";
    }
    return out;
}

}  // namespace murmex::audiolog
