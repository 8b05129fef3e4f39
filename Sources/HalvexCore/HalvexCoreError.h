#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace halvex {

// The core library's own error. `what()` and `errorDescription()` give the full message.
class HalvexCoreError : public std::runtime_error {
public:
    enum class Kind { invalidConfiguration };

    static HalvexCoreError invalidConfiguration(std::string message);

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

    std::string errorDescription() const { return message_; }
    std::optional<std::string> failureReason() const { return std::nullopt; }
    std::optional<std::string> recoverySuggestion() const { return std::nullopt; }
    std::optional<std::string> helpAnchor() const { return std::nullopt; }

private:
    HalvexCoreError(Kind kind, std::string message);

    Kind kind_;
    std::string message_;
};

}  // namespace halvex
