#pragma once

#include "HalvexCore/UnfairLock.h"
#include "Platform/Text/NumberText.h"

#include <charconv>
#include <concepts>
#include <cstdint>
#include <functional>
#include <locale>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace halvex {

namespace logging_detail {

template <typename T>
concept HasDescription = requires(const T& item) {
    { item.description() } -> std::convertible_to<std::string>;
};

template <typename T>
concept Streamable = requires(std::ostream& os, const T& item) {
    os << item;
};

// The default text form of one item: texts as they are, numbers in their shortest form
// (1.0, 2.5), Booleans as true/false, types with description() through it.
template <typename T>
std::string describe(const T& item) {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, bool>) {
        return item ? "true" : "false";
    } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
        return std::string(std::string_view(item));
    } else if constexpr (std::is_same_v<U, char>) {
        return std::string(1, item);
    } else if constexpr (std::is_integral_v<U>) {
        return std::to_string(item);
    } else if constexpr (std::is_floating_point_v<U>) {
        if constexpr (std::is_same_v<U, float>)
            return platform::numbertext::shortestWithFraction(item);
        else
            return platform::numbertext::shortestWithFraction(static_cast<double>(item));
    } else if constexpr (HasDescription<U>) {
        return std::string(item.description());
    } else if constexpr (Streamable<U>) {
        std::ostringstream stream;
        stream.imbue(std::locale::classic());
        stream << item;
        return stream.str();
    } else {
        static_assert(sizeof(U) == 0, "Logging cannot render this item");
    }
}

}  // namespace logging_detail

// The process-wide logger. Silent at start (level none). A line that passes the level goes
// to the callback when one is set, otherwise to the system log (syslog) with the identifier
// "com.halvex.halvexcore" and the category "Halvex".
class Logging {
public:
    enum class LogLevel : int { debug = 1, info = 2, error = 3, none = 4 };
    static std::optional<LogLevel> logLevel(int rawValue);

    // Message types of a line; `defaultType` counts as info and `fault` as error.
    enum class MessageType { debug, info, error, fault, defaultType };

    using Callback = std::function<void(const std::string&)>;

    static constexpr const char* subsystem = "com.halvex.halvexcore";
    static constexpr const char* category = "Halvex";

    static Logging& shared();

    Logging(const Logging&) = delete;
    Logging& operator=(const Logging&) = delete;

    LogLevel logLevel() const;
    void setLogLevel(LogLevel level);
    Callback loggingCallback() const;
    void setLoggingCallback(Callback callback);

    // True when the level of the shared logger is not none.
    static bool isLoggingEnabled();
    // True when the level of the shared logger is not none and `level` is at or above it.
    static bool isLoggingEnabled(LogLevel level);

    // Writes one line: the items' text forms joined by `separator`, then `terminator` when
    // given. Nothing is rendered when the level drops the line.
    template <typename... Items>
    void log(MessageType type, std::string_view separator, std::optional<std::string_view> terminator,
             const Items&... items) {
        auto [level, callback] = snapshot();
        if (!passes(level, type)) return;
        std::string text;
        std::size_t index = 0;
        auto append = [&](const auto& item) {
            if (index++ > 0) text += separator;
            text += logging_detail::describe(item);
        };
        (append(items), ...);
        (void)append;
        if (terminator) text += *terminator;
        emit(type, text, callback);
    }

    // Shortcuts on the shared logger, with a single space as separator and no terminator.
    template <typename... Items>
    static void debug(const Items&... items) {
        shared().log(MessageType::debug, " ", std::nullopt, items...);
    }
    template <typename... Items>
    static void info(const Items&... items) {
        shared().log(MessageType::info, " ", std::nullopt, items...);
    }
    template <typename... Items>
    static void error(const Items&... items) {
        shared().log(MessageType::error, " ", std::nullopt, items...);
    }

    static void updateLogLevel(LogLevel level);
    // Sets the callback, or clears it when given an empty function.
    static void updateCallback(Callback callback);

    // Logs at debug level: the message, " - Memory usage: ", the resident megabytes, " MB".
    static void logCurrentMemoryUsage(std::string_view message);
    // Resident memory of the process in whole megabytes, 0 when it cannot be read.
    static std::uint64_t getMemoryUsage();
    // Resident memory read from a statm-format file (pages in the second field); 0 on failure.
    static std::uint64_t memoryUsageFromStatm(const std::string& path);

    // "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%" of time×1000, runs, per-run ms, share.
    static std::string formatTimeWithPercentage(double time, double runs, double totalTime);

private:
    Logging() = default;

    struct State {
        LogLevel logLevel = LogLevel::none;
        Callback loggingCallback;
    };

    std::pair<LogLevel, Callback> snapshot() const;
    static bool passes(LogLevel level, MessageType type);
    void emit(MessageType type, const std::string& text, const Callback& callback);

    mutable UnfairLock lock_;
    State state_;
};

}  // namespace halvex
