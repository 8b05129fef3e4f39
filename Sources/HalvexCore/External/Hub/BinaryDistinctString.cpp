#include "HalvexCore/External/Hub/BinaryDistinctString.h"

#include "HalvexCore/FatalError.h"

#include <cstdio>
#include <limits>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/ustring.h>

namespace halvex {
namespace {

bool isAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

// Below U+0300 every code unit is a character of its own, except that CR LF forms one.
bool hasOnlySimpleUnits(std::u16string_view units) {
    for (char16_t u : units) {
        if (u >= 0x300) return false;
    }
    return true;
}

// A per-thread character break iterator. Between uses it points at an empty text that
// lives as long as the iterator, never at a caller's destroyed text.
struct CharacterBreaker {
    CharacterBreaker() {
        UErrorCode status = U_ZERO_ERROR;
        iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !iterator) {
            fatalError(std::string("ICU character break iterator unavailable: ") + u_errorName(status));
        }
        iterator->setText(empty);
    }
    const icu::UnicodeString empty;
    std::unique_ptr<icu::BreakIterator> iterator;
};

CharacterBreaker& characterBreaker() {
    thread_local CharacterBreaker breaker;
    return breaker;
}

const icu::Normalizer2& nfd() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* instance = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status) || instance == nullptr) {
        fatalError(std::string("ICU NFD normalizer unavailable: ") + u_errorName(status));
    }
    return *instance;
}

std::u16string decomposed(std::u16string_view units) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString source(false, units.data(), static_cast<int32_t>(units.size()));
    icu::UnicodeString result = nfd().normalize(source, status);
    if (U_FAILURE(status)) return std::u16string(units);
    return std::u16string(result.getBuffer(), static_cast<std::size_t>(result.length()));
}

}  // namespace

