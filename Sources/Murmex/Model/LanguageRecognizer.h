#pragma once

#include <optional>
#include <string>

namespace murmex {

// Tells the language of a text from the writing systems of its letters, as far as word
// splitting needs it: "ja" (Han with kana), "zh" (Han alone), "th", "lo", "my", "ko", or "und"
// for letters of any other script. No value when the text has no letters.
struct LanguageRecognizer {
    static std::optional<std::string> dominantLanguage(const std::string& text);
};

}  // namespace murmex
