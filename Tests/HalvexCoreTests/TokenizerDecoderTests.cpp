#include <gtest/gtest.h>

#include "HalvexCore/External/Tokenizers/Decoder.h"
#include "TokenizerTestSupport.h"

using namespace halvex;
using namespace tokenizer_test;

namespace {

using Strings = std::vector<std::string>;

struct Case {
    const char* section;
    Strings tokens;
    Strings expected;
};

Strings decoded(const char* section, const Strings& tokens, const std::vector<text::Text>* addedTokens = nullptr) {
    auto decoder = DecoderFactory::fromConfig(json(section), addedTokens);
    if (!decoder) return {"<no decoder>"};
    return utf8(decoder->decode(utf16(tokens)));
}

}  // namespace

TEST(TokenizerDecoders, UndoWordPiecesReplacementsFusingAndStripping) {
    const std::vector<Case> cases = {
        {R"({"type":"WordPiece","prefix":"##"})", {"un", "##aff", "##able"}, {"un", "aff", "able"}},
        {R"({"type":"WordPiece","prefix":"##"})", {"hello", "world"}, {"hello", " world"}},
        {R"({"type":"WordPiece","prefix":"##"})", {"##x", "##y##"}, {"##x", "y##"}},
        {R"({"type":"WordPiece","prefix":"##","cleanup":true})", {"hello", "."}, {"hello", "."}},
        {R"({"type":"WordPiece","prefix":"##","cleanup":true})", {"it", "'s"}, {"it", "'s"}},
        {R"({"type":"WordPiece","prefix":"##","cleanup":true})", {"a", "b"}, {"a", " b"}},
        {R"({"type":"WordPiece","prefix":"##","cleanup":true})", {"I do not", "n't"}, {"I don't", "n't"}},
        {R"({"type":"WordPiece","prefix":"##"})", {}, {}},
        {R"({"type":"Replace","pattern":{"String":"▁"},"content":" "})", {"▁Hello", "▁world"}, {" Hello", " world"}},
        {R"({"type":"Replace","pattern":{"Regex":"a+"},"content":"<$0>"})", {"baa", "c"}, {"b<aa>", "c"}},
        {R"({"type":"Fuse"})", {"a", "b", "c"}, {"abc"}},
        {R"({"type":"Fuse"})", {}, {""}},
        {R"({"type":"Strip","content":" ","start":1,"stop":0})", {" a", "  b"}, {"a", " b"}},
        {R"({"type":"Strip","content":"x","start":5,"stop":2})", {"xxaxxx", "x"}, {"ax", ""}},
        {R"({"type":"Strip","content":"é","start":1,"stop":1})", {"e\u0301ae\u0301"}, {"a"}},
        {R"({"type":"Metaspace","replacement":"▁","add_prefix_space":true})",
         {"▁Hello", "▁world"},
         {"Hello", " world"}},
        {R"({"type":"Metaspace","replacement":"▁"})", {"▁Hello", "▁world"}, {" Hello", " world"}},
        {R"({"type":"Metaspace"})", {"a_b"}, {"a b"}},
        {R"({"type":"Sequence","decoders":[
            {"type":"Replace","pattern":{"String":"▁"},"content":" "},{"type":"ByteFallback"},{"type":"Fuse"},
            {"type":"Strip","content":" ","start":1,"stop":0}]})",
         {"▁Hello", "▁world", "<0x21>"},
         {"Hello world!"}},
        {R"({"type":"Sequence","decoders":[]})", {"a"}, {"a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        EXPECT_EQ(decoded(c.section, c.tokens), c.expected);
    }
}

TEST(TokenizerDecoders, StripTakesLinearTimeOnLongOutput) {
    // Stripping from the end once found the character boundaries of the whole remaining text
    // for each character removed.
    const std::string spaces(500000, ' ');
    const std::string ideographs = [] {
        std::string text;
        for (int i = 0; i < 100000; ++i) text += "\u4e00";
        return text;
    }();
    const std::vector<Case> cases = {
        {R"({"type":"Strip","content":" ","start":1000000000,"stop":1000000000})", {spaces + "a" + spaces}, {"a"}},
        {R"({"type":"Strip","content":" ","start":0,"stop":499999})", {"a" + spaces}, {"a "}},
        {R"({"type":"Strip","content":"\u4e00","start":1000000000,"stop":1000000000})",
         {ideographs + "e\u0301" + ideographs},
         {"e\u0301"}},
    };
    for (const auto& c : cases) {
        tokenizer_test::expectLinearTime(c.section, std::chrono::seconds(30),
                                         [&] { EXPECT_EQ(decoded(c.section, c.tokens), c.expected); });
    }
}

TEST(TokenizerDecoders, ByteFallbackReadsOnlyTwoHexDigitTokensAsBytes) {
    const char* section = R"({"type":"ByteFallback"})";
    const std::vector<Case> cases = {
        {section, {"<0xE2>", "<0x96>", "<0x81>", "a"}, {"▁", "a"}},
        {section, {"a", "<0x41>"}, {"a", "A"}},
        {section, {"<0xFF>", "b"}, {"\uFFFD", "b"}},
        {section, {"<0xe2>", "<0x96>"}, {"\uFFFD"}},
        {section,
         {"<0x4G>", "<0x41>x", "<0x-1>", "<0x+F>", "<0x 1>", "<0x041>"},
         {"<0x4G>", "<0x41>x", "<0x-1>", "<0x+F>", "<0x 1>", "<0x041>"}},
    };
    for (const auto& c : cases) EXPECT_EQ(decoded(c.section, c.tokens), c.expected);
    EXPECT_EQ(ByteFallbackDecoder::byteValue(u"<0x0a>"), 10);
    EXPECT_EQ(ByteFallbackDecoder::byteValue(u"<0x-1>"), std::nullopt);
}

TEST(TokenizerDecoders, ByteLevelJoinsBytesAndPassesAddedTokensThrough) {
    const char* section = R"({"type":"ByteLevel","add_prefix_space":true})";
    const std::vector<text::Text> added = {u"<|endoftext|>", u"caf\u00e9"};
    EXPECT_EQ(decoded(section, {"Hello", "Ġworld", "<|endoftext|>", "Ġ!"}, &added),
              (Strings{"Hello world", "<|endoftext|>", " !"}));
    // One character split over two tokens comes back whole.
    EXPECT_EQ(decoded(section, {"ãģ", "ĵ", "Ġ", "ðŁİ", "ī"}, &added), (Strings{"こ 🎉"}));
    // Added tokens compare canonically.
    EXPECT_EQ(decoded(section, {"a", "cafe\u0301", "b"}, &added), (Strings{"a", "cafe\u0301", "b"}));
    // A cut multi-byte character becomes U+FFFD; text outside the alphabet passes through; a
    // character canonically equal to one of the alphabet (A + tilde = Ã, byte C3) is its byte.
    EXPECT_EQ(decoded(section, {"ãģ"}, &added), (Strings{"\uFFFD"}));
    EXPECT_EQ(decoded(section, {"Ġ▁中"}, &added), (Strings{" ▁中"}));
    EXPECT_EQ(decoded(section, {"A\u0303", "©"}, &added), (Strings{"\u00E9"}));
    // Inside a sequence it knows no added tokens.
    EXPECT_EQ(decoded(R"({"type":"Sequence","decoders":[{"type":"ByteLevel"}]})", {"<|endoftext|>", "Ġa"}, &added),
              (Strings{"<|endoftext|> a"}));
    EXPECT_EQ(decoded(section, {}, &added), Strings{});
}

TEST(TokenizerDecoders, SectionsWithoutTypeBuildNothingAndMalformedOnesAreFaults) {
    EXPECT_EQ(DecoderFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(DecoderFactory::fromConfig(json(R"({"prefix":"##"})")), nullptr);
    const std::vector<std::pair<const char*, std::string>> faults = {
        {R"({"type":"Foo"})", "Unsupported Decoder type: Foo"},
        {R"({"type":""})", "Unsupported Decoder type: "},
        {R"({"type":"Sequence"})", "No decoders in Sequence"},
        {R"({"type":"Sequence","decoders":[{"type":"Nope"}]})", "Unsupported Decoder type: Nope"},
        {R"({"type":"WordPiece"})", "Missing `prefix` configuration for WordPieceDecoder."},
        {R"({"type":"WordPiece","prefix":1})", "Missing `prefix` configuration for WordPieceDecoder."},
        {R"({"type":"Strip","start":1,"stop":0})", "Incorrect StripDecoder configuration: can't parse `content`."},
        {R"({"type":"Strip","content":"ab","start":1,"stop":0})",
         "Incorrect StripDecoder configuration: can't parse `content`."},
        {R"({"type":"Strip","content":" ","start":"1","stop":0})",
         "Incorrect StripDecoder configuration: can't parse `start`."},
        {R"({"type":"Strip","content":" ","start":1,"stop":0.5})",
         "Incorrect StripDecoder configuration: can't parse `stop`."},
        {R"({"type":"Replace","pattern":{"Regex":"+"},"content":""})", "Cannot build regexp from +"},
    };
    for (const auto& [section, text] : faults) {
        EXPECT_EQ(fileFault([&] { DecoderFactory::fromConfig(json(section)); }), text) << section;
    }
}
