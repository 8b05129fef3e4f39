#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "HalvexCore/Logging.h"

namespace murmex::test {

// Captures the process-wide logger's lines at debug level while alive, then restores the silent
// default.
class DataModelLogCapture {
public:
    DataModelLogCapture() {
        halvex::Logging::updateLogLevel(halvex::Logging::LogLevel::debug);
        halvex::Logging::updateCallback([this](const std::string& line) {
            std::lock_guard<std::mutex> guard(mutex_);
            lines_.push_back(line);
        });
    }
    ~DataModelLogCapture() {
        halvex::Logging::updateCallback(nullptr);
        halvex::Logging::updateLogLevel(halvex::Logging::LogLevel::none);
    }
    DataModelLogCapture(const DataModelLogCapture&) = delete;
    DataModelLogCapture& operator=(const DataModelLogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }
    bool contains(const std::string& text) const {
        for (const auto& line : lines()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace murmex::test
