#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

using halvex::BinaryDistinctString;
using halvex::Config;
using halvex::JSONSerialization;

namespace {

TEST(CoreConfig, UncamelCasesNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"tokenizerClass", "tokenizer_class"},
        {"eosTokenID", "eos_token_id"},
        {"URLPath", "urlpath"},
        {"already_snake", "already_snake"},
        {"Leading", "leading"},
        {"a1B", "a1_b"},
        {"\u00C9t\u00C9", "\u00E9t_\u00E9"},
        {"", ""},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(Config::uncamelCase(name), BinaryDistinctString(expected)) << name;
    }
}

TEST(CoreConfig, MemberLookupFallsBackToSnakeCaseAndNull) {
    auto config = JSONSerialization::bomPreservingConfig(
        R"({"tokenizer_class": "WhisperTokenizer", "modelMaxLength": 1, "model_max_length": 2, "nested": {"a_b": [1]}})");
    EXPECT_EQ(config["tokenizerClass"].string(), "WhisperTokenizer");
    EXPECT_EQ(config["tokenizer_class"].string(), "WhisperTokenizer");
    // The key as written wins over its snake_case form.
    EXPECT_EQ(config["modelMaxLength"].integer(), 1);
    EXPECT_EQ(config["model_max_length"].integer(), 2);
    EXPECT_EQ(config["nested"]["aB"], Config::makeArray({1}));
    EXPECT_TRUE(config["missing"].isNull());
    EXPECT_EQ(config.optionalMember("missing"), Config());

    const std::vector<Config> notDictionaries = {Config::makeArray({1}), Config("text"), Config(), Config(3)};
    for (const auto& receiver : notDictionaries) {
        EXPECT_TRUE(receiver["anything"].isNull()) << receiver;
        EXPECT_EQ(receiver.optionalMember("anything"), std::nullopt) << receiver;
    }
}

