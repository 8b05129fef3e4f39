// Audio input options and decoding options: defaults, initializer rules, seek clips and their
// JSON forms.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include "Murmex/Model/AudioInputOptions.h"
#include "Murmex/Model/DecodingOptions.h"
#include "Platform/ML/Float16.h"

namespace murmex {
namespace {

using ChannelMode = AudioInputOptions::ChannelMode;
using AudioLoadingMode = AudioInputOptions::AudioLoadingMode;

Json parse(const std::string& text) { return Json::parse(text); }

TEST(DataModelAudioInputOptions, ChannelModeJsonFormsRoundTrip) {
    struct Case {
        ChannelMode mode;
        std::string json;
    };
    const std::vector<Case> cases = {
        {ChannelMode::specificChannel(2), R"({"specificChannel":{"_0":2}})"},
        {ChannelMode::sumChannels(), R"({"sumChannels":{}})"},
        {ChannelMode::sumChannels(std::vector<int>{}), R"({"sumChannels":{"_0":[]}})"},
        {ChannelMode::sumChannels(std::vector<int>{0, 3}), R"({"sumChannels":{"_0":[0,3]}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(coding::encode(c.mode).dump(), c.json);
        EXPECT_EQ(coding::decode<ChannelMode>(parse(c.json)), c.mode);
    }
}

TEST(DataModelAudioInputOptions, ChannelModeReadingRules) {
    // A null payload and unknown members are accepted.
    EXPECT_EQ(coding::decode<ChannelMode>(parse(R"({"sumChannels":{"_0":null}})")), ChannelMode::sumChannels());
    EXPECT_EQ(coding::decode<ChannelMode>(parse(R"({"specificChannel":{"_0":1},"other":3})")),
              ChannelMode::specificChannel(1));

    struct Failure {
        std::string json;
        DecodingError::Kind kind;
        std::string description;
    };
    const std::vector<Failure> failures = {
        {R"({})", DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one."},
        {R"({"specificChannel":{"_0":1},"sumChannels":{}})", DecodingError::Kind::typeMismatch,
         "Invalid number of keys found, expected one."},
        {R"({"specificChannel":{}})", DecodingError::Kind::keyNotFound, ""},
        {R"({"specificChannel":{"_0":"1"}})", DecodingError::Kind::typeMismatch, ""},
        {R"({"specificChannel":{"_0":1.5}})", DecodingError::Kind::dataCorrupted, ""},
        {R"({"sumChannels":{"_0":[1,"x"]}})", DecodingError::Kind::typeMismatch, ""},
        {R"([1])", DecodingError::Kind::typeMismatch, ""},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.json);
        try {
            coding::decode<ChannelMode>(parse(f.json));
            ADD_FAILURE() << "read succeeded";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), f.kind);
            if (!f.description.empty()) {
                EXPECT_EQ(error.debugDescription(), f.description);
            }
        }
    }
    // The error names where it happened.
    try {
        coding::decode<ChannelMode>(parse(R"({"sumChannels":{"_0":[1,"x"]}})"));
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.codingPath(), (std::vector<std::string>{"sumChannels", "_0", "Index 1"}));
    }
}

TEST(DataModelAudioInputOptions, ChannelModeEqualityAndHashing) {
    const std::vector<ChannelMode> distinct = {
        ChannelMode::specificChannel(0),
        ChannelMode::specificChannel(1),
        ChannelMode::sumChannels(),
        ChannelMode::sumChannels(std::vector<int>{}),
        ChannelMode::sumChannels(std::vector<int>{0, 1}),
        ChannelMode::sumChannels(std::vector<int>{1, 0}),
    };
    for (std::size_t i = 0; i < distinct.size(); ++i) {
        for (std::size_t j = 0; j < distinct.size(); ++j)
            EXPECT_EQ(distinct[i] == distinct[j], i == j) << i << "," << j;
    }
    std::unordered_set<ChannelMode> set(distinct.begin(), distinct.end());
    set.insert(ChannelMode::sumChannels(std::vector<int>{0, 1}));
    EXPECT_EQ(set.size(), distinct.size());
    EXPECT_EQ(ChannelMode::sumChannels(std::vector<int>{4, 5}).hash(),
              ChannelMode::sumChannels(std::vector<int>{4, 5}).hash());
}

TEST(DataModelAudioInputOptions, DefaultsAndLoadingModes) {
    AudioInputOptions options;
    EXPECT_EQ(options.channelMode, ChannelMode::sumChannels());
    EXPECT_TRUE(options.audioLoadingMode.isFullFile());

    const AudioLoadingMode incremental = AudioLoadingMode::incremental();
    EXPECT_TRUE(incremental.isIncremental());
    EXPECT_EQ(incremental.chunkDurationSeconds(), 120.0);
    EXPECT_EQ(incremental.maxBufferedChunks(), 2);
    const AudioLoadingMode custom = AudioLoadingMode::incremental(30.5, 4);
    EXPECT_EQ(custom.chunkDurationSeconds(), 30.5);
    EXPECT_EQ(custom.maxBufferedChunks(), 4);
}

