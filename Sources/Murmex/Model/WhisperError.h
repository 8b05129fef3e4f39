#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace murmex {

// The speech library's error: a case and the message it carries. `what()` is the message and
// has no side effects; `errorDescription()` is the message too, and also writes it to the
// process-wide log at error level, as every display of the error does.
class WhisperError : public std::exception {
public:
    enum class Kind {
        tokenizerUnavailable,
        modelsUnavailable,
        audioProcessingFailed,
        decodingLogitsFailed,
        segmentingFailed,
        loadAudioFailed,
        prepareDecoderInputsFailed,
        transcriptionFailed,
        decodingFailed,
        microphoneUnavailable,
        initializationError,
    };

    WhisperError(Kind kind, std::string message);

    static WhisperError tokenizerUnavailable(std::string message = "Tokenizer is unavailable");
    static WhisperError modelsUnavailable(std::string message = "Models are unavailable");
    static WhisperError audioProcessingFailed(std::string message);
    static WhisperError decodingLogitsFailed(std::string message);
    static WhisperError segmentingFailed(std::string message);
    static WhisperError loadAudioFailed(std::string message);
    static WhisperError prepareDecoderInputsFailed(std::string message);
    static WhisperError transcriptionFailed(std::string message);
    static WhisperError decodingFailed(std::string message);
    static WhisperError microphoneUnavailable(std::string message);
    static WhisperError initializationError(std::string message);

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // The case name as written in the code ("tokenizerUnavailable").
    std::string_view kindName() const;

    // The message; each read also logs it at error level.
    std::string errorDescription() const;

    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const WhisperError& a, const WhisperError& b) {
        return a.kind_ == b.kind_ && a.message_ == b.message_;
    }

private:
    Kind kind_;
    std::string message_;
};

// The messages the library throws, so that every stage uses the same texts.
namespace WhisperErrorMessage {

inline constexpr std::string_view tokenizerUnavailable = "Tokenizer is unavailable";

inline constexpr std::string_view modelsUnavailable = "Models are unavailable";
inline constexpr std::string_view modelFolderNotSet = "Model folder is not set.";
std::string modelFileNotFound(std::string_view path);
std::string modelNotFound(std::string_view underlyingError);
// "No"/"Multiple" + " models found matching \"pattern\" in " + repository.
std::string noModelsFound(std::string_view pattern, std::string_view repository);
std::string multipleModelsFound(std::string_view pattern, std::string_view repository);

inline constexpr std::string_view audioEncoderInputNotMultiArray = "AudioEncoder input must be MLMultiArray";
inline constexpr std::string_view featureExtractorInputNotMultiArray = "FeatureExtractor input must be MLMultiArray";
inline constexpr std::string_view startIndexOutsideBuffer = "startIndex is outside the buffer size";
inline constexpr std::string_view failedToCreateConvertedBuffer = "Failed to create converted buffer";
std::string errorConvertingAudio(std::string_view underlyingError);

inline constexpr std::string_view unableToDecodeLogitsFromOutput = "Unable to decode logits from the model output";
inline constexpr std::string_view unableToDecodeLogits = "Unable to decode logits";

inline constexpr std::string_view invalidAlignmentMatrixShape = "Invalid alignment matrix shape";
inline constexpr std::string_view invalidAlignmentWeightsShape = "Invalid shape in alignmentWeights";

std::string audioFileNotFound(std::string_view path);
std::string resourcePathDoesNotExist(std::string_view path);
inline constexpr std::string_view unableToCreateAudioBuffer = "Unable to create audio buffer";
inline constexpr std::string_view audioBufferMissingFloatData = "Audio buffer is missing float channel data";
std::string failedToReadAudioFile(std::string_view underlyingError);
inline constexpr std::string_view failedToProcessAudioBuffer = "Failed to process audio buffer";

inline constexpr std::string_view unknownKvCacheEmbedDim = "Unable to determine kvCacheEmbedDim";
inline constexpr std::string_view unknownKvCacheMaxSequenceLength = "Unable to determine kvCacheMaxSequenceLength";
inline constexpr std::string_view unknownEncoderOutputDim = "Unable to determine encoderOutputDim";
inline constexpr std::string_view decoderInputsNotDecodingInputs = "Unable to cast decoderInputs to DecodingInputs";
inline constexpr std::string_view initialPromptEmpty = "Initial prompt must not be empty";

inline constexpr std::string_view audioSamplesNil = "Audio samples are nil";
inline constexpr std::string_view melOutputNil = "Mel output is nil";
inline constexpr std::string_view encoderOutputNil = "Encoder output is nil";
inline constexpr std::string_view inputNotTextDecoderMultiArrayInput = "Input must be TextDecoderMLMultiArrayInputType";
inline constexpr std::string_view pipelineDeallocated = "Murmex instance was deallocated";
inline constexpr std::string_view clipTimestampsWithIncrementalLoading =
    "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, or transcribe the desired "
    "range as a separate call.";

inline constexpr std::string_view samplerReturnedNoTokens = "Token sampler returned no tokens";
inline constexpr std::string_view samplerReturnedNoTokensOrLogProbs =
    "Token sampler returned no tokens or log probabilities";
inline constexpr std::string_view languageDetectionNotSupported = "Language detection not supported for this model";
inline constexpr std::string_view languageDetectionFailed = "Language detection failed";

}  // namespace WhisperErrorMessage

}  // namespace murmex