TEST(CoreConfig, ReadsBooleansLeniently) {
    const std::vector<std::pair<Config, std::optional<bool>>> cases = {
        {Config(true), true},         {Config(false), false},   {Config(1), true},
        {Config(2), false},           {Config(0), false},       {Config("T"), true},
        {Config("TRUE"), true},       {Config("1"), true},      {Config("f"), false},
        {Config("False"), false},     {Config("0"), false},     {Config("yes"), std::nullopt},
        {Config(1.0f), std::nullopt}, {Config(), std::nullopt}, {Config::makeArray({true}), std::nullopt},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(value.boolean(), expected) << value;
}

TEST(CoreConfig, TypedReadersYieldNothingForOtherCases) {
    EXPECT_EQ(Config(3).floating(), 3.0f);
    EXPECT_EQ(Config(3.0f).integer(), std::nullopt);
    EXPECT_EQ(Config(3).string(), std::nullopt);
    EXPECT_EQ(Config("3").integer(), std::nullopt);
    EXPECT_EQ(Config("x").array(), nullptr);
    EXPECT_EQ(Config::makeArray({}).dictionary(), nullptr);

    auto mixed = Config::makeArray({"a", 5, "b"});
    EXPECT_EQ(mixed.get(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Config("a").get(), std::nullopt);

    struct TokenCase {
        Config value;
        std::optional<Config::Token> expected;
    };
    const std::vector<TokenCase> tokens = {
        {Config::makeArray({"<|en|>", 101}), Config::Token{101, "<|en|>"}},
        {Config::makeToken(7, "x"), Config::Token{7, "x"}},
        {Config::makeArray({101, "<|en|>"}), std::nullopt},
        {Config::makeArray({"a", 1, 2}), std::nullopt},
        {Config::makeArray({"a", -1}), std::nullopt},
        {Config("a"), std::nullopt},
    };
    for (const auto& c : tokens) EXPECT_EQ(c.value.token(), c.expected) << c.value;
}

TEST(CoreConfig, ConvertsParsedFilesAsTheSystemDoes) {
    // JSON true/false become integers, integral numbers integers, others 32-bit floats.
    const std::string document =
        R"({"flag": true, "off": false, "two": 2.0, "half": 2.5, "big": 1e300, "pair": [5, "a"],)"
        R"( "none": null, "list": ["x", 3], "k": {"inner": -4}})";
    for (const Config& config : {JSONSerialization::bomPreservingConfig(document),
                                 Config::fromParsedJSON(JSONSerialization::bomPreservingJsonObject(document))}) {
        EXPECT_EQ(config["flag"].kind(), Config::Kind::integer);
        EXPECT_EQ(config["flag"].integer(), 1);
        EXPECT_EQ(config["flag"].boolean(), true);
        EXPECT_EQ(config["off"].integer(), 0);
        EXPECT_EQ(config["two"].kind(), Config::Kind::integer);
        EXPECT_EQ(config["two"].integer(), 2);
        EXPECT_EQ(config["half"].kind(), Config::Kind::floating);
        EXPECT_EQ(config["half"].floating(), 2.5f);
        EXPECT_EQ(config["big"].kind(), Config::Kind::floating);
        EXPECT_TRUE(std::isinf(*config["big"].floating()));
        EXPECT_EQ(config["pair"].kind(), Config::Kind::array);  // files never give tokens
        EXPECT_EQ(config["none"].kind(), Config::Kind::null);
        EXPECT_EQ(config["k"]["inner"].integer(), -4);
        EXPECT_EQ(config["list"].description(), R"([["x", 3]])");
    }
}

TEST(CoreConfig, KeepsByteOrderMarksInsideStrings) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string document = R"({")" + bom + R"(key": ")" + bom + R"(value", "plain": ")" + bom + bom + R"("})";
    for (const std::string& input : {document, bom + document}) {
        auto config = JSONSerialization::bomPreservingConfig(input);
        auto parsed = JSONSerialization::bomPreservingJsonObject(input);
        ASSERT_NE(config.dictionary(), nullptr);
        EXPECT_EQ(config[BinaryDistinctString(u"\uFEFFkey")].binaryDistinctString()->value,
                  std::u16string(u"\uFEFFvalue"));
        EXPECT_TRUE(config["key"].isNull());
        EXPECT_EQ(config["plain"].binaryDistinctString()->value, std::u16string(u"\uFEFF\uFEFF"));
        EXPECT_EQ(Config::fromParsedJSON(parsed), config);
    }
}

TEST(CoreConfig, MalformedDocumentsThrowTheParserError) {
    for (const std::string& input : {std::string("{\"a\": }"), std::string(""), std::string("[1, 2"),
                                     std::string("{\"a\": 1} trailing"), std::string("\xEF\xBB{}")}) {
        EXPECT_THROW(JSONSerialization::bomPreservingConfig(input), nlohmann::json::parse_error) << input;
        EXPECT_THROW(JSONSerialization::bomPreservingJsonObject(input), nlohmann::json::parse_error) << input;
    }
}

// A document of `levels` nested arrays or objects around the number 1.
std::string nested(std::size_t levels, bool objects) {
    std::string text;
    text.reserve(levels * 6 + 1);
    for (std::size_t i = 0; i < levels; ++i) text += objects ? "{\"a\":" : "[";
    text += "1";
    text.append(levels, objects ? '}' : ']');
    return text;
}

TEST(CoreConfig, ReadersRefuseDocumentsNestedTooDeep) {
    const std::size_t limit = Config::maximumNestingDepth;
    for (bool objects : {false, true}) {
        SCOPED_TRACE(objects ? "objects" : "arrays");
        // At the limit both readers accept the document.
        Config deepest = JSONSerialization::bomPreservingConfig(nested(limit, objects));
        EXPECT_EQ(Config::fromParsedJSON(JSONSerialization::bomPreservingJsonObject(nested(limit, objects))), deepest);
        for (std::size_t levels : {limit + 1, std::size_t{200000}}) {
            const std::string document = nested(levels, objects);
            EXPECT_THROW(JSONSerialization::bomPreservingConfig(document), nlohmann::json::parse_error) << levels;
            EXPECT_THROW(JSONSerialization::bomPreservingJsonObject(document), nlohmann::json::parse_error) << levels;
            // A document read by another reader is refused by the conversions too.
            const auto parsed = nlohmann::json::parse(document);
            EXPECT_THROW(Config::fromParsedJSON(parsed), std::invalid_argument) << levels;
            EXPECT_NO_THROW(parsed.get<Config>()) << levels;
        }
    }
}

TEST(CoreConfig, DestroysDeepTreesWithoutRecursion) {
    // Built in code, a tree has no depth limit; freeing it must not exhaust the stack.
    Config tree(1);
    for (int i = 0; i < 200000; ++i) {
        tree = i % 2 == 0 ? Config(Config::Array{std::move(tree)})
                          : Config(Config::Dictionary{{BinaryDistinctString("a"), std::move(tree)}});
    }
    Config shared = tree["a"];  // a subtree still held elsewhere outlives the rest
    tree = Config();
    ASSERT_NE(shared.array(), nullptr);
    EXPECT_EQ(shared.array()->size(), 1u);
    shared = Config();

    // Nodes released on several threads at once.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            Config local = JSONSerialization::bomPreservingConfig(nested(Config::maximumNestingDepth, true));
            for (int i = 0; i < 50000; ++i) local = Config(Config::Array{local, Config(i)});
        });
    }
    for (auto& thread : threads) thread.join();
}

