#pragma once

// Readers shared by the component factories: members of a tokenizer file section, looked up by
// their camelCase name (which also finds the snake_case key).

#include <optional>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/TextOperations.h"

namespace halvex::component {

// The member's text when it is a JSON string.
inline std::optional<text::Text> textMember(const Config& section, const char* key) {
    Config member = section[key];
    if (const auto* s = member.binaryDistinctString()) return s->value;
    return std::nullopt;
}

// The member read as Boolean; `fallback` when it is missing or reads as no Boolean.
inline bool flagMember(const Config& section, const char* key, bool fallback) {
    return section[key].boolean().value_or(fallback);
}

// The section's `type` when it is a string.
inline std::optional<text::Text> typeOf(const Config& section) { return textMember(section, "type"); }

}  // namespace halvex::component
