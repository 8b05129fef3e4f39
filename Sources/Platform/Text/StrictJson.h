#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// A JSON object named one key twice. A plain parse would keep the last value and drop the
// first without a word, so two readers of the same file could disagree on what it says.
class DuplicateKeyError : public std::runtime_error {
public:
    explicit DuplicateKeyError(const std::string& key);
    // The key, shortened for messages.
    const std::string& key() const { return key_; }

private:
    std::string key_;
};

// Parses JSON text whose objects each name every key once. Throws nlohmann::json::exception
// for text that is not JSON (its message may quote the text: shorten it for display) and
// DuplicateKeyError.
nlohmann::json parseStrictJson(std::string_view text);

}  // namespace platform
