#include <gtest/gtest.h>

#include "HalvexCore/External/Tokenizers/BPETokenizer.h"
#include "HalvexCore/External/Tokenizers/BertTokenizer.h"
#include "HalvexCore/External/Tokenizers/TokenizerModel.h"
#include "HalvexCore/External/Tokenizers/UnigramTokenizer.h"
#include "TokenizerTestSupport.h"

using namespace halvex;
using namespace tokenizer_test;
using Strings = std::vector<std::string>;

namespace {

Config bpeData(const std::string& vocab, const std::string& merges) {
    return json(R"({"model":{"type":"BPE","vocab":)" + vocab + R"(,"merges":)" + merges + "}}");
}

BPETokenizer bpe(const std::string& vocab, const std::string& merges, const std::string& config = "{}",
                 const AddedTokenTable& added = {}) {
    return BPETokenizer(json(config), bpeData(vocab, merges), added);
}

template <typename F>
std::optional<TokenizerError::Kind> tokenizerErrorOf(F&& f) {
    try {
        f();
    } catch (const TokenizerError& e) {
        return e.kind();
    }
    return std::nullopt;
}

}  // namespace

TEST(TokenizerBPEModel, MergesByRankAndWritesPiecesOutsideTheVocabularyAsBytes) {
    const std::string vocab = R"({"a":0,"b":1,"c":2,"ab":3,"abc":4,"z":5,"bc":6,"x":"seven"})";
    auto model = bpe(vocab, R"(["a b","ab c"])", R"({"unk_token":"z"})");
    EXPECT_EQ(text::toUtf8(model.bpe(u"abc")), "abc");
    EXPECT_EQ(utf8(model.tokenize(u"abc")), (Strings{"abc"}));
    EXPECT_EQ(utf8(model.tokenize(u"")), Strings{});
    EXPECT_EQ(utf8(model.tokenize(u"c")), (Strings{"c"}));
    EXPECT_EQ(utf8(model.tokenize(u"abca")), (Strings{"abc", "a"}));
    // Outside the vocabulary, and equal to the unknown token: byte tokens.
    EXPECT_EQ(utf8(model.tokenize(u"\u00e9")), (Strings{"<0xC3>", "<0xA9>"}));
    EXPECT_EQ(utf8(model.tokenize(u"z")), (Strings{"<0x7A>"}));
    EXPECT_EQ(utf8(model.hexaEncode(u"a b")), (Strings{"<0x61>", "<0x20>", "<0x62>"}));
    EXPECT_EQ(model.convertTokenToId(u"x"), 5);  // not an integer entry: the unknown id
    EXPECT_EQ(model.convertTokenToId(u"nothing"), 5);
    EXPECT_EQ(model.convertIdToToken(6), u"bc");
    EXPECT_EQ(model.convertIdToToken(99), std::nullopt);
    EXPECT_EQ(model.vocabCount(), 7);
}

TEST(TokenizerBPEModel, RanksFollowTheLastListingAndTheFirstTwoParts) {
    const std::string vocab = R"({"a":0,"b":1,"c":2,"ab":3,"bc":4})";
    struct Case {
        std::string merges;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {R"(["b c","a b"])", "a bc"}, {R"(["b c","a b","b c"])", "ab c"}, {R"(["a b c"])", "ab c"},
        {R"([["a","b"]])", "ab c"},   {R"([["b","c",7],"a"])", "a bc"},   {R"([])", "a b c"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::toUtf8(bpe(vocab, c.merges).bpe(u"abc")), c.expected) << c.merges;
    }
    // Every occurrence of the best pair merges at once, left to right without overlap.
    auto aaa = bpe(R"({"a":0,"aa":1})", R"(["a a"])");
    EXPECT_EQ(text::toUtf8(aaa.bpe(u"aaaaa")), "aa aa a");
    auto merges = BPETokenizer::mergesFromConfig(json(R"(["a b","a  b",["x","y",3],5,"single"])"));
    ASSERT_TRUE(merges);
    EXPECT_EQ(merges->size(), 4u);
    EXPECT_EQ(utf8((*merges)[1]), (Strings{"a", "", "b"}));
    EXPECT_EQ(utf8((*merges)[2]), (Strings{"x", "y"}));
    EXPECT_FALSE(BPETokenizer::mergesFromConfig(json(R"({"a":1})")));
}

