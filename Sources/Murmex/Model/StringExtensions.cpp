#include "Murmex/Model/StringExtensions.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace murmex {

std::string trimmingSpecialTokenCharacters(const std::string& text) {
    auto special = [](char c) { return c == '<' || c == '|' || c == '>'; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && special(text[begin])) ++begin;
    while (end > begin && special(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::string normalized(const std::string& text) {
    icu::UnicodeString source = icu::UnicodeString::fromUTF8(text);
    source.toLower(icu::Locale::getRoot());
    icu::UnicodeString kept;
    bool lastWasBlank = false;
    for (int32_t i = 0; i < source.length();) {
        UChar32 c = source.char32At(i);
        i = source.moveIndex32(i, 1);
        if (c == u'-') c = u' ';
        if (u_ispunct(c)) continue;
        if (c == u' ') {
            if (lastWasBlank) continue;
            lastWasBlank = true;
        } else {
            lastWasBlank = false;
        }
        kept.append(c);
    }
    int32_t begin = 0;
    int32_t end = kept.length();
    while (begin < end && u_isUWhiteSpace(kept.char32At(begin))) begin = kept.moveIndex32(begin, 1);
    while (end > begin && u_isUWhiteSpace(kept.char32At(end - 1))) end = kept.moveIndex32(end, -1);
    std::string result;
    kept.tempSubStringBetween(begin, end).toUTF8String(result);
    return result;
}

}  // namespace murmex
