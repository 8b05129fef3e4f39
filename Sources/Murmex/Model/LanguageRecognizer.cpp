#include "Murmex/Model/LanguageRecognizer.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/utf8.h>

#include <array>

namespace murmex {

std::optional<std::string> LanguageRecognizer::dominantLanguage(const std::string& text) {
    enum Group { han, kana, thai, lao, myanmar, hangul, other, groupCount };
    std::array<long, groupCount> letters{};
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0 || !u_isalpha(c)) continue;
        UErrorCode status = U_ZERO_ERROR;
        const UScriptCode script = uscript_getScript(c, &status);
        if (U_FAILURE(status)) continue;
        switch (script) {
            case USCRIPT_HAN: ++letters[han]; break;
            case USCRIPT_HIRAGANA:
            case USCRIPT_KATAKANA: ++letters[kana]; break;
            case USCRIPT_THAI: ++letters[thai]; break;
            case USCRIPT_LAO: ++letters[lao]; break;
            case USCRIPT_MYANMAR: ++letters[myanmar]; break;
            case USCRIPT_HANGUL: ++letters[hangul]; break;
            case USCRIPT_COMMON:
            case USCRIPT_INHERITED: break;
            default: ++letters[other]; break;
        }
    }
    // Han and kana together are one writing system; kana makes it Japanese.
    const long cjk = letters[han] + letters[kana];
    const std::array<std::pair<long, const char*>, 6> candidates = {{
        {cjk, letters[kana] > 0 ? "ja" : "zh"},
        {letters[thai], "th"},
        {letters[lao], "lo"},
        {letters[myanmar], "my"},
        {letters[hangul], "ko"},
        {letters[other], "und"},
    }};
    const std::pair<long, const char*>* best = nullptr;
    for (const auto& candidate : candidates) {
        if (candidate.first > 0 && (best == nullptr || candidate.first > best->first)) best = &candidate;
    }
    if (best == nullptr) return std::nullopt;
    return std::string(best->second);
}

}  // namespace murmex