TEST(TokenizerBPEModel, MergesWorkOnCharactersAndCompareCanonically) {
    // The merge file writes é precomposed; the text holds e + combining acute.
    auto model = bpe(R"({"c":0,"cé":1,"ce\u0301":2,"é":3,"e\u0301":4})", R"(["c é"])");
    EXPECT_EQ(model.rank(BytePair{u"c", u"e\u0301"}), 0);
    EXPECT_EQ(text::toUtf8(model.bpe(u"ce\u0301")), "ce\u0301");
    // The joined piece keeps its own code units and finds its own id.
    EXPECT_EQ(utf8(model.tokenize(u"ce\u0301")), (Strings{"ce\u0301"}));
    EXPECT_EQ(model.convertTokenToId(u"ce\u0301"), 2);
    EXPECT_EQ(model.convertTokenToId(u"c\u00e9"), 1);
    EXPECT_EQ(model.convertTokenToId(u"\u00e9"), 3);
    EXPECT_EQ(model.convertTokenToId(u"e\u0301"), 4);
    // A family emoji is one character: nothing to merge.
    const text::Text family = u"\U0001F468\u200D\U0001F469";
    EXPECT_EQ(model.bpe(family), family);
}

TEST(TokenizerBPEModel, AddedTokensAndSpecialTokensOfTheConfiguration) {
    AddedTokenTable added;
    added.set(u"ab", 10);
    added.set(u"<s>", 11);
    auto model = bpe(
        R"({"a":0,"b":1,"ab":3,"<unk>":4})", R"(["a b"])",
        R"({"unk_token":{"content":"<unk>"},"bos_token":{"content":"<s>"},"eos_token":"</s>","fuse_unk":true})", added);
    EXPECT_EQ(model.convertTokenToId(u"ab"), 10);
    EXPECT_EQ(model.convertIdToToken(3), std::nullopt);
    EXPECT_EQ(model.convertIdToToken(10), u"ab");
    EXPECT_EQ(model.unknownToken(), u"<unk>");
    EXPECT_EQ(model.unknownTokenId(), 4);
    EXPECT_EQ(model.bosToken(), u"<s>");
    EXPECT_EQ(model.bosTokenId(), 11);
    EXPECT_EQ(model.eosToken(), u"</s>");
    EXPECT_EQ(model.eosTokenId(), std::nullopt);
    EXPECT_TRUE(model.fuseUnknownTokens());
    auto plain = bpe(R"({"a":0})", "[]");
    EXPECT_EQ(plain.unknownTokenId(), std::nullopt);
    EXPECT_EQ(plain.convertTokenToId(u"zz"), std::nullopt);
    EXPECT_FALSE(plain.fuseUnknownTokens());
}