TEST(DataModelDecodingOptions, DefaultRecordHoldsTheLibraryDefaults) {
    const DecodingOptions o;
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(o.task, DecodingTask::transcribe);
    EXPECT_FALSE(o.language);
    EXPECT_EQ(o.temperature, 0.0f);
    EXPECT_EQ(o.temperatureIncrementOnFallback, 0.2f);
    EXPECT_EQ(o.temperatureFallbackCount, 5);
    EXPECT_EQ(o.sampleLength, 224);
    EXPECT_EQ(o.topK, 5);
    EXPECT_TRUE(o.usePrefillPrompt);
    EXPECT_FALSE(o.detectLanguage);
    EXPECT_FALSE(o.skipSpecialTokens);
    EXPECT_FALSE(o.withoutTimestamps);
    EXPECT_FALSE(o.wordTimestamps);
    EXPECT_FALSE(o.maxInitialTimestamp);
    EXPECT_FALSE(o.maxWindowSeek);
    EXPECT_TRUE(o.clipTimestamps.empty());
    EXPECT_EQ(o.windowClipTime, 1.0f);
    EXPECT_FALSE(o.promptTokens);
    EXPECT_FALSE(o.prefixTokens);
    EXPECT_FALSE(o.suppressBlank);
    EXPECT_TRUE(o.suppressTokens.empty());
    EXPECT_EQ(o.compressionRatioThreshold, 2.4f);
    EXPECT_EQ(o.logProbThreshold, -1.0f);
    EXPECT_EQ(o.firstTokenLogProbThreshold, -1.5f);
    EXPECT_EQ(o.noSpeechThreshold, 0.6f);
    EXPECT_EQ(o.concurrentWorkerCount, 16);
    EXPECT_FALSE(o.chunkingStrategy);
    // The initializer with every argument omitted gives the same record.
    EXPECT_EQ(DecodingOptions{}, o);
}

