#include "HalvexCore/External/Tokenizers/ByteLevelAlphabet.h"

#include <cstdio>
#include <cstdlib>

namespace halvex {

namespace {

constexpr std::array<char16_t, 256> makeEncoder() {
    std::array<char16_t, 256> table{};
    char16_t next = 0x100;
    for (int b = 0; b < 256; ++b) {
        bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174 && b <= 255);
        table[static_cast<size_t>(b)] = printable ? static_cast<char16_t>(b) : next++;
    }
    return table;
}

constexpr std::array<char16_t, 256> kEncoder = makeEncoder();

constexpr size_t kDecoderSize = 0x144;

constexpr std::array<int16_t, kDecoderSize> makeDecoder() {
    std::array<int16_t, kDecoderSize> table{};
    for (auto& entry : table) entry = -1;
    for (int b = 0; b < 256; ++b) table[kEncoder[static_cast<size_t>(b)]] = static_cast<int16_t>(b);
    return table;
}

constexpr std::array<int16_t, kDecoderSize> kDecoder = makeDecoder();

static_assert(kEncoder[32] == 0x120 && kEncoder[0] == 0x100 && kEncoder[173] == 0x143);

}  // namespace

const std::array<char16_t, 256>& byteEncoder() { return kEncoder; }

const std::unordered_map<char16_t, uint8_t>& byteDecoder() {
    static const std::unordered_map<char16_t, uint8_t> table = [] {
        std::unordered_map<char16_t, uint8_t> t;
        for (int b = 0; b < 256; ++b) t.emplace(kEncoder[static_cast<size_t>(b)], static_cast<uint8_t>(b));
        return t;
    }();
    return table;
}

int byteLevelByte(char16_t c) { return c < kDecoderSize ? kDecoder[c] : -1; }

const text::Regex& byteLevelSplitRegex() {
    static const text::Regex regex = [] {
        auto compiled =
            text::Regex::compile(u"'s|'t|'re|'ve|'m|'ll|'d| ?\\p{L}+| ?\\p{N}+| ?[^\\s\\p{L}\\p{N}]+|\\s+(?!\\S)|\\s+");
        if (!compiled) {
            std::fputs("the byte-level split expression does not compile\n", stderr);
            std::abort();
        }
        return *compiled;
    }();
    return regex;
}

}  // namespace halvex