TEST(TokenizerBPEModel, LargeMergeListsAsStringsOrPairsMergeAlike) {
    // Large enough for the reader's compact forms: a vocabulary of every one- and two-letter
    // piece and the chain to the whole alphabet, merges as "a b" strings or as ["a", "b"] pairs.
    std::string vocab = "{", strings = "[", pairs = "[";
    int id = 0;
    auto addToken = [&](const std::string& token) {
        if (id > 0) vocab += ',';
        vocab += "\"" + token + "\":" + std::to_string(id);
        ++id;
    };
    auto addMerge = [&](const std::string& a, const std::string& b) {
        if (strings.size() > 1) strings += ',', pairs += ',';
        strings += "\"" + a + " " + b + "\"";
        pairs += "[\"" + a + "\",\"" + b + "\"]";
    };
    std::string chain = "a";
    addToken("a");
    for (char c = 'b'; c <= 'z'; ++c) {
        addToken(std::string(1, c));
        addMerge(chain, std::string(1, c));
        chain += c;
        addToken(chain);
    }
    for (char c = 'a'; c < 'z'; ++c) {
        for (char d : {'x', 'y', 'q'}) {
            const std::string left(1, c), right(1, d);
            addToken(left + right);
            addMerge(left, right);
        }
    }
    vocab += "}";
    strings += "]";
    pairs += "]";
    auto fromStrings = bpe(vocab, strings);
    auto fromPairs = bpe(vocab, pairs);
    for (const std::u16string word : {u"abcdefghijklmnopqrstuvwxyz", u"abcx", u"qxyaq", u"zyxwv", u"mqaxbyc"}) {
        EXPECT_EQ(utf8(fromStrings.tokenize(word)), utf8(fromPairs.tokenize(word))) << text::toUtf8(word);
    }
    EXPECT_EQ(utf8(fromPairs.tokenize(u"abcdefghijklmnopqrstuvwxyz")), (Strings{"abcdefghijklmnopqrstuvwxyz"}));
    EXPECT_EQ(utf8(fromPairs.tokenize(u"abcx")), (Strings{"abc", "x"}));
    EXPECT_EQ(fromPairs.rank(BytePair{u"c", u"q"}), fromStrings.rank(BytePair{u"c", u"q"}));
    EXPECT_EQ(BPETokenizer::mergesFromConfig(json(pairs)), BPETokenizer::mergesFromConfig(json(strings)));
}

TEST(TokenizerBPEModel, MissingMergesOrVocabularyFailConstruction) {
    EXPECT_EQ(fileFault([] { BPETokenizer(json("{}"), json(R"({"model":{"vocab":{}}})"), {}); }),
              "BPETokenizer requires merges");
    EXPECT_EQ(tokenizerErrorOf([] { BPETokenizer(json("{}"), json(R"({"model":{"merges":[]}})"), {}); }),
              TokenizerError::Kind::missingVocab);
}

TEST(TokenizerConfigReaders, AddedTokenTextsAndTheUnknownToken) {
    EXPECT_EQ(addedTokenAsString(json(R"({"content":"<s>","lstrip":false})")), u"<s>");
    EXPECT_EQ(addedTokenAsString(Config("<s>")), u"<s>");
    EXPECT_EQ(addedTokenAsString(json(R"({"text":"<s>"})")), std::nullopt);
    EXPECT_EQ(addedTokenAsString(Config(5)), std::nullopt);
    EXPECT_EQ(addedTokenAsString(std::nullopt), std::nullopt);
    EXPECT_EQ(TokenizerModel::unknownToken(json(R"({"unk_token":{"content":"<unk>"}})")), u"<unk>");
    EXPECT_EQ(TokenizerModel::unknownToken(json(R"({"unk_token":"<unk>"})")), u"<unk>");
    EXPECT_EQ(TokenizerModel::unknownToken(json(R"({"unkToken":"<u>"})")), u"<u>");
    EXPECT_EQ(TokenizerModel::unknownToken(json(R"({})")), std::nullopt);
}

TEST(TokenizerWordPieceModel, SplitsWordsIntoTheLongestPiecesFromTheLeft) {
    const Config data = json(R"({"model":{"vocab":{
        "[UNK]":0,"un":1,"##aff":2,"##able":3,"hello":4,",":5,"world":6,"!":7,"中":8,"文":9,
        "a":10,"##a":11,"[MASK]":12,"[":13,"]":14,"mask":15,"##b":16}},
        "added_tokens":[{"id":20,"content":"hello"},{"id":"x","content":"bad"}]})");
    BertTokenizer model(json("{}"), data, {});
    struct Case {
        text::Text input;
        Strings expected;
    };
    Strings hundred(100, "##a");
    hundred[0] = "a";
    const std::vector<Case> cases = {
        {u"unaffable", {"un", "##aff", "##able"}},
        {u"H\u00e9llo, World!", {"hello", ",", "world", "!"}},
        {u"[MASK] [mask]", {"[MASK]", "[", "mask", "]"}},
        {u"ab", {"a", "##b"}},
        {u"abz", {"[UNK]"}},
        {text::Text(100, u'a'), hundred},
        {text::Text(101, u'a'), {"[UNK]"}},
        {u"中文", {"中", "文"}},
        {u"a\u3000a\ta", {"a", "a", "a"}},
        {u"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8(model.tokenize(c.input)), c.expected) << text::toUtf8(c.input);
    }
    // A line break is no separator.
    EXPECT_EQ(utf8(BasicTokenizer(true).tokenize(u"a\nb")), (Strings{"a\nb"}));
    EXPECT_EQ(utf8(BasicTokenizer(false).tokenize(u"H\u00e9llo$")), (Strings{"H\u00e9llo", "$"}));
    EXPECT_EQ(model.convertTokenToId(u"hello"), 20);
    EXPECT_EQ(model.convertTokenToId(u"zzz"), 0);
    EXPECT_EQ(model.unknownToken(), u"[UNK]");
    EXPECT_EQ(model.convertIdToToken(20), u"hello");
    EXPECT_EQ(model.convertIdToToken(4), std::nullopt);
}

