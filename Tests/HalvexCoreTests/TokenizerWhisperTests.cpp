#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "HalvexCore/AutoTokenizerWrapper.h"
#include "HalvexCore/External/Tokenizers/BPETokenizer.h"
#include "HalvexCore/External/Tokenizers/PreTrainedTokenizer.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "TokenizerTestSupport.h"

using namespace halvex;

namespace {

// The real Whisper tokenizers, each loaded once for the whole test program through the
// local-folder loader, strictly, as the speech library loads them.
const TokenizerWrapper& whisper(const std::string& name) {
    static norvel::test::TemporaryDirectory cache;
    static const HubApiWrapper hub(cache.path(), std::string(), std::string("http://127.0.0.1:9"));
    static std::map<std::string, TokenizerWrapper> loaded;
    auto it = loaded.find(name);
    if (it == loaded.end()) {
        auto folder = norvel::test::fixture("tokenizers/" + name);
        it = loaded.emplace(name, AutoTokenizerWrapper::fromModelFolder(folder, hub, true)).first;
    }
    return it->second;
}

struct EncodingCase {
    std::string text;
    std::vector<int> multilingual;
    std::vector<int> english;
};

std::vector<EncodingCase> encodingCases() {
    auto document = nlohmann::json::parse(norvel::test::readText(norvel::test::fixture("tokenizers/encodings.json")));
    std::vector<EncodingCase> cases;
    for (const auto& c : document.at("cases"))
        cases.push_back(
            {c.at("text"), c.at("multilingual").get<std::vector<int>>(), c.at("english").get<std::vector<int>>()});
    return cases;
}

}  // namespace

TEST(TokenizerWhisper, TheFolderLoaderBuildsAByteLevelBPETokenizer) {
    for (const std::string name : {"multilingual", "english", "multilingual-v3"}) {
        const auto* tokenizer = dynamic_cast<const PreTrainedTokenizer*>(whisper(name).impl.get());
        ASSERT_NE(tokenizer, nullptr) << name;
        EXPECT_NE(dynamic_cast<const BPETokenizer*>(&tokenizer->model()), nullptr);
        EXPECT_NE(tokenizer->preTokenizer(), nullptr);
        EXPECT_EQ(tokenizer->normalizer(), nullptr);
    }
}

TEST(TokenizerWhisper, EveryListedTextEncodesToItsIdsAndDecodesBack) {
    const auto cases = encodingCases();
    ASSERT_FALSE(cases.empty());
    // large-v3 has the multilingual vocabulary and merges; only its special tokens moved.
    const std::vector<std::pair<std::string, bool>> tokenizers = {
        {"multilingual", true}, {"english", false}, {"multilingual-v3", true}};
    for (const auto& [name, multilingual] : tokenizers) {
        const auto& tokenizer = whisper(name);
        for (const auto& c : cases) {
            SCOPED_TRACE(name + ": " + c.text);
            const auto& ids = multilingual ? c.multilingual : c.english;
            EXPECT_EQ(tokenizer.encode(c.text, false), ids);
            EXPECT_EQ(tokenizer.decode(ids), c.text);
        }
    }
}

TEST(TokenizerWhisper, SpecialAndTimestampTokensHaveTheirIds) {
    struct Case {
        std::string token;
        int multilingual;
        int english;
        int v3;
    };
    const std::vector<Case> cases = {
        {"<|endoftext|>", 50257, 50256, 50257},    {"<|startoftranscript|>", 50258, 50257, 50258},
        {"<|en|>", 50259, 50258, 50259},           {"<|translate|>", 50358, 50357, 50359},
        {"<|transcribe|>", 50359, 50358, 50360},   {"<|startoflm|>", 50360, 50359, 50361},
        {"<|startofprev|>", 50361, 50360, 50362},  {"<|nocaptions|>", 50362, 50361, 50363},
        {"<|notimestamps|>", 50363, 50362, 50364}, {"<|0.00|>", 50364, 50363, 50365},
        {"<|1.00|>", 50414, 50413, 50415},         {"<|30.00|>", 51864, 51863, 51865},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.token);
        EXPECT_EQ(whisper("multilingual").convertTokenToId(c.token), c.multilingual);
        EXPECT_EQ(whisper("english").convertTokenToId(c.token), c.english);
        EXPECT_EQ(whisper("multilingual-v3").convertTokenToId(c.token), c.v3);
        EXPECT_EQ(whisper("multilingual").convertIdToToken(c.multilingual), c.token);
        EXPECT_EQ(whisper("english").convertIdToToken(c.english), c.token);
        EXPECT_EQ(whisper("multilingual-v3").convertIdToToken(c.v3), c.token);
    }
    EXPECT_EQ(whisper("multilingual-v3").convertTokenToId("<|yue|>"), 50358);
    const auto& tokenizer = whisper("multilingual");
    EXPECT_EQ(tokenizer.convertTokenToId("Ġ"), 220);
    // The configuration names <|endoftext|> as begin, end and unknown token.
    EXPECT_EQ(tokenizer.unknownToken(), "<|endoftext|>");
    EXPECT_EQ(tokenizer.unknownTokenId(), 50257);
    EXPECT_EQ(tokenizer.eosTokenId(), 50257);
    EXPECT_EQ(tokenizer.bosTokenId(), 50257);
    EXPECT_EQ(tokenizer.convertTokenToId("not a token"), 50257);
    EXPECT_EQ(tokenizer.convertIdToToken(60000), std::nullopt);
}

