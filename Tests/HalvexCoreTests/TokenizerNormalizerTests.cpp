#include <gtest/gtest.h>

#include "HalvexCore/External/Tokenizers/Normalizer.h"
#include "TokenizerTestSupport.h"

using namespace halvex;
using namespace tokenizer_test;

namespace {

struct Case {
    const char* section;
    std::string input;
    std::string expected;
};

std::string normalized(const char* section, const std::string& input) {
    auto normalizer = NormalizerFactory::fromConfig(json(section));
    if (!normalizer) return "<no normalizer>";
    return text::toUtf8(normalizer->normalize(text::fromUtf8(input)));
}

}  // namespace

TEST(TokenizerNormalizers, UnicodeFormsAndCaseTreatCanonicalEquivalentsAlike) {
    const std::vector<Case> cases = {
        {R"({"type":"NFD"})", "caf\u00e9", "cafe\u0301"},
        {R"({"type":"NFC"})", "cafe\u0301", "caf\u00e9"},
        {R"({"type":"NFC"})", "\u212B", "\u00C5"},
        {R"({"type":"NFKD"})", "\uFB01\u00e9", "fie\u0301"},
        {R"({"type":"NFKC"})", "\uFB01 e\u0301 \uFF76", "fi \u00e9 \u30AB"},
        // StripAccents is NFKC: it keeps accents.
        {R"({"type":"StripAccents"})", "\u00e9", "\u00e9"},
        {R"({"type":"StripAccents"})", "\uFB01", "fi"},
        {R"({"type":"Lowercase"})", "\u03A3\u0391\u03A3 Hello \u00C9", "\u03C3\u03B1\u03C3 hello \u00E9"},
        {R"({"type":"Sequence","normalizers":[{"type":"NFD"},{"type":"Lowercase"}]})", "\u00C9", "e\u0301"},
        {R"({"type":"Sequence","normalizers":[]})", "As Is", "As Is"},
        // Elements without a text type are skipped.
        {R"({"type":"Sequence","normalizers":[{"kind":"NFD"},{"type":"NFC"}]})", "e\u0301", "\u00e9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        EXPECT_EQ(normalized(c.section, c.input), c.expected);
    }
}

TEST(TokenizerNormalizers, PrependReplaceAndStrip) {
    const std::vector<Case> cases = {
        {R"({"type":"Prepend","prepend":"▁"})", "", "▁"},
        {R"({"type":"Prepend","prepend":"▁"})", "a", "▁a"},
        {R"({"type":"Prepend"})", "a", "a"},
        {R"({"type":"Replace","pattern":{"String":" "},"content":"▁"})", "a b  c", "a▁b▁▁c"},
        {R"({"type":"Replace","pattern":{"Regex":" {2,}"},"content":" "})", "a   b  c d", "a b c d"},
        {R"j({"type":"Replace","pattern":{"Regex":"(\\d+)-(\\d+)"},"content":"$2-$1"})j", "12-34", "34-12"},
        // Plain patterns match canonically and only whole characters.
        {R"({"type":"Replace","pattern":{"String":"é"},"content":"E"})", "cafe\u0301 caf\u00e9", "cafE cafE"},
        {R"({"type":"Replace","pattern":{"String":"e"},"content":"X"})", "e\u0301e", "e\u0301X"},
        // Without a pattern or a content the text stays.
        {R"({"type":"Replace","pattern":{"Other":"x"},"content":"y"})", "x", "x"},
        {R"({"type":"Replace","pattern":{"String":"x"}})", "x", "x"},
        {R"({"type":"Strip"})", "  a b \n", "a b"},
        {R"({"type":"Strip"})", " \t\n ", ""},
        {R"({"type":"Strip","strip_left":false})", "  a  ", "  a"},
        {R"({"type":"Strip","stripRight":false})", "\u3000a  ", "a  "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        EXPECT_EQ(normalized(c.section, c.input), c.expected);
    }
}

TEST(TokenizerNormalizers, BertCleansSpacesChineseAccentsAndCase) {
    const std::vector<Case> cases = {
        {R"({"type":"Bert"})", "a\tb\r\nc", "a b c"},
        {R"({"type":"BertNormalizer"})", "a\tb\r\nc", "a b c"},
        {R"({"type":"Bert","handle_chinese_chars":false})", std::string("a\0b", 3) + "\uFFFD\u0007c\u200Bd\uE000e",
         "abcde"},
        {R"({"type":"Bert","lowercase":false})", "ab中c", "ab 中 c"},
        {R"({"type":"Bert","lowercase":false})", "中文", " 中  文 "},
        {R"({"type":"Bert"})", "Caf\u00e9 Ü", "cafe u"},
        {R"({"type":"Bert","lowercase":false})", "Caf\u00e9", "Caf\u00e9"},
        {R"({"type":"Bert","lowercase":false,"strip_accents":true})", "Caf\u00e9", "Cafe"},
        {R"({"type":"Bert","clean_text":false,"handle_chinese_chars":false,"lowercase":false})", "a\tb", "a\tb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        EXPECT_EQ(normalized(c.section, c.input), c.expected);
    }
}

TEST(TokenizerNormalizers, PrecompiledMapsControlsAndKeepsInnerFullwidthTildes) {
    const std::vector<Case> cases = {
        {R"({"type":"Precompiled","precompiled_charsmap":"ignored"})", "a\u0001b", "ab"},
        {R"({"type":"Precompiled"})", "x\u200By", "x y"},
        {R"({"type":"Precompiled"})", "a\tb\u2581c", "a b c"},
        {R"({"type":"Precompiled"})", "\uFF76", "\u30AB"},
        {R"({"type":"Precompiled"})", "a\uFF5Eb", "a\uFF5Eb"},
        {R"({"type":"Precompiled"})", "a\uFF5E\uFF5Eb", "a\uFF5Eb"},
        {R"({"type":"Precompiled"})", "\uFF5Ea", "a"},
        {R"({"type":"Precompiled"})", "\uFF76\uFF5E\uFB01", "\u30AB\uFF5Efi"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(normalized(c.section, c.input), c.expected);
    }
}

TEST(TokenizerNormalizers, SectionsWithoutTypeBuildNothingAndMalformedOnesAreFaults) {
    EXPECT_EQ(NormalizerFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(NormalizerFactory::fromConfig(json(R"({"kind":"NFC"})")), nullptr);
    EXPECT_EQ(NormalizerFactory::fromConfig(json(R"({"type":7})")), nullptr);

    const std::vector<std::pair<const char*, std::string>> faults = {
        {R"({"type":"Foo"})", "Unsupported Normalizer type: Foo"},
        {R"({"type":""})", "Unsupported Normalizer type: "},
        {R"({"type":"Sequence"})", "No normalizers in Sequence"},
        {R"({"type":"Sequence","normalizers":{"type":"NFC"}})", "No normalizers in Sequence"},
        {R"({"type":"Sequence","normalizers":[{"type":"NFC"},{"type":"Bar"}]})", "Unsupported Normalizer type: Bar"},
        {R"({"type":"Replace","pattern":{"Regex":"(a"},"content":""})", "Cannot build regexp from (a"},
    };
    for (const auto& [section, text] : faults) {
        EXPECT_EQ(fileFault([&] { NormalizerFactory::fromConfig(json(section)); }), text) << section;
    }
}
