#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <unicode/unistr.h>

namespace halvex {

// UTF-8 <-> UTF-16 conversions used throughout the library. Ill-formed input (invalid UTF-8
// bytes, unpaired surrogates) decodes to U+FFFD; well-formed input round-trips exactly.
std::u16string utf16FromUtf8(std::string_view utf8);
std::string utf8FromUtf16(std::u16string_view utf16);

// Offsets (in UTF-16 code units) of the extended grapheme cluster boundaries of a text,
// starting with 0 and ending with the text's length. An empty text gives {0}.
std::vector<std::size_t> graphemeBoundaries(std::u16string_view utf16);

// One character (one extended grapheme cluster) as its UTF-16 code units.
class BinaryDistinctCharacter {
public:
    std::u16string bytes;

    BinaryDistinctCharacter() = default;
    explicit BinaryDistinctCharacter(std::u16string units) : bytes(std::move(units)) {}
    BinaryDistinctCharacter(std::string_view utf8) : bytes(utf16FromUtf8(utf8)) {}
    BinaryDistinctCharacter(const char* utf8) : bytes(utf8 == nullptr ? std::u16string() : utf16FromUtf8(utf8)) {}

    // The decoded text, as UTF-8.
    std::string string() const { return utf8FromUtf16(bytes); }

    // BinaryDistinctCharacter('a', bytes: ["0x61"])
    std::string description() const;

    bool operator==(const BinaryDistinctCharacter&) const = default;
};

// Text kept as its exact UTF-16 code units: compared, ordered and hashed by those units,
// never normalized. Character counts and positions are in extended grapheme clusters.
class BinaryDistinctString {
public:
    std::u16string value;

    BinaryDistinctString() = default;
    explicit BinaryDistinctString(std::u16string units) : value(std::move(units)) {}
    explicit BinaryDistinctString(std::u16string_view units) : value(units) {}
    explicit BinaryDistinctString(const char16_t* units) : value(units) {}
    explicit BinaryDistinctString(const icu::UnicodeString& text);
    // From UTF-8 text (ordinary strings and literals convert implicitly).
    BinaryDistinctString(std::string_view utf8) : value(utf16FromUtf8(utf8)) {}
    BinaryDistinctString(const std::string& utf8) : value(utf16FromUtf8(utf8)) {}
    BinaryDistinctString(const char* utf8) : value(utf8 == nullptr ? std::u16string() : utf16FromUtf8(utf8)) {}
    explicit BinaryDistinctString(const BinaryDistinctCharacter& character) : value(character.bytes) {}
    explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters);

    // The decoded text, as UTF-8.
    std::string string() const { return utf8FromUtf16(value); }
    std::string description() const { return string(); }
    // The decoded text as an ICU string (a copy of the units).
    icu::UnicodeString unicodeString() const;

    // Number of characters (extended grapheme clusters).
    std::size_t count() const;
    bool isEmpty() const { return value.empty(); }

    bool operator==(const BinaryDistinctString& other) const { return value == other.value; }
    std::strong_ordering operator<=>(const BinaryDistinctString& other) const {
        return value.compare(other.value) <=> 0;
    }

    bool hasPrefix(const BinaryDistinctString& prefix) const;
    bool hasSuffix(const BinaryDistinctString& suffix) const;

    friend BinaryDistinctString operator+(const BinaryDistinctString& lhs, const BinaryDistinctString& rhs) {
        return BinaryDistinctString(lhs.value + rhs.value);
    }

    // Locale-independent Unicode lowercasing.
    BinaryDistinctString lowercased() const;
    // Replaces every occurrence of `target`. Occurrences are whole characters compared by
    // canonical equivalence, so a precomposed and a decomposed accent match each other.
    BinaryDistinctString replacingOccurrences(const BinaryDistinctString& target,
                                              const BinaryDistinctString& replacement) const;

    // Position i + n, which must lie in 0...count(); otherwise the process stops.
    std::ptrdiff_t index(std::ptrdiff_t i, std::ptrdiff_t offsetBy) const;
    // i + n, or nothing when it is greater than `limitedBy`. The limit bounds the result from
    // above only; callers pass non-negative offsets.
    std::optional<std::ptrdiff_t> index(std::ptrdiff_t i, std::ptrdiff_t offsetBy, std::ptrdiff_t limitedBy) const;

    // The characters at positions [lower, upper); the bounds must lie in 0...count().
    BinaryDistinctString slice(std::ptrdiff_t lower, std::ptrdiff_t upper) const;
    // The characters from `lower` to the end.
    BinaryDistinctString slice(std::ptrdiff_t lower) const;

    // The characters in order, each with its code units.
    std::vector<BinaryDistinctCharacter> characters() const;

    std::size_t hash() const noexcept { return std::hash<std::u16string_view>{}(value); }
};

std::ostream& operator<<(std::ostream& os, const BinaryDistinctString& string);
std::ostream& operator<<(std::ostream& os, const BinaryDistinctCharacter& character);

}  // namespace halvex

template <>
struct std::hash<halvex::BinaryDistinctString> {
    std::size_t operator()(const halvex::BinaryDistinctString& s) const noexcept { return s.hash(); }
};

template <>
struct std::hash<halvex::BinaryDistinctCharacter> {
    std::size_t operator()(const halvex::BinaryDistinctCharacter& c) const noexcept {
        return std::hash<std::u16string_view>{}(c.bytes);
    }
};

namespace halvex {

// Merges `other` into `dictionary`: a new key is inserted; for a key both hold, the stored
// value becomes strategy(existing, incoming). `other` may be keyed by BinaryDistinctString or
// by anything that converts to it (UTF-8 strings).
template <typename Value, typename OtherKey, typename Strategy>
void merge(std::unordered_map<BinaryDistinctString, Value>& dictionary,
           const std::unordered_map<OtherKey, Value>& other, Strategy&& strategy) {
    for (const auto& [key, incoming] : other) {
        BinaryDistinctString converted(key);
        auto found = dictionary.find(converted);
        if (found == dictionary.end()) {
            dictionary.emplace(std::move(converted), incoming);
        } else {
            found->second = strategy(found->second, incoming);
        }
    }
}

// As merge, returning a changed copy and leaving `dictionary` unchanged.
template <typename Value, typename OtherKey, typename Strategy>
std::unordered_map<BinaryDistinctString, Value> merging(
    const std::unordered_map<BinaryDistinctString, Value>& dictionary, const std::unordered_map<OtherKey, Value>& other,
    Strategy&& strategy) {
    auto copy = dictionary;
    merge(copy, other, std::forward<Strategy>(strategy));
    return copy;
}

}  // namespace halvex