TEST(CoreConfig, StreamingReaderMatchesTheDocumentReaderOnARealTokenizer) {
    const std::string data = norvel::test::readText(norvel::test::fixture("tokenizers/multilingual/tokenizer.json"));
    Config streamed = JSONSerialization::bomPreservingConfig(data);
    Config converted = Config::fromParsedJSON(JSONSerialization::bomPreservingJsonObject(data));
    EXPECT_EQ(streamed, converted);
    EXPECT_EQ(streamed.hash(), converted.hash());

    const Config::Dictionary* vocab = streamed["model"]["vocab"].dictionary();
    ASSERT_NE(vocab, nullptr);
    EXPECT_EQ(vocab->size(), 50257u);
    EXPECT_EQ(streamed["model"]["vocab"]["!"].integer(), 0);
    EXPECT_EQ(streamed["model"]["type"].string(), "BPE");
    EXPECT_EQ(streamed["addedTokens"].array()->size(), streamed["added_tokens"].array()->size());
}

TEST(CoreConfig, LargeVocabulariesAndMergeListsReadLikeAnyContainer) {
    // The reader keeps large lists of texts and tables of integers compact; they must read,
    // compare and hash exactly as the general form does, and fall back to it at the first
    // element that does not fit.
    auto list = [](int count, const std::function<std::string(int)>& element, const std::string& tail = "") {
        std::string text = "[";
        for (int i = 0; i < count; ++i) {
            if (i > 0) text += ',';
            text.append(element(i));
        }
        text.append(tail);
        text += ']';
        return text;
    };
    auto word = [](int i) {
        std::string text = "\"w";
        text.append(std::to_string(i));
        text.append("\u00e9\"");
        return text;
    };
    std::string vocab = "{";
    for (int i = 0; i < 300; ++i) {
        const std::string number = std::to_string(i);
        vocab.append("\"w").append(number).append("\": ").append(number).append(",");
    }
    vocab.append(R"("w7": 70, "flag": true, "tokenizer_class": 5})");
    const std::vector<std::string> documents = {
        vocab,
        list(300, word),
        list(300, [&](int i) { return "[" + word(i) + "," + word(i + 1) + "]"; }),
        list(300, [&](int i) { return i % 7 == 0 ? "[]" : "[" + word(i) + "]"; }),
        list(300, word, ", 5"),
        list(
            300, [&](int i) { return "[" + word(i) + "]"; }, R"(, "x")"),
        list(300, [&](int i) { return "[" + word(i) + ", 1]"; }),
        "{" + vocab.substr(1, vocab.size() - 2) + R"(, "text": "x"})",
    };
    for (const auto& document : documents) {
        SCOPED_TRACE(document.substr(0, 60));
        const Config compact = JSONSerialization::bomPreservingConfig(document);
        const Config general = Config::fromParsedJSON(JSONSerialization::bomPreservingJsonObject(document));
        EXPECT_EQ(compact, general);
        EXPECT_EQ(general, compact);
        EXPECT_EQ(compact.hash(), general.hash());
        EXPECT_EQ(compact.containerSize(), general.containerSize());
        EXPECT_EQ(compact.kind(), general.kind());
        std::vector<std::pair<Config::Kind, std::vector<std::u16string>>> compactTexts, generalTexts;
        auto collect = [](std::vector<std::pair<Config::Kind, std::vector<std::u16string>>>& out) {
            return [&out](Config::Kind kind, std::span<const std::u16string_view> texts) {
                out.emplace_back(kind, std::vector<std::u16string>(texts.begin(), texts.end()));
            };
        };
        EXPECT_EQ(compact.forEachElementTexts(collect(compactTexts)), general.kind() == Config::Kind::array);
        general.forEachElementTexts(collect(generalTexts));
        EXPECT_EQ(compactTexts, generalTexts);
        std::size_t members = 0;
        compact.forEachMember([&](std::u16string_view key, const Config& value) {
            ++members;
            EXPECT_EQ(general[BinaryDistinctString(key)], value);
        });
        EXPECT_EQ(members, general.kind() == Config::Kind::dictionary ? general.containerSize() : 0u);
    }
    const Config table = JSONSerialization::bomPreservingConfig(vocab);
    EXPECT_EQ(table["w7"].integer(), 70);  // a repeated key takes the later value
    EXPECT_EQ(table["flag"].boolean(), true);
    EXPECT_EQ(table["tokenizerClass"].integer(), 5);
    EXPECT_TRUE(table["w300"].isNull());
    EXPECT_EQ(table.optionalMember("w300"), Config());
    EXPECT_EQ(table.dictionary()->size(), 302u);
    const Config pairs = JSONSerialization::bomPreservingConfig(documents[2]);
    EXPECT_EQ(pairs.array()->at(1), Config::makeArray({"w1\u00e9", "w2\u00e9"}));
    EXPECT_EQ(pairs.token(), std::nullopt);
    EXPECT_EQ(JSONSerialization::bomPreservingConfig(documents[1]).get()->at(299), "w299\u00e9");
}