TEST(TokenizerWordPieceModel, ConfigurationSettingsAndMissingVocabulary) {
    const Config data = json(R"({"model":{"vocab":{"Hello":1,"caf\u00e9":2,"x":3}}})");
    BertTokenizer cased(json(R"({"do_lower_case":false,"handle_chinese_chars":false,"bos_token":"Hello",
                                 "eos_token":{"content":"x"},"fuse_unk":true})"),
                        data, {});
    EXPECT_EQ(utf8(cased.tokenize(u"Hello")), (Strings{"Hello"}));
    EXPECT_EQ(utf8(cased.tokenize(u"hello")), (Strings{"[UNK]"}));
    // The vocabulary compares canonically.
    EXPECT_EQ(utf8(cased.tokenize(u"cafe\u0301")), (Strings{"cafe\u0301"}));
    EXPECT_EQ(cased.convertTokenToId(u"cafe\u0301"), 2);
    EXPECT_EQ(cased.bosTokenId(), 1);
    EXPECT_EQ(cased.eosToken(), std::nullopt);
    EXPECT_EQ(cased.unknownTokenId(), std::nullopt);
    EXPECT_EQ(cased.convertTokenToId(u"zzz"), std::nullopt);
    EXPECT_TRUE(cased.fuseUnknownTokens());
    EXPECT_FALSE(cased.tokenizeChineseChars());
    EXPECT_EQ(tokenizerErrorOf([] { BertTokenizer(json("{}"), json(R"({"model":{"vocab":[]}})"), {}); }),
              TokenizerError::Kind::missingVocab);
}

