// The Whisper tokenizer wrapper over the real Whisper tokenizer files: special tokens, language
// tokens and word splitting.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include <unicode/unistr.h>

#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"
#include "HalvexCore/External/Tokenizers/PreTrainedTokenizer.h"
#include "Murmex/Model/WhisperTokenizerWrapper.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"

namespace murmex {
namespace {

// The real tokenizers, each loaded once for the whole test program.
const WhisperTokenizerWrapper& whisper(const std::string& name) {
    static std::map<std::string, std::unique_ptr<WhisperTokenizerWrapper>> loaded;
    auto it = loaded.find(name);
    if (it == loaded.end()) {
        const auto folder = norvel::test::fixture("tokenizers/" + name);
        const auto config =
            halvex::JSONSerialization::bomPreservingConfig(norvel::test::readText(folder / "tokenizer_config.json"));
        const auto data =
            halvex::JSONSerialization::bomPreservingConfig(norvel::test::readText(folder / "tokenizer.json"));
        halvex::TokenizerWrapper tokenizer(std::make_shared<halvex::PreTrainedTokenizer>(config, data, true));
        it = loaded.emplace(name, std::make_unique<WhisperTokenizerWrapper>(tokenizer, folder)).first;
    }
    return *it->second;
}

// The ids of a text alone, without the special tokens the post-processor adds.
std::vector<int> idsOf(const WhisperTokenizerWrapper& tokenizer, const std::string& text) {
    return tokenizer.tokenizer().encode(text, false);
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) text += word;
    return text;
}

TEST(DataModelWhisperTokenizer, SpecialTokensOfTheRealTokenizers) {
    struct Case {
        const char* name;
        SpecialTokens expected;
        std::size_t languages;
    };
    const std::vector<Case> cases = {
        {"multilingual", {50257, 50259, 50362, 50363, 50257, 50361, 50258, 50364, 50359, 50358, 220}, 99},
        {"english", {50256, 50258, 50361, 50362, 50256, 50360, 50257, 50363, 50358, 50357, 220}, 99},
        {"multilingual-v3", {50257, 50259, 50363, 50364, 50257, 50362, 50258, 50365, 50360, 50359, 220}, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto& tokenizer = whisper(c.name);
        EXPECT_EQ(tokenizer.specialTokens(), c.expected);
        EXPECT_EQ(tokenizer.allLanguageTokens().size(), c.languages);
        EXPECT_EQ(*tokenizer.allLanguageTokens().begin(), c.expected.englishToken);
        for (int id : tokenizer.allLanguageTokens()) EXPECT_GT(id, c.expected.specialTokenBegin);
        EXPECT_EQ(tokenizer.tokenizerFolder(), norvel::test::fixture(std::string("tokenizers/") + c.name));
    }
    EXPECT_TRUE(whisper("multilingual-v3").allLanguageTokens().count(50358));  // <|yue|>
}

TEST(DataModelWhisperTokenizer, TextsTheVocabularyLacksAreMissing) {
    const auto& tokenizer = whisper("multilingual");
    // The general tokenizer answers unknown texts with its unknown token, "<|endoftext|>".
    EXPECT_EQ(tokenizer.tokenizer().convertTokenToId("<|xx|>"), 50257);
    EXPECT_EQ(tokenizer.convertTokenToId("<|xx|>"), std::nullopt);
    EXPECT_EQ(tokenizer.convertTokenToId("<|yue|>"), std::nullopt);
    EXPECT_EQ(tokenizer.convertTokenToId(" "), std::nullopt);
    EXPECT_EQ(tokenizer.convertTokenToId("<|endoftext|>"), 50257);
    EXPECT_EQ(tokenizer.convertTokenToId("<|de|>"), 50261);
    const auto world = tokenizer.convertTokenToId("\u0120world");
    ASSERT_TRUE(world);
    EXPECT_EQ(tokenizer.convertIdToToken(*world), "\u0120world");
    EXPECT_EQ(tokenizer.convertIdToToken(50364), "<|0.00|>");
    EXPECT_EQ(tokenizer.convertIdToToken(60000), std::nullopt);
    EXPECT_EQ(tokenizer.decode({50258, 50259, 50359, 50364}), "<|startoftranscript|><|en|><|transcribe|><|0.00|>");
}

TEST(DataModelWhisperTokenizer, SplittingAtSpacesAndPunctuation) {
    const auto& tokenizer = whisper("multilingual");
    struct Case {
        std::string text;
        std::vector<std::string> words;
    };
    const std::vector<Case> cases = {
        {" Hello world.", {" Hello", " world", "."}},
        {" I don't know, really!", {" I", " don't", " know", ",", " really", "!"}},
        {" and so my fellow Americans", {" and", " so", " my", " fellow", " Americans"}},
    };
    for (const auto& c : cases) {
        const auto ids = idsOf(tokenizer, c.text);
        const auto split = tokenizer.splitToWordTokens(ids);
        EXPECT_EQ(split.words, c.words) << c.text;
        std::vector<int> flattened;
        for (const auto& word : split.wordTokens) flattened.insert(flattened.end(), word.begin(), word.end());
        EXPECT_EQ(flattened, ids) << c.text;
        for (std::size_t i = 0; i < split.words.size(); ++i)
            EXPECT_EQ(tokenizer.decode(split.wordTokens[i]), split.words[i]);
    }
    // Timestamps and other special tokens are words of their own.
    std::vector<int> ids = {50258, 50259, 50359, 50364};
    const auto text = idsOf(tokenizer, " Hi there");
    ids.insert(ids.end(), text.begin(), text.end());
    ids.push_back(50414);
    const auto split = tokenizer.splitToWordTokens(ids);
    EXPECT_EQ(split.words, (std::vector<std::string>{"<|startoftranscript|>", "<|en|>", "<|transcribe|>", "<|0.00|>",
                                                     " Hi", " there", "<|1.00|>"}));
    const auto specials = tokenizer.splitToWordTokens({50258, 50259, 50359});
    EXPECT_EQ(specials.words.size(), 3u);
    EXPECT_TRUE(tokenizer.splitToWordTokens({}).words.empty());
    EXPECT_TRUE(tokenizer.splitToWordTokens({}).wordTokens.empty());
}

TEST(DataModelWhisperTokenizer, SplittingTextsWithoutSpaces) {
    const auto& tokenizer = whisper("multilingual");
    const std::string text = "\u3053\u3093\u306B\u3061\u306F\u3001\u4E16\u754C\u306E\u7686\u3055\u3093\u3002";
    const auto ids = idsOf(tokenizer, text);
    const auto split = tokenizer.splitToWordTokens(ids);
    EXPECT_EQ(joined(split.words), text);
    EXPECT_GT(split.words.size(), 3u);
    for (const auto& word : split.words) EXPECT_EQ(word.find("\uFFFD"), std::string::npos) << word;
    // Japanese is not split at spaces: a blank-free sub-word stays a word of its own.
    EXPECT_EQ(split.words.size(), split.wordTokens.size());

    // A list that ends inside a multi-byte character loses the ids of that character.
    std::vector<int> cut;
    for (char32_t c : std::u32string(U"\u6F22\u8A9E\u9F8D\u9B31\u7E8F")) {
        std::string utf8;
        icu::UnicodeString(static_cast<UChar32>(c)).toUTF8String(utf8);
        const auto charIds = idsOf(tokenizer, utf8);
        if (charIds.size() >= 2) {
            const auto prefix = idsOf(tokenizer, "\u65E5\u672C");
            cut = prefix;
            cut.push_back(charIds.front());
            const auto dropped = tokenizer.splitToWordTokens(cut);
            EXPECT_EQ(joined(dropped.words), "\u65E5\u672C");
            std::vector<int> kept;
            for (const auto& word : dropped.wordTokens) kept.insert(kept.end(), word.begin(), word.end());
            EXPECT_EQ(kept, prefix);
            break;
        }
    }
    EXPECT_FALSE(cut.empty()) << "no character of the list is split over two tokens";
}

TEST(DataModelWhisperTokenizer, SplittingAtBytesThatEndInsideACharacter) {
    // Ids of the multilingual vocabulary: 2425 " Hello", 1002 " world"; single bytes 159 (E3),
    // 165 (E9), 122 (BE), 235 (8D), 100 (A7), 105 (AC); byte pairs 1474 (E6 9C), 487 (E3 81).
    const auto& tokenizer = whisper("multilingual");
    struct Case {
        const char* name;
        std::vector<int> ids;
        std::vector<std::string> words;
        std::vector<std::vector<int>> wordTokens;
    };
    const std::vector<Case> cases = {
        {"a lead byte the next word cannot continue ends its piece",
         {2425, 159, 1002},
         {" Hello\uFFFD", " world"},
         {{2425, 159}, {1002}}},
        {"a character over three ids is one piece",
         {2425, 165, 122, 235, 1002},
         {" Hello\u9F8D", " world"},
         {{2425, 165, 122, 235}, {1002}}},
        {"a lead byte before another character's lead byte is a piece of its own",
         {1474, 105, 159, 487, 100},
         {"\u672C", "\uFFFD", "\u3067"},
         {{1474, 105}, {159}, {487, 100}}},
        {"a lead byte the list cuts off belongs to no word", {2425, 159}, {" Hello"}, {{2425}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto split = tokenizer.splitToWordTokens(c.ids);
        EXPECT_EQ(split.words, c.words);
        EXPECT_EQ(split.wordTokens, c.wordTokens);
    }
}

TEST(DataModelWhisperTokenizer, GenuineReplacementCharactersAfterEarlierWords) {
    // A replacement character that the text really holds is a piece of its own wherever it is;
    // the place it is looked up in the full text counts the words already emitted.
    const auto& tokenizer = whisper("multilingual");
    for (const std::string text : {"\u65E5\u672C\u8A9E\uFFFD\u3067\u3059", "\uFFFD\u9F8D\u3068\u9B31\u3068\u7E8F",
                                   "\u3042\uFFFD\u3044\uFFFD\u9F8D"}) {
        const auto ids = idsOf(tokenizer, text);
        ASSERT_EQ(tokenizer.decode(ids), text);
        const auto split = tokenizer.splitToWordTokens(ids);
        EXPECT_EQ(joined(split.words), text);
        std::size_t allIds = 0;
        for (const auto& word : split.wordTokens) allIds += word.size();
        EXPECT_EQ(allIds, ids.size()) << text;
        for (std::size_t i = 0; i < split.words.size(); ++i) {
            // Either a whole character run or the genuine replacement character itself.
            EXPECT_TRUE(split.words[i].find("\uFFFD") == std::string::npos || split.words[i] == "\uFFFD")
                << text << " word " << i << ": " << split.words[i];
        }
    }
}

// A tokenizer whose token texts are not byte-level: each id stands for a fixed run of bytes and
// decoding turns the joined bytes into text, one replacement character per broken sequence.
class ByteRunTokenizer : public halvex::Tokenizer {
public:
    explicit ByteRunTokenizer(std::map<int, std::string> bytes) : bytes_(std::move(bytes)) {}

    std::vector<std::string> tokenize(const std::string&) const override { return {}; }
    std::vector<int> encode(const std::string&) const override { return {}; }
    std::vector<int> encode(const std::string&, bool) const override { return {}; }
    std::vector<int> callAsFunction(const std::string&, bool) const override { return {}; }
    std::string decode(const std::vector<int>& tokens, bool) const override {
        std::string joined;
        for (int token : tokens) joined += bytes_.at(token);
        std::string text;
        icu::UnicodeString::fromUTF8(joined).toUTF8String(text);  // broken sequences become U+FFFD
        return text;
    }
    std::optional<int> convertTokenToId(const std::string& token) const override {
        return token == "<|endoftext|>" ? std::optional<int>(50257) : std::nullopt;
    }
    std::optional<std::string> convertIdToToken(int id) const override { return "\u2400" + std::to_string(id); }
    std::optional<std::string> bosToken() const override { return std::nullopt; }
    std::optional<int> bosTokenId() const override { return std::nullopt; }
    std::optional<std::string> eosToken() const override { return std::nullopt; }
    std::optional<int> eosTokenId() const override { return std::nullopt; }
    std::optional<std::string> unknownToken() const override { return std::nullopt; }
    std::optional<int> unknownTokenId() const override { return std::nullopt; }

private:
    std::map<int, std::string> bytes_;
};

TEST(DataModelWhisperTokenizer, SplittingByDecodedTextCountsTheWordsAlreadyEmitted) {
    // 日 (E6 97 A5) whole; 本 (E6 9C AC) cut over two ids; a genuine U+FFFD (EF BF BD); 語 cut.
    const std::map<int, std::string> bytes = {{1, "\xE6\x97\xA5"}, {2, "\xE6\x9C"}, {3, "\xAC"},
                                              {4, "\xEF\xBF\xBD"}, {5, "\xE8\xAA"}, {6, "\x9E"}};
    WhisperTokenizerWrapper tokenizer(halvex::TokenizerWrapper(std::make_shared<ByteRunTokenizer>(bytes)),
                                      std::nullopt);
    EXPECT_EQ(tokenizer.specialTokens(), SpecialTokens{});  // every fixed id

    struct Case {
        std::vector<int> ids;
        std::vector<std::string> words;
        std::vector<std::vector<int>> wordTokens;
    };
    const std::vector<Case> cases = {
        // The genuine replacement character after two words is found at its place in the full
        // text, so it is a word and the cut character after it is whole again.
        {{1, 2, 3, 4, 5, 6}, {"\u65E5", "\u672C", "\uFFFD", "\u8A9E"}, {{1}, {2, 3}, {4}, {5, 6}}},
        // A replacement character at the start of the text does not end the cut piece of a later
        // word, whose own replacement character sits at the same offset within its piece.
        {{4, 2, 3, 1}, {"\uFFFD", "\u672C", "\u65E5"}, {{4}, {2, 3}, {1}}},
        // A list that ends inside a character loses those ids.
        {{1, 2}, {"\u65E5"}, {{1}}},
    };
    for (const auto& c : cases) {
        const auto split = tokenizer.splitToWordTokens(c.ids);
        EXPECT_EQ(split.words, c.words);
        EXPECT_EQ(split.wordTokens, c.wordTokens);
    }
}

}  // namespace
}  // namespace murmex
