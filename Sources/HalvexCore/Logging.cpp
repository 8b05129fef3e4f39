#include "HalvexCore/Logging.h"
#include "Platform/Text/NumberText.h"

#include <syslog.h>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <locale>
#include <mutex>

namespace halvex {

std::optional<Logging::LogLevel> Logging::logLevel(int rawValue) {
    if (rawValue < 1 || rawValue > 4) return std::nullopt;
    return static_cast<LogLevel>(rawValue);
}

Logging& Logging::shared() {
    // Created once, safely against concurrent first use, and kept until the process exits.
    static Logging instance;
    return instance;
}

Logging::LogLevel Logging::logLevel() const {
    return lock_.withLock([&] { return state_.logLevel; });
}

void Logging::setLogLevel(LogLevel level) {
    lock_.withLock([&] { state_.logLevel = level; });
}

Logging::Callback Logging::loggingCallback() const {
    return lock_.withLock([&] { return state_.loggingCallback; });
}

void Logging::setLoggingCallback(Callback callback) {
    [[maybe_unused]] Callback previous =
        lock_.withLock([&] { return std::exchange(state_.loggingCallback, std::move(callback)); });
    // The old callback is released outside the lock.
}

bool Logging::isLoggingEnabled() { return shared().logLevel() != LogLevel::none; }

bool Logging::isLoggingEnabled(LogLevel level) {
    LogLevel current = shared().logLevel();
    return current != LogLevel::none && static_cast<int>(level) >= static_cast<int>(current);
}

void Logging::updateLogLevel(LogLevel level) { shared().setLogLevel(level); }

void Logging::updateCallback(Callback callback) { shared().setLoggingCallback(std::move(callback)); }

std::pair<Logging::LogLevel, Logging::Callback> Logging::snapshot() const {
    return lock_.withLock([&] { return std::make_pair(state_.logLevel, state_.loggingCallback); });
}

bool Logging::passes(LogLevel level, MessageType type) {
    int messageLevel = 2;
    switch (type) {
        case MessageType::debug: messageLevel = 1; break;
        case MessageType::info: messageLevel = 2; break;
        case MessageType::error: messageLevel = 3; break;
        case MessageType::fault: messageLevel = 3; break;
        case MessageType::defaultType: messageLevel = 2; break;
    }
    return level != LogLevel::none && static_cast<int>(level) <= messageLevel;
}

void Logging::emit(MessageType type, const std::string& text, const Callback& callback) {
    if (callback) {
        callback(text);
        return;
    }
    int priority = LOG_NOTICE;
    switch (type) {
        case MessageType::debug: priority = LOG_DEBUG; break;
        case MessageType::info: priority = LOG_INFO; break;
        case MessageType::error: priority = LOG_ERR; break;
        case MessageType::fault: priority = LOG_CRIT; break;
        case MessageType::defaultType: priority = LOG_NOTICE; break;
    }
    static std::once_flag opened;
    std::call_once(opened, [] { openlog(subsystem, LOG_PID, LOG_USER); });
    if ((setlogmask(0) & LOG_MASK(priority)) == 0) return;
    syslog(priority, "[%s] %s", category, text.c_str());
}

std::uint64_t Logging::memoryUsageFromStatm(const std::string& path) {
    std::ifstream file(path);
    file.imbue(std::locale::classic());
    std::uint64_t totalPages = 0;
    std::uint64_t residentPages = 0;
    if (!(file >> totalPages >> residentPages)) return 0;
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) return 0;
    return (residentPages * static_cast<std::uint64_t>(pageSize)) >> 20;
}

std::uint64_t Logging::getMemoryUsage() { return memoryUsageFromStatm("/proc/self/statm"); }

void Logging::logCurrentMemoryUsage(std::string_view message) {
    debug(std::string(message) + " - Memory usage: " + std::to_string(getMemoryUsage()) + " MB");
}

std::string Logging::formatTimeWithPercentage(double time, double runs, double totalTime) {
    const double milliseconds = time * 1000;
    const double perRun = runs > 0 ? milliseconds / runs : 0;
    const double share = milliseconds / totalTime * 100;
    using platform::numbertext::fixed;
    return fixed(milliseconds, 2, 8) + " ms / " + fixed(runs, 0, 6) + " runs (" + fixed(perRun, 2, 8) + " ms/run) " +
           fixed(share, 2, 5) + "%";
}

}  // namespace halvex
