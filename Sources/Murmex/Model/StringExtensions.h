#pragma once

#include <string>

namespace murmex {

// The text without the leading and trailing "<", "|" and ">" characters ("<|en|>" gives "en").
std::string trimmingSpecialTokenCharacters(const std::string& text);

// Lower-cased, "-" made a blank, all punctuation removed, runs of blanks made one, and white
// space trimmed at both ends.
std::string normalized(const std::string& text);

}  // namespace murmex