TEST(CoreConfig, DecodesItsOwnJsonForm) {
    struct Case {
        std::string json;
        Config expected;
        Config::Kind kind;
    };
    const std::vector<Case> cases = {
        {"null", Config(), Config::Kind::null},
        {"7", Config(7), Config::Kind::integer},
        {"2.0", Config(2), Config::Kind::integer},
        {"0.25", Config(0.25f), Config::Kind::floating},
        {"true", Config(true), Config::Kind::boolean},
        {R"("s")", Config("s"), Config::Kind::string},
        {R"([5, "a"])", Config::makeToken(5, "a"), Config::Kind::token},
        {R"(["a", 5])", Config::makeArray({"a", 5}), Config::Kind::array},
        {R"([5, "a", 1])", Config::makeArray({5, "a", 1}), Config::Kind::array},
        {R"([-5, "a"])", Config::makeArray({-5, "a"}), Config::Kind::array},
        {R"({"k": [true]})", Config::makeDictionary({{"k", Config::makeArray({true})}}), Config::Kind::dictionary},
        {"1e300", Config(), Config::Kind::null},
    };
    for (const auto& c : cases) {
        Config decoded = nlohmann::json::parse(c.json).get<Config>();
        EXPECT_EQ(decoded.kind(), c.kind) << c.json;
        EXPECT_EQ(decoded, c.expected) << c.json;
    }
}