std::u16string utf16FromUtf8(std::string_view utf8) {
    if (isAscii(utf8)) return std::u16string(utf8.begin(), utf8.end());
    std::u16string result(utf8.size(), u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(result.data(), static_cast<int32_t>(result.size()), &length, utf8.data(),
                         static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) fatalError(std::string("UTF-8 decoding failed: ") + u_errorName(status));
    result.resize(static_cast<std::size_t>(length));
    return result;
}

std::string utf8FromUtf16(std::u16string_view utf16) {
    bool ascii = true;
    for (char16_t u : utf16) {
        if (u >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) return std::string(utf16.begin(), utf16.end());
    std::string result(utf16.size() * 3, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(result.data(), static_cast<int32_t>(result.size()), &length, utf16.data(),
                       static_cast<int32_t>(utf16.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) fatalError(std::string("UTF-16 encoding failed: ") + u_errorName(status));
    result.resize(static_cast<std::size_t>(length));
    return result;
}

std::vector<std::size_t> graphemeBoundaries(std::u16string_view utf16) {
    std::vector<std::size_t> boundaries;
    boundaries.reserve(utf16.size() + 1);
    boundaries.push_back(0);
    if (utf16.empty()) return boundaries;
    if (hasOnlySimpleUnits(utf16)) {
        for (std::size_t i = 1; i <= utf16.size(); ++i) {
            if (i < utf16.size() && utf16[i - 1] == u'\r' && utf16[i] == u'\n') continue;
            boundaries.push_back(i);
        }
        return boundaries;
    }
    CharacterBreaker& breaker = characterBreaker();
    icu::BreakIterator& iterator = *breaker.iterator;
    const icu::UnicodeString text(false, utf16.data(), static_cast<int32_t>(utf16.size()));
    iterator.setText(text);
    for (int32_t position = iterator.next(); position != icu::BreakIterator::DONE; position = iterator.next()) {
        boundaries.push_back(static_cast<std::size_t>(position));
    }
    iterator.setText(breaker.empty);
    return boundaries;
}

std::string BinaryDistinctCharacter::description() const {
    std::string text = "BinaryDistinctCharacter('" + string() + "', bytes: [";
    char buffer[16];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) text += ", ";
        std::snprintf(buffer, sizeof buffer, "\"0x%02X\"", static_cast<unsigned>(bytes[i]));
        text += buffer;
    }
    text += "])";
    return text;
}

BinaryDistinctString::BinaryDistinctString(const icu::UnicodeString& text)
    : value(text.getBuffer(), static_cast<std::size_t>(text.length())) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
    for (const auto& character : characters) value += character.bytes;
}

icu::UnicodeString BinaryDistinctString::unicodeString() const {
    return icu::UnicodeString(value.data(), static_cast<int32_t>(value.size()));
}

std::size_t BinaryDistinctString::count() const {
    if (hasOnlySimpleUnits(value)) {
        std::size_t count = value.size();
        for (std::size_t i = 1; i < value.size(); ++i) {
            if (value[i - 1] == u'\r' && value[i] == u'\n') --count;
        }
        return count;
    }
    return graphemeBoundaries(value).size() - 1;
}

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const {
    return prefix.value.size() <= value.size() &&
           std::u16string_view(value).substr(0, prefix.value.size()) == prefix.value;
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const {
    return suffix.value.size() <= value.size() &&
           std::u16string_view(value).substr(value.size() - suffix.value.size()) == suffix.value;
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
    bool ascii = true;
    for (char16_t u : value) {
        if (u >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        std::u16string lowered = value;
        for (char16_t& u : lowered) {
            if (u >= u'A' && u <= u'Z') u = static_cast<char16_t>(u + (u'a' - u'A'));
        }
        return BinaryDistinctString(std::move(lowered));
    }
    icu::UnicodeString text = unicodeString();
    text.toLower(icu::Locale::getRoot());
    return BinaryDistinctString(text);
}

BinaryDistinctString BinaryDistinctString::replacingOccurrences(const BinaryDistinctString& target,
                                                                const BinaryDistinctString& replacement) const {
    if (target.value.empty() || value.empty()) return *this;

    auto simple = [](std::u16string_view units) {
        for (char16_t u : units) {
            if (u >= 0x300 || u == u'\r' || u == u'\n') return false;
        }
        return true;
    };
    if (simple(value) && simple(target.value)) {
        // Every unit is a whole character with no canonical equivalent among its neighbours.
        std::u16string result;
        result.reserve(value.size());
        std::size_t start = 0;
        while (true) {
            std::size_t found = value.find(target.value, start);
            if (found == std::u16string::npos) break;
            result.append(value, start, found - start);
            result += replacement.value;
            start = found + target.value.size();
        }
        result.append(value, start, std::u16string::npos);
        return BinaryDistinctString(std::move(result));
    }

    // Match whole characters whose canonical decomposition equals the target's.
    const std::u16string wanted = decomposed(target.value);
    const std::vector<std::size_t> bounds = graphemeBoundaries(value);
    const std::size_t characterCount = bounds.size() - 1;
    std::vector<std::u16string> pieces(characterCount);
    for (std::size_t c = 0; c < characterCount; ++c) {
        pieces[c] = decomposed(std::u16string_view(value).substr(bounds[c], bounds[c + 1] - bounds[c]));
    }

    std::u16string result;
    result.reserve(value.size());
    std::size_t c = 0;
    while (c < characterCount) {
        std::size_t matched = 0;  // characters covered by a match starting at c
        std::size_t length = 0;
        for (std::size_t e = c; e < characterCount && length < wanted.size(); ++e) {
            const std::u16string& piece = pieces[e];
            if (piece.size() > wanted.size() - length ||
                std::u16string_view(wanted).substr(length, piece.size()) != piece) {
                break;
            }
            length += piece.size();
            if (length == wanted.size()) matched = e - c + 1;
        }
        if (matched > 0) {
            result += replacement.value;
            c += matched;
        } else {
            result.append(value, bounds[c], bounds[c + 1] - bounds[c]);
            ++c;
        }
    }
    return BinaryDistinctString(std::move(result));
}

std::ptrdiff_t BinaryDistinctString::index(std::ptrdiff_t i, std::ptrdiff_t offsetBy) const {
    std::ptrdiff_t result = 0;
    if (__builtin_add_overflow(i, offsetBy, &result)) fatalError("Index out of bounds");
    if (result < 0 || static_cast<std::size_t>(result) > count()) fatalError("Index out of bounds");
    return result;
}

std::optional<std::ptrdiff_t> BinaryDistinctString::index(std::ptrdiff_t i, std::ptrdiff_t offsetBy,
                                                          std::ptrdiff_t limitedBy) const {
    std::ptrdiff_t result = 0;
    if (__builtin_add_overflow(i, offsetBy, &result)) fatalError("Index out of bounds");
    if (result > limitedBy) return std::nullopt;
    return result;
}

BinaryDistinctString BinaryDistinctString::slice(std::ptrdiff_t lower, std::ptrdiff_t upper) const {
    if (lower > upper) fatalError("Range requires lowerBound <= upperBound");
    const std::vector<std::size_t> bounds = graphemeBoundaries(value);
    const auto characterCount = static_cast<std::ptrdiff_t>(bounds.size() - 1);
    if (lower < 0 || upper > characterCount) fatalError("Index out of bounds");
    const std::size_t start = bounds[static_cast<std::size_t>(lower)];
    const std::size_t end = bounds[static_cast<std::size_t>(upper)];
    return BinaryDistinctString(value.substr(start, end - start));
}

BinaryDistinctString BinaryDistinctString::slice(std::ptrdiff_t lower) const {
    const std::vector<std::size_t> bounds = graphemeBoundaries(value);
    const auto characterCount = static_cast<std::ptrdiff_t>(bounds.size() - 1);
    if (lower < 0 || lower > characterCount) fatalError("Index out of bounds");
    return BinaryDistinctString(value.substr(bounds[static_cast<std::size_t>(lower)]));
}

std::vector<BinaryDistinctCharacter> BinaryDistinctString::characters() const {
    const std::vector<std::size_t> bounds = graphemeBoundaries(value);
    std::vector<BinaryDistinctCharacter> result;
    result.reserve(bounds.size() - 1);
    for (std::size_t c = 0; c + 1 < bounds.size(); ++c) {
        result.emplace_back();
        result.back().bytes.assign(value, bounds[c], bounds[c + 1] - bounds[c]);
    }
    return result;
}

std::ostream& operator<<(std::ostream& os, const BinaryDistinctString& string) { return os << string.string(); }

std::ostream& operator<<(std::ostream& os, const BinaryDistinctCharacter& character) {
    return os << character.description();
}

}  // namespace halvex