TEST(TokenizerWhisper, SpecialTokensInTextAndTheirDecoding) {
    const auto& tokenizer = whisper("multilingual");
    // encode(text) adds the start, the no-timestamps mark and the end.
    EXPECT_EQ(tokenizer.encode("Hello world"), (std::vector<int>{50258, 50363, 15947, 1002, 50257}));
    const std::string prompt = "<|startoftranscript|><|en|><|transcribe|><|0.00|> Hello world<|1.00|><|endoftext|>";
    const std::vector<int> ids = {50258, 50259, 50359, 50364, 2425, 1002, 50414, 50257};
    EXPECT_EQ(tokenizer.encode(prompt, false), ids);
    EXPECT_EQ(tokenizer.tokenize("<|en|> Hello"), (std::vector<std::string>{"<|en|>", "ĠHello"}));
    EXPECT_EQ(tokenizer.decode(ids), prompt);
    // Timestamps are added tokens but not special ones: they stay when specials are skipped.
    EXPECT_EQ(tokenizer.decode(ids, true), "<|0.00|> Hello world<|1.00|>");
    EXPECT_EQ(tokenizer.decode(ids, false), prompt);
    // Ids without a token are dropped.
    EXPECT_EQ(tokenizer.decode({15947, 99999, 1002}), "Hello world");
    // Decoding half of a multi-byte character gives U+FFFD, never a crash.
    EXPECT_EQ(tokenizer.decode({171, 120}), "\uFFFD");
}

TEST(TokenizerWhisper, OneTokenizerServesSeveralThreadsAtOnce) {
    const auto& tokenizer = whisper("multilingual");
    const auto cases = encodingCases();
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                for (size_t i = 0; i < cases.size(); ++i) {
                    const auto& c = cases[(i + static_cast<size_t>(t)) % cases.size()];
                    if (tokenizer.encode(c.text, false) != c.multilingual) ++mismatches;
                    if (tokenizer.decode(c.multilingual) != c.text) ++mismatches;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(TokenizerWhisper, LongRunsOfWhitespaceEncodeWhole) {
    // A run this long once overflowed the expression engine's backtracking stack, and the
    // search took the overflow for the end of the text.
    const auto& tokenizer = whisper("multilingual");
    for (const std::string& run : {std::string(600000, '\n'), std::string(600000, ' '), std::string(300000, '\t')}) {
        const std::string text = "Hello there." + run + "A sentence after the gap.";
        const auto ids = tokenizer.encode(text, false);
        EXPECT_GT(ids.size(), 10u);
        EXPECT_EQ(tokenizer.decode(ids), text);
    }
}

TEST(TokenizerWhisper, ACombiningMarkStormEncodesInLinearTime) {
    // One base letter and a million bytes of marks whose combining classes alternate (230,
    // 220): put in canonical order one insertion at a time, that took minutes.
    std::string storm = "a";
    for (int i = 0; i < 250000; ++i) storm += "\u0301\u0316";
    const std::string text = "Before " + storm + " after.";
    const auto& tokenizer = whisper("multilingual");
    tokenizer_test::expectLinearTime("a 1 MB combining-mark storm", std::chrono::seconds(30), [&] {
        const auto ids = tokenizer.encode(text, false);
        EXPECT_EQ(tokenizer.decode(ids), text);
    });
}
