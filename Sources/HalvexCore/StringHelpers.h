#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace halvex {

// Removes `character` (one character, as UTF-8) from the end of `text` while the text ends
// with it, at most `upto` times; `upto` of 0 or less leaves the text unchanged.
std::string trimmingFromEnd(const std::string& text, const std::string& character, int upto);

// A prefix of `text` that ends at a natural break (a finished sentence first, then a clause
// mark before whitespace or at the end, then the last space) and whose trimmed text encodes
// to at least `minTokenCount` tokens. The prefix is returned untrimmed; nothing when no
// break qualifies.
std::optional<std::string> lastNaturalBoundary(const std::string& text, std::size_t minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode);

// `text` with leading and trailing white space and line breaks removed.
std::string trimmingWhitespaceAndNewlines(const std::string& text);

}  // namespace halvex
