// Language detection through the pipeline facade, over scripted stages: the window it looks
// at, the shape of its result, and its errors in the order they are met.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "MurmexTests/AudioTestSupport.h"
#include "MurmexTests/PipelineTestSupport.h"
#include "Support/Fixtures.h"

namespace {

using halvex::ModelState;
using murmex::WhisperError;
using norvel::test::ScriptedCall;
using norvel::test::ScriptedDecoderModel;
using norvel::test::ScriptedStep;
using norvel::test::ScriptedTokenizer;
using norvel::test::thrownAs;
using namespace norvel::test::pipeline;

const ScriptedTokenizer languageTokens;

// The language pass (one prediction on the start-of-transcript token) favours `code`.
ScriptedDecoderModel::Script favours(const std::string& code) {
    return [token = languageTokens.languageToken(code)](const ScriptedCall& call, int) {
        if (call.inputId != languageTokens.specialTokens().startOfTranscriptToken || call.cacheLength != 0) {
            throw std::logic_error("language detection runs one prediction on the start of transcript");
        }
        return ScriptedStep{.token = token, .high = 8.0f};
    };
}

// The standard audio stage, noting the samples it is asked to window.
class RecordingAudioProcessor : public murmex::AudioProcessor {
public:
    std::shared_ptr<murmex::AudioProcessorOutputType> padOrTrim(const std::vector<float>& audioArray,
                                                                std::int64_t startAt, std::int64_t length) override {
        {
            std::lock_guard lock(mutex);
            given.push_back(audioArray);
        }
        return AudioProcessor::padOrTrim(audioArray, startAt, length);
    }
    std::mutex mutex;
    std::vector<std::vector<float>> given;
};

struct LanguageRig : ScriptedPipelineRig<> {
    explicit LanguageRig(ScriptedDecoderModel::Script script = favours("de"))
        : ScriptedPipelineRig<>(std::move(script), withProcessor()) {}

    static murmex::MurmexConfig::Arguments withProcessor() {
        murmex::MurmexConfig::Arguments arguments;
        arguments.audioProcessor = std::make_shared<RecordingAudioProcessor>();
        return arguments;
    }
    RecordingAudioProcessor& processor() {
        return *std::dynamic_pointer_cast<RecordingAudioProcessor>(pipeline->audioProcessor());
    }
};

// Samples whose value tells the second they lie in (second s holds s / 100).
std::vector<float> countingSeconds(int count) {
    std::vector<float> samples(static_cast<std::size_t>(count) * 16000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i / 16000) / 100.0f;
    return samples;
}

TEST(PipelinePeripheryLanguage, ArraysAndFilesGiveTheLanguageOfTheirFirstWindow) {
    norvel::test::TemporaryDirectory folder;
    const auto longFile = folder / "long.wav";
    const auto shortFile = folder / "short.wav";
    murmex::test::writeFloatWav(longFile, {countingSeconds(40)}, 16000);
    murmex::test::writeFloatWav(shortFile, {countingSeconds(5)}, 16000);

    struct Case {
        const char* name;
        bool fromFile;
        std::vector<float> samples;
        std::string path;
        std::size_t expectedGiven;  // samples handed to the window padding
        float expectedLast;         // the last of them
    };
    const Case cases[] = {
        {"a short array", false, countingSeconds(3), "", 48000, 0.02f},
        {"a long array", false, countingSeconds(45), "", 720000, 0.44f},
        {"a file longer than a window is read up to 30 s", true, {}, longFile.string(), 480000, 0.29f},
        {"a short file is read whole", true, {}, shortFile.string(), 80000, 0.04f},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        LanguageRig rig;
        const murmex::DetectedLanguage detected =
            row.fromFile ? rig.pipeline->detectLanguage(row.path) : rig.pipeline->detectLangauge(row.samples);
        EXPECT_EQ(detected.language, "de");
        ASSERT_EQ(detected.langProbs.size(), 1u);
        ASSERT_EQ(detected.langProbs.count("de"), 1u);
        EXPECT_LT(detected.langProbs.at("de"), 0.0f);
        EXPECT_GT(detected.langProbs.at("de"), -1.0f);

        ASSERT_EQ(rig.processor().given.size(), 1u);
        const auto& given = rig.processor().given[0];
        EXPECT_EQ(given.size(), row.expectedGiven);
        EXPECT_NEAR(given.back(), row.expectedLast, 1e-4);
        // Whatever came in, one window went to the mel stage, from the first sample on.
        EXPECT_EQ(rig.features->windowLengths(), std::vector<std::int64_t>{480000});
        EXPECT_EQ(rig.features->firstSamples(), std::vector<float>{0.0f});
        EXPECT_EQ(rig.pipeline->modelState(), ModelState::loaded) << "the models are loaded on demand";
        EXPECT_EQ(rig.pipeline->loads, 1);
    }
}

TEST(PipelinePeripheryLanguage, ErrorsComeInTheOrderTheStepsMeetThem) {
    struct Case {
        const char* name;
        std::function<void(LanguageRig&)> arrange;
        bool fromMissingFile;
        WhisperError::Kind kind;
        std::string message;
        int expectedLoads;
    };
    const std::string missing = "/nonexistent/speech.wav";
    const Case cases[] = {
        {"a missing file, before any load", [](LanguageRig&) {}, true, WhisperError::Kind::loadAudioFailed,
         "Resource path does not exist " + missing, 0},
        {"an English-only model, after the load", [](LanguageRig& rig) { rig.decoder->setIsModelMultilingual(false); },
         false, WhisperError::Kind::decodingFailed, "Language detection not supported for this model", 1},
        {"no tokenizer", [](LanguageRig& rig) { rig.pipeline->giveTokenizer = false; }, false,
         WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable", 1},
        {"no mel output", [](LanguageRig& rig) { rig.features->fail = true; }, false,
         WhisperError::Kind::transcriptionFailed, "Mel output is nil", 1},
        {"no encoder output", [](LanguageRig& rig) { rig.encoder->fail = true; }, false,
         WhisperError::Kind::transcriptionFailed, "Encoder output is nil", 1},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        LanguageRig rig;
        row.arrange(rig);
        const auto error = thrownAs<WhisperError>([&] {
            if (row.fromMissingFile) {
                rig.pipeline->detectLanguage(missing);
            } else {
                rig.pipeline->detectLangauge(countingSeconds(2));
            }
        });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind(), row.kind);
        EXPECT_EQ(error->message(), row.message);
        EXPECT_EQ(rig.pipeline->loads, row.expectedLoads);
    }
}

TEST(PipelinePeripheryLanguage, AnyFailureOfTheLanguagePassIsReportedAsSuch) {
    LanguageRig rig([](const ScriptedCall&, int) -> ScriptedStep { throw std::runtime_error("the model broke"); });
    const auto error = thrownAs<WhisperError>([&] { rig.pipeline->detectLangauge(countingSeconds(2)); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), WhisperError::Kind::decodingFailed);
    EXPECT_EQ(error->message(), "Language detection failed");

    // A file that exists but is no audio fails with the audio reader's error.
    norvel::test::TemporaryDirectory folder;
    murmex::test::writeText(folder / "notes.wav", "not audio at all");
    EXPECT_THROW(rig.pipeline->detectLanguage((folder / "notes.wav").string()), murmex::AudioFileError);
}

}  // namespace