TEST(DataModelDecodingOptions, InitializerRulesForOmittedArguments) {
    EXPECT_TRUE((DecodingOptions{.usePrefillPrompt = false}).detectLanguage);
    EXPECT_FALSE((DecodingOptions{.usePrefillPrompt = false, .detectLanguage = false}).detectLanguage);
    EXPECT_TRUE((DecodingOptions{.usePrefillPrompt = true, .detectLanguage = true}).detectLanguage);
    EXPECT_EQ((DecodingOptions{.suppressTokens = std::vector<std::int64_t>{1, 2}}).suppressTokens,
              (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ((DecodingOptions{.concurrentWorkerCount = 0}).concurrentWorkerCount, 0);
    EXPECT_EQ((DecodingOptions{.compressionRatioThreshold = std::nullopt}).compressionRatioThreshold, std::nullopt);
}

TEST(DataModelDecodingOptions, FallbackTemperaturesInHalfPrecision) {
    // Each fallback temperature is Float16(t) + Float16(i) * Float16(increment), rounded to half
    // precision at each step; with the defaults these are the exact values.
    const DecodingOptions o;
    const std::vector<double> expected = {0.0, 0.199951171875, 0.39990234375, 0.599609375, 0.7998046875, 1.0};
    ASSERT_EQ(static_cast<std::size_t>(o.temperatureFallbackCount) + 1, expected.size());
    for (int i = 0; i <= o.temperatureFallbackCount; ++i) {
        const platform::Float16 value = platform::Float16(o.temperature) +
                                        platform::Float16(i) * platform::Float16(o.temperatureIncrementOnFallback);
        EXPECT_EQ(static_cast<double>(value), expected[static_cast<std::size_t>(i)]) << i;
    }
}

TEST(DataModelDecodingOptions, PrepareSeekClips) {
    using Clips = std::vector<std::pair<std::int64_t, std::int64_t>>;
    struct Case {
        std::vector<float> clipTimestamps;
        Clips expected;
    };
    const std::vector<Case> cases = {
        {{}, {{0, 480000}}},
        {{5.0f}, {{80000, 480000}}},
        {{1.0f, 2.0f, 3.0f}, {{16000, 32000}, {48000, 480000}}},
        {{2.0f, 1.0f}, {{32000, 16000}}},
        {{0.5f, 10.25f}, {{8000, 164000}}},
        // 0.00003125 s is exactly half a sample: rounded away from zero.
        {{0.00003125f, -0.00003125f}, {{1, -1}}},
    };
    for (const auto& c : cases) {
        DecodingOptions options;
        options.clipTimestamps = c.clipTimestamps;
        EXPECT_EQ(options.prepareSeekClips(480000), c.expected);
    }
}

TEST(DataModelDecodingOptions, JsonFormOfTheDefaultRecord) {
    const Json json = coding::encode(DecodingOptions());
    const std::vector<std::string> expectedKeys = {"verbose",
                                                   "task",
                                                   "temperature",
                                                   "temperatureIncrementOnFallback",
                                                   "temperatureFallbackCount",
                                                   "sampleLength",
                                                   "topK",
                                                   "usePrefillPrompt",
                                                   "detectLanguage",
                                                   "skipSpecialTokens",
                                                   "withoutTimestamps",
                                                   "wordTimestamps",
                                                   "clipTimestamps",
                                                   "windowClipTime",
                                                   "suppressBlank",
                                                   "suppressTokens",
                                                   "compressionRatioThreshold",
                                                   "logProbThreshold",
                                                   "firstTokenLogProbThreshold",
                                                   "noSpeechThreshold",
                                                   "concurrentWorkerCount"};
    std::vector<std::string> keys;
    for (const auto& [key, value] : json.items()) keys.push_back(key);
    EXPECT_EQ(keys, expectedKeys);
    EXPECT_EQ(json["task"].dump(), R"({"transcribe":{}})");
    // Floats are written in their shortest form.
    EXPECT_EQ(json["temperatureIncrementOnFallback"].dump(), "0.2");
    EXPECT_EQ(json["compressionRatioThreshold"].dump(), "2.4");
    EXPECT_EQ(coding::decode<DecodingOptions>(json), DecodingOptions());
}

TEST(DataModelDecodingOptions, JsonRoundTripOfEveryField) {
    const DecodingOptions o{.verbose = true,
                            .task = DecodingTask::translate,
                            .language = "de",
                            .temperature = 0.3f,
                            .temperatureIncrementOnFallback = 0.1f,
                            .temperatureFallbackCount = 2,
                            .sampleLength = 100,
                            .topK = 3,
                            .usePrefillPrompt = false,
                            .detectLanguage = false,
                            .skipSpecialTokens = true,
                            .withoutTimestamps = true,
                            .wordTimestamps = true,
                            .maxInitialTimestamp = 1.5f,
                            .maxWindowSeek = 3000,
                            .clipTimestamps = {0.5f, 3.25f},
                            .windowClipTime = 0.75f,
                            .promptTokens = std::vector<std::int64_t>{1, 2},
                            .prefixTokens = std::vector<std::int64_t>{},
                            .suppressBlank = true,
                            .suppressTokens = std::vector<std::int64_t>{-1, 50257},
                            .compressionRatioThreshold = std::nullopt,
                            .logProbThreshold = -2.0f,
                            .firstTokenLogProbThreshold = std::nullopt,
                            .noSpeechThreshold = 0.9f,
                            .concurrentWorkerCount = 4,
                            .chunkingStrategy = ChunkingStrategy::vad};
    const Json json = coding::encode(o);
    EXPECT_EQ(json["task"].dump(), R"({"translate":{}})");
    EXPECT_EQ(json["chunkingStrategy"], "vad");
    EXPECT_FALSE(json.contains("compressionRatioThreshold"));
    EXPECT_EQ(coding::decode<DecodingOptions>(Json::parse(json.dump())), o);
}

TEST(DataModelDecodingOptions, IntegersAreReadAndWrittenIn64Bits) {
    constexpr std::int64_t big = 5000000000;
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    const std::vector<std::int64_t> tokens = {big, lowest, 7};
    Json json = coding::encode(DecodingOptions());
    for (const char* key :
         {"temperatureFallbackCount", "sampleLength", "topK", "maxWindowSeek", "concurrentWorkerCount"}) {
        json[key] = big;
    }
    for (const char* key : {"promptTokens", "prefixTokens", "suppressTokens"}) json[key] = tokens;

    const auto read = coding::decode<DecodingOptions>(Json::parse(json.dump()));
    EXPECT_EQ(read.temperatureFallbackCount, big);
    EXPECT_EQ(read.sampleLength, big);
    EXPECT_EQ(read.topK, big);
    EXPECT_EQ(read.maxWindowSeek, big);
    EXPECT_EQ(read.concurrentWorkerCount, big);
    EXPECT_EQ(read.promptTokens, tokens);
    EXPECT_EQ(read.prefixTokens, tokens);
    EXPECT_EQ(read.suppressTokens, tokens);
    const Json written = coding::encode(read);
    for (const auto& [key, value] : json.items()) EXPECT_EQ(written[key], value) << key;

    // A document written before holds 32-bit values, and reads as it did.
    const auto stored = coding::decode<DecodingOptions>(parse(
        R"({"verbose":false,"task":{"transcribe":{}},"temperature":0.0,"temperatureIncrementOnFallback":0.2,)"
        R"("temperatureFallbackCount":5,"sampleLength":224,"topK":5,"usePrefillPrompt":true,"detectLanguage":false,)"
        R"("skipSpecialTokens":true,"withoutTimestamps":false,"wordTimestamps":false,"maxWindowSeek":48000,)"
        R"("clipTimestamps":[],"windowClipTime":1.0,"promptTokens":[50364,440],"suppressBlank":false,)"
        R"("suppressTokens":[-1,50257],"compressionRatioThreshold":2.4,"logProbThreshold":-1.0,)"
        R"("firstTokenLogProbThreshold":-1.5,"noSpeechThreshold":0.6,"concurrentWorkerCount":16})"));
    EXPECT_EQ(stored, (DecodingOptions{.skipSpecialTokens = true,
                                       .maxWindowSeek = 48000,
                                       .promptTokens = std::vector<std::int64_t>{50364, 440},
                                       .suppressTokens = {-1, 50257}}));

    // Beyond 64 bits nothing is read.
    json["sampleLength"] = std::uint64_t{9223372036854775808u};
    try {
        coding::decode<DecodingOptions>(json);
        ADD_FAILURE() << "2^63 was read";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
        EXPECT_EQ(error.codingPath(), std::vector<std::string>{"sampleLength"});
    }
}

TEST(DataModelDecodingOptions, ReadingFillsInNothing) {
    const Json full = coding::encode(DecodingOptions());
    // Each required key is required.
    for (const char* key : {"verbose", "task", "temperature", "temperatureIncrementOnFallback",
                            "temperatureFallbackCount", "sampleLength", "topK", "usePrefillPrompt", "detectLanguage",
                            "skipSpecialTokens", "withoutTimestamps", "wordTimestamps", "clipTimestamps",
                            "windowClipTime", "suppressBlank", "suppressTokens", "concurrentWorkerCount"}) {
        Json json = full;
        json.erase(key);
        try {
            coding::decode<DecodingOptions>(json);
            ADD_FAILURE() << key << " was not required";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound) << key;
            EXPECT_EQ(error.codingPath(), std::vector<std::string>{key});
        }
    }
    // Optional thresholds that are missing stay empty rather than taking their defaults.
    Json json = full;
    json.erase("noSpeechThreshold");
    json["logProbThreshold"] = nullptr;
    json["unknown"] = 1;
    const auto read = coding::decode<DecodingOptions>(json);
    EXPECT_FALSE(read.noSpeechThreshold);
    EXPECT_FALSE(read.logProbThreshold);

    // Null and mistyped values fail.
    for (const auto& [key, value] : std::vector<std::pair<std::string, Json>>{{"verbose", nullptr},
                                                                              {"topK", 2.5},
                                                                              {"temperature", "0"},
                                                                              {"suppressTokens", Json::array({1.5})},
                                                                              {"chunkingStrategy", "VAD"},
                                                                              {"task", Json::object()}}) {
        Json bad = full;
        bad[key] = value;
        EXPECT_THROW(coding::decode<DecodingOptions>(bad), DecodingError) << key;
    }
}

TEST(DataModelDecodingOptions, TaskAndChunkingStrategyForms) {
    EXPECT_EQ(coding::decode<DecodingTask>(parse(R"({"translate":{}})")), DecodingTask::translate);
    EXPECT_EQ(coding::decode<DecodingTask>(parse(R"({"transcribe":{},"x":1})")), DecodingTask::transcribe);
    for (const char* text : {R"({})", R"({"transcribe":{},"translate":{}})"}) {
        try {
            coding::decode<DecodingTask>(parse(text));
            ADD_FAILURE() << text;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), DecodingError::Kind::typeMismatch);
            EXPECT_EQ(error.debugDescription(), "Invalid number of keys found, expected one.");
        }
    }
    EXPECT_THROW(coding::decode<DecodingTask>(parse(R"({"transcribe":1})")), DecodingError);
    EXPECT_EQ(description(DecodingTask::transcribe), "transcribe");
    EXPECT_EQ(description(DecodingTask::translate), "translate");

    EXPECT_EQ(chunkingStrategyFromRawValue("vad"), ChunkingStrategy::vad);
    EXPECT_EQ(chunkingStrategyFromRawValue("none"), ChunkingStrategy::none);
    EXPECT_EQ(chunkingStrategyFromRawValue("VAD"), std::nullopt);
    EXPECT_EQ(coding::encode(ChunkingStrategy::none).dump(), R"("none")");
    try {
        coding::decode<ChunkingStrategy>(parse(R"("silence")"));
        ADD_FAILURE();
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
    }
}

}  // namespace
}  // namespace murmex
