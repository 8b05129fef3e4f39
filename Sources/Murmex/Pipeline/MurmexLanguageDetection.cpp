#include <filesystem>
#include <string>
#include <vector>

#include "HalvexCore/Logging.h"
#include "Murmex/Audio/AudioFile.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Decoding/TokenSamplers.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/ML/AudioWindow.h"

namespace murmex {

namespace {

// Only the first window of a file is looked at.
constexpr double detectionSeconds = platform::audiowindow::seconds;

}  // namespace

DetectedLanguage Murmex::detectLanguage(const std::string& audioPath) {
    std::error_code error;
    if (!std::filesystem::exists(audioPath, error)) {
        throw WhisperError::loadAudioFailed(WhisperErrorMessage::resourcePathDoesNotExist(audioPath));
    }
    AudioFile file(audioPath);
    const auto buffer =
        AudioProcessor::loadAudio(file, AudioInputOptions::ChannelMode::sumChannels(), 0.0, detectionSeconds);
    const std::vector<float> samples = AudioProcessor::convertBufferToArray(*buffer, AudioProcessor::copyChunkSize);
    return detectLangauge(samples);
}

DetectedLanguage Murmex::detectLangauge(const std::vector<float>& audioArray) {
    loadModelsIfNeeded();
    const auto decoder = textDecoder();
    if (!decoder->isModelMultilingual()) {
        throw WhisperError::decodingFailed(std::string(WhisperErrorMessage::languageDetectionNotSupported));
    }
    const auto tokenizer = this->tokenizer();
    if (!tokenizer) throw WhisperError::tokenizerUnavailable();

    DecodingOptions options;
    options.verbose = halvex::Logging::isLoggingEnabled();

    const SpecialTokens& special = tokenizer->specialTokens();
    const auto decoderInputs = decoder->prepareDecoderInputs({special.startOfTranscriptToken});

    const auto padded = audioProcessor()->padOrTrim(audioArray, 0, windowLength());
    if (!padded) throw WhisperError::transcriptionFailed(std::string(WhisperErrorMessage::audioSamplesNil));
    const auto features = featureExtractor()->logMelSpectrogram(padded);
    if (!features) throw WhisperError::transcriptionFailed(std::string(WhisperErrorMessage::melOutputNil));
    const auto encoderOutput = audioEncoder()->encodeFeatures(features);
    if (!encoderOutput) throw WhisperError::transcriptionFailed(std::string(WhisperErrorMessage::encoderOutputNil));

    const platform::Float16 temperature(0.0f);
    GreedyTokenSampler sampler(temperature, special.endToken, options);
    try {
        DecodingResult result = decoder->detectLanguage(encoderOutput, decoderInputs, sampler, options, temperature);
        return {std::move(result.language), std::move(result.languageProbs)};
    } catch (...) {
        throw WhisperError::decodingFailed(std::string(WhisperErrorMessage::languageDetectionFailed));
    }
}

std::int64_t Murmex::windowLength() const {
    const auto extractor = featureExtractor();
    const std::optional<int> reported = extractor ? extractor->windowSamples() : std::nullopt;
    return reported.value_or(Constants::defaultWindowSamples);
}

}  // namespace murmex
