#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace norvel::test {

// Collects the lines the process-wide logger writes, at debug level and above, while it lives;
// then makes the logger silent again.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // True when some line holds `text`.
    bool contains(const std::string& text) const;
    // True when some line is exactly `line`.
    bool hasLine(const std::string& line) const;
    // How many lines hold `text`.
    int count(const std::string& text) const;

private:
    // Shared with the logger's callback, so a line logged while the capture ends has a place.
    struct Lines {
        std::mutex mutex;
        std::vector<std::string> lines;
    };
    std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
};

}  // namespace norvel::test