TEST(CoreConfig, EncodesAndRoundTrips) {
    auto config = Config::makeDictionary({
        {"text", "h\u00E9"},
        {"count", -3},
        {"flag", false},
        {"ratio", 0.1f},
        {"whole", 1.0f},
        {"list", Config::makeArray({1, Config()})},
        {"token", Config::makeToken(50257, "<|endoftext|>")},
    });
    nlohmann::json json = config;
    EXPECT_EQ(json["ratio"].dump(), "0.1");  // the float's shortest text, not its double widening
    EXPECT_EQ(json["token"].dump(), R"([50257,"<|endoftext|>"])");
    EXPECT_EQ(json["list"].dump(), "[1,null]");
    EXPECT_EQ(json["flag"].dump(), "false");
    Config back = nlohmann::json::parse(json.dump()).get<Config>();
    EXPECT_EQ(back, config);
    EXPECT_EQ(back["token"].kind(), Config::Kind::token);
    EXPECT_EQ(back["flag"].kind(), Config::Kind::boolean);

    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        nlohmann::json out;
        EXPECT_THROW(halvex::to_json(out, Config(bad)), std::invalid_argument);
    }
}

TEST(CoreConfig, EqualityCrossesCasesAndHashingAgrees) {
    struct Case {
        Config left;
        Config right;
        bool equal;
    };
    const std::vector<Case> cases = {
        {Config(1), Config(1.0f), true},
        {Config(16777217), Config(16777216.0f), true},  // compared as 32-bit floats
        {Config(1), Config(true), true},
        {Config(2), Config(false), true},
        {Config(3), Config(false), true},
        {Config("1"), Config(true), true},
        {Config("T"), Config(true), true},
        {Config("yes"), Config(true), false},
        {Config("1"), Config(1), false},
        {Config(1.0f), Config(true), false},
        {Config(0.0f), Config(-0.0f), true},
        {Config(2.0f), Config(2), true},
        {Config(2.5f), Config(2), false},
        {Config("a"), Config("a"), true},
        {Config(BinaryDistinctString(u"\u00E9")), Config(BinaryDistinctString(u"e\u0301")), false},
        {Config(), Config(), true},
        {Config(), Config(0), false},
        {Config::makeArray({1, 2}), Config::makeArray({1.0f, true}), false},
        {Config::makeArray({1, 2}), Config::makeArray({1.0f, false}), true},
        {Config::makeArray({1}), Config::makeArray({1, 1}), false},
        {Config::makeDictionary({{"a", 1}, {"b", "x"}}), Config::makeDictionary({{"b", "x"}, {"a", true}}), true},
        {Config::makeDictionary({{"a", 1}}), Config::makeDictionary({{"b", 1}}), false},
        {Config::makeToken(1, "a"), Config::makeToken(1, "a"), true},
        {Config::makeToken(1, "a"), Config::makeArray({1, "a"}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.left == c.right, c.equal) << c.left << " vs " << c.right;
        EXPECT_EQ(c.right == c.left, c.equal) << c.right << " vs " << c.left;
        if (c.equal) {
            EXPECT_EQ(c.left.hash(), c.right.hash()) << c.left << " vs " << c.right;
        }
    }

    // A set finds an element by any value equal to it.
    std::unordered_set<Config> set{Config(2), Config("hello"), Config(0.5f)};
    EXPECT_EQ(set.count(Config(false)), 1u);
    EXPECT_EQ(set.count(Config(2.0f)), 1u);
    EXPECT_EQ(set.count(Config("hello")), 1u);
    EXPECT_EQ(set.count(Config(0.5f)), 1u);
    EXPECT_EQ(set.count(Config("hell")), 0u);
    EXPECT_NE(Config("hello").hash(), Config("hell").hash());
}

TEST(CoreConfig, DescribesValues) {
    const std::vector<std::pair<Config, std::string>> cases = {
        {Config::makeArray({1, 2}), "[[1, 2]]"},
        {Config::makeArray({}), "[[]]"},
        {Config::makeDictionary({}), "{[:]}"},
        {Config::makeDictionary({{"a", 1}}), "{[a: 1]}"},
        {Config("text"), "\"text\""},
        {Config(-12), "-12"},
        {Config(true), "true"},
        {Config(1.0f), "1.0"},
        {Config(0.1f), "0.1"},
        {Config(2.5f), "2.5"},
        {Config::makeToken(5, "x"), "(5, x)"},
        {Config(), "null"},
        {Config::makeDictionary({{"a", 1}, {"a", 2}}), "{[a: 2]}"},  // a repeated key takes the later value
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(value.description(), text);
}

}  // namespace
