#include "Murmex/Model/WhisperError.h"

#include <utility>

#include "Murmex/Model/MurmexLog.h"

namespace murmex {

WhisperError::WhisperError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

WhisperError WhisperError::tokenizerUnavailable(std::string message) {
    return {Kind::tokenizerUnavailable, std::move(message)};
}
WhisperError WhisperError::modelsUnavailable(std::string message) {
    return {Kind::modelsUnavailable, std::move(message)};
}
WhisperError WhisperError::audioProcessingFailed(std::string message) {
    return {Kind::audioProcessingFailed, std::move(message)};
}
WhisperError WhisperError::decodingLogitsFailed(std::string message) {
    return {Kind::decodingLogitsFailed, std::move(message)};
}
WhisperError WhisperError::segmentingFailed(std::string message) {
    return {Kind::segmentingFailed, std::move(message)};
}
WhisperError WhisperError::loadAudioFailed(std::string message) { return {Kind::loadAudioFailed, std::move(message)}; }
WhisperError WhisperError::prepareDecoderInputsFailed(std::string message) {
    return {Kind::prepareDecoderInputsFailed, std::move(message)};
}
WhisperError WhisperError::transcriptionFailed(std::string message) {
    return {Kind::transcriptionFailed, std::move(message)};
}
WhisperError WhisperError::decodingFailed(std::string message) { return {Kind::decodingFailed, std::move(message)}; }
WhisperError WhisperError::microphoneUnavailable(std::string message) {
    return {Kind::microphoneUnavailable, std::move(message)};
}
WhisperError WhisperError::initializationError(std::string message) {
    return {Kind::initializationError, std::move(message)};
}

std::string_view WhisperError::kindName() const {
    switch (kind_) {
        case Kind::tokenizerUnavailable: return "tokenizerUnavailable";
        case Kind::modelsUnavailable: return "modelsUnavailable";
        case Kind::audioProcessingFailed: return "audioProcessingFailed";
        case Kind::decodingLogitsFailed: return "decodingLogitsFailed";
        case Kind::segmentingFailed: return "segmentingFailed";
        case Kind::loadAudioFailed: return "loadAudioFailed";
        case Kind::prepareDecoderInputsFailed: return "prepareDecoderInputsFailed";
        case Kind::transcriptionFailed: return "transcriptionFailed";
        case Kind::decodingFailed: return "decodingFailed";
        case Kind::microphoneUnavailable: return "microphoneUnavailable";
        case Kind::initializationError: return "initializationError";
    }
    return "unknown";
}

std::string WhisperError::errorDescription() const {
    log::error(message_);
    return message_;
}

namespace WhisperErrorMessage {

std::string modelFileNotFound(std::string_view path) { return "Model file not found at " + std::string(path); }

std::string modelNotFound(std::string_view underlyingError) {
    return "Model not found. Please check the model or repo name and try again.\nError: " +
           std::string(underlyingError);
}

std::string noModelsFound(std::string_view pattern, std::string_view repository) {
    return "No models found matching \"" + std::string(pattern) + "\" in " + std::string(repository);
}

std::string multipleModelsFound(std::string_view pattern, std::string_view repository) {
    return "Multiple models found matching \"" + std::string(pattern) + "\" in " + std::string(repository);
}

std::string errorConvertingAudio(std::string_view underlyingError) {
    return "Error converting audio: " + std::string(underlyingError);
}

std::string audioFileNotFound(std::string_view path) { return "Audio file not found at path: " + std::string(path); }

std::string resourcePathDoesNotExist(std::string_view path) {
    return "Resource path does not exist " + std::string(path);
}

std::string failedToReadAudioFile(std::string_view underlyingError) {
    return "Failed to read audio file: " + std::string(underlyingError);
}

}  // namespace WhisperErrorMessage

}  // namespace murmex
