#include "Support/LogCapture.h"

#include <algorithm>

#include "HalvexCore/Logging.h"

namespace norvel::test {

LogCapture::LogCapture() {
    halvex::Logging::updateLogLevel(halvex::Logging::LogLevel::debug);
    halvex::Logging::updateCallback([lines = lines_](const std::string& line) {
        std::lock_guard lock(lines->mutex);
        lines->lines.push_back(line);
    });
}

LogCapture::~LogCapture() {
    halvex::Logging::updateCallback(nullptr);
    halvex::Logging::updateLogLevel(halvex::Logging::LogLevel::none);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(lines_->mutex);
    return lines_->lines;
}

bool LogCapture::contains(const std::string& text) const { return count(text) > 0; }

bool LogCapture::hasLine(const std::string& line) const {
    const auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
}

int LogCapture::count(const std::string& text) const {
    const auto all = lines();
    return static_cast<int>(std::count_if(
        all.begin(), all.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

}  // namespace norvel::test