TEST(TokenizerUnigramModel, FindsTheBestScoringPieces) {
    auto unigram = [](const std::string& vocab, const std::string& config = "{}") {
        return UnigramTokenizer(json(config), json(R"({"model":{"unk_id":0,"vocab":)" + vocab + "}}"), {});
    };
    struct Case {
        std::string vocab;
        text::Text input;
        Strings expected;
    };
    const std::vector<Case> cases = {
        {R"([["<unk>",0],["a",-1.0],["b",-2.0],["ab",-2.5]])", u"ab", {"ab"}},
        {R"([["<unk>",0],["a",-1.0],["bc",-1],["abc",-5]])", u"abc", {"a", "bc"}},
        // Equal totals keep the node that entered first.
        {R"([["<unk>",0],["a",-1],["b",-1],["ab",-2]])", u"ab", {"ab"}},
        {R"([["<unk>",0],["a",-1]])", u"xay", {"x", "a", "y"}},
        {R"([["<unk>",0],["a",-1]])", u"", {}},
        {R"([["<unk>",0],["e\u0301",-1]])", u"e\u0301e\u0301", {"e\u0301", "e\u0301"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8(unigram(c.vocab).tokenize(c.input)), c.expected) << c.vocab;
    }
    auto model = unigram(R"([["<unk>",0],[" ",-3],["a",-1],["</s>",-2]])", R"({"eos_token":"</s>"})");
    EXPECT_EQ(model.convertTokenToId(u"x"), 0);
    EXPECT_EQ(model.convertTokenToId(u"a"), 2);
    EXPECT_EQ(model.convertIdToToken(3), u"</s>");
    EXPECT_EQ(model.convertIdToToken(4), std::nullopt);
    EXPECT_EQ(model.convertIdToToken(-1), std::nullopt);
    EXPECT_EQ(model.bosToken(), u" ");
    EXPECT_EQ(model.bosTokenId(), 1);
    EXPECT_EQ(model.eosTokenId(), 3);
    EXPECT_EQ(model.unknownToken(), u"<unk>");
    EXPECT_FLOAT_EQ(model.unknownTokenScore(), -13.0f);
    EXPECT_TRUE(model.fuseUnknownTokens());
    EXPECT_FLOAT_EQ(unigram(R"([["<unk>",1000],["a",1001]])").unknownTokenScore(), 989.0f);
}

TEST(TokenizerUnigramModel, APieceTheTrieFindsButTheTableLacksIsUnknown) {
    // The trie matches "é" written either way; the table knows only the precomposed form.
    UnigramTokenizer model(json("{}"), json(R"({"model":{"unk_id":0,"vocab":[["<unk>",0],["\u00e9",-1]]}})"), {});
    EXPECT_EQ(utf8(model.tokenize(u"e\u0301")), (Strings{"e\u0301"}));
    EXPECT_EQ(model.convertTokenToId(u"e\u0301"), 0);
    EXPECT_EQ(utf8(model.tokenize(u"\u00e9")), (Strings{"\u00e9"}));
}

TEST(TokenizerUnigramModel, TheTrieGivesEveryWholeEntryAlongTheText) {
    Trie trie;
    trie.append({{u"a"}, {u"a", u"b"}, {u"a", u"b", u"c", u"d"}, {u"\u00e9"}, {}});
    const std::vector<text::Text> text = {u"a", u"b", u"c", u"d", u"e"};
    auto walk = trie.commonPrefixSearchIterator(text);
    std::vector<Strings> found;
    while (auto prefix = walk.next()) found.push_back(utf8(*prefix));
    EXPECT_EQ(found, (std::vector<Strings>{{"a"}, {"a", "b"}, {"a", "b", "c", "d"}}));
    EXPECT_FALSE(walk.next());
    const std::vector<text::Text> decomposed = {u"e\u0301", u"x"};
    EXPECT_TRUE(trie.commonPrefixSearchIterator(decomposed).next());
    const std::vector<text::Text> other = {u"b", u"a"};
    EXPECT_FALSE(trie.commonPrefixSearchIterator(other).next());
    EXPECT_EQ(utf8(*trie.commonPrefixSearchIterator(other, 1).next()), (Strings{"a"}));
}

TEST(TokenizerUnigramModel, MalformedVocabulariesFailConstruction) {
    using K = TokenizerError::Kind;
    const std::vector<std::pair<std::string, K>> cases = {
        {R"({"model":{"unk_id":0,"vocab":{"a":1}}})", K::missingVocab},
        {R"({"model":{"unk_id":0,"vocab":[["a"]]}})", K::malformedVocab},
        {R"({"model":{"unk_id":0,"vocab":[[]]}})", K::malformedVocab},
        {R"({"model":{"unk_id":0,"vocab":[[1,2]]}})", K::malformedVocab},
        {R"({"model":{"unk_id":0,"vocab":[["a","b"]]}})", K::malformedVocab},
        {R"({"model":{"vocab":[["a",1]]}})", K::malformedVocab},
        {R"({"model":{"unk_id":1,"vocab":[["a",1]]}})", K::malformedVocab},
        {R"({"model":{"unk_id":0,"vocab":[["a",1],["a",2]]}})", K::malformedVocab},
    };
    for (const auto& [data, kind] : cases) {
        EXPECT_EQ(tokenizerErrorOf([&] { UnigramTokenizer(json("{}"), json(data), {}); }), kind) << data;
    }
    EXPECT_EQ(tokenizerErrorOf(
                  [] { UnigramTokenizer(json("{}"), json(R"({"model":{"unk_id":0,"vocab":[["a",1.5,3]]}})"), {}); }),
              std::nullopt);
}

TEST(TokenizerModelRegistry, ChoosesTheModelByClassName) {
    const Config data = json(R"({"model":{"unk_id":0,"vocab":{"a":0},"merges":[]}})");
    const Config unigramData = json(R"({"model":{"unk_id":0,"vocab":[["a",0]]}})");
    auto build = [&](const std::string& cls, bool strict) {
        const Config& d =
            cls.find("XLM") != std::string::npos || cls.find("T5") != std::string::npos ? unigramData : data;
        return TokenizerModel::from(json(R"({"tokenizer_class":")" + cls + R"("})"), d, {}, strict);
    };
    EXPECT_TRUE(dynamic_cast<BPETokenizer*>(build("WhisperTokenizer", true).get()));
    EXPECT_TRUE(dynamic_cast<BPETokenizer*>(build("WhisperTokenizerFast", true).get()));
    EXPECT_TRUE(dynamic_cast<BPETokenizer*>(build("PreTrainedTokenizerFast", true).get()));
    EXPECT_TRUE(dynamic_cast<BertTokenizer*>(build("BertTokenizerFast", true).get()));
    EXPECT_TRUE(dynamic_cast<BertTokenizer*>(build("DistilbertTokenizer", true).get()));
    EXPECT_TRUE(dynamic_cast<BertTokenizer*>(build("DistilBertTokenizer", true).get()));
    EXPECT_TRUE(dynamic_cast<UnigramTokenizer*>(build("XLMRobertaTokenizerFast", true).get()));
    EXPECT_TRUE(dynamic_cast<T5Tokenizer*>(build("T5Tokenizer", true).get()));
    EXPECT_EQ(removingFast("FastFooFastTokenizerFast"), "FooTokenizer");

    try {
        build("FooTokenizerFast", true);
        ADD_FAILURE() << "no error";
    } catch (const TokenizerError& e) {
        EXPECT_EQ(e.kind(), TokenizerError::Kind::unsupportedTokenizer);
        EXPECT_EQ(e.payload(), "FooTokenizer");
        EXPECT_STREQ(e.what(), "The tokenizer type 'FooTokenizer' is not supported.");
    }
    testing::internal::CaptureStdout();
    auto fallback = build("FooTokenizer", false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: Tokenizer model class FooTokenizer is not registered, falling back to a standard BPE "
              "implementation.\n");
    EXPECT_TRUE(dynamic_cast<BPETokenizer*>(fallback.get()));
    for (bool strict : {true, false}) {
        EXPECT_EQ(tokenizerErrorOf([&] { TokenizerModel::from(json(R"({"tokenizer_class":3})"), data, {}, strict); }),
                  TokenizerError::Kind::missingTokenizerClassInConfig);
        EXPECT_EQ(tokenizerErrorOf([&] { TokenizerModel::from(json("{}"), data, {}, strict); }),
                  TokenizerError::Kind::missingTokenizerClassInConfig);
    }
}

TEST(TokenizerErrors, DescriptionsAreTheFixedTexts) {
    const std::vector<std::pair<TokenizerError, std::string>> cases = {
        {TokenizerError::unsupportedTokenizer("FooTokenizer"), "The tokenizer type 'FooTokenizer' is not supported."},
        {TokenizerError::tooLong("5000 tokens"), "Input is too long: 5000 tokens"},
        {TokenizerError::mismatchedConfig("x"), "Tokenizer configuration mismatch: x"},
        {TokenizerError::missingConfig(), "Tokenizer configuration is missing."},
        {TokenizerError::missingTokenizerClassInConfig(), "The tokenizer class is not specified in the configuration."},
        {TokenizerError::missingVocab(), "Vocabulary file is missing from the tokenizer configuration."},
        {TokenizerError::malformedVocab(), "The vocabulary file is malformed or corrupted."},
    };
    for (const auto& [error, description] : cases) {
        EXPECT_EQ(error.what(), description);
        EXPECT_EQ(error.localizedDescription(), description);
    }
}
