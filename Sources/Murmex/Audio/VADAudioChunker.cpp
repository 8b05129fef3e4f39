#include "Murmex/Audio/VADAudioChunker.h"

#include "Murmex/Audio/EnergyVAD.h"
#include "Murmex/Model/MurmexLog.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/AudioWindow.h"
#include "Platform/Text/NumberText.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace murmex {

namespace {

std::string seconds(std::int64_t sampleIndex) {
    return platform::numbertext::fixed(
        static_cast<double>(static_cast<float>(sampleIndex) / static_cast<float>(platform::audiowindow::sampleRate)),
        2);
}

}  // namespace

VADAudioChunker::VADAudioChunker(int windowPadding, std::shared_ptr<VoiceActivityDetector> vad)
    : windowPadding_(windowPadding), vad_(vad ? std::move(vad) : std::make_shared<EnergyVAD>()) {}

std::int64_t VADAudioChunker::splitOnMiddleOfLongestSilence(const std::vector<float>& audioArray,
                                                            std::int64_t startIndex, std::int64_t endIndex) const {
    const std::int64_t middle = startIndex + (endIndex - startIndex) / 2;
    const std::vector<float> secondHalf(audioArray.begin() + middle, audioArray.begin() + endIndex);
    const std::vector<bool> flags = vad_->voiceActivity(secondHalf);
    const auto silence = vad_->findLongestSilence(flags);
    if (!silence) return endIndex;
    const auto [first, last] = *silence;
    const std::int64_t cut = middle + (first + (last - first) / 2) * vad_->frameLengthSamples();
    // A detector of the caller's own could name frames outside the range; the cut stays inside.
    return std::clamp(cut, startIndex, endIndex);
}

std::vector<AudioChunk> VADAudioChunker::chunkAll(const std::vector<float>& audioArray, int maxChunkLength,
                                                  const std::optional<DecodingOptions>& decodeOptions) {
    const auto length = static_cast<std::int64_t>(audioArray.size());
    if (length <= maxChunkLength) {
        return {AudioChunk{0, audioArray}};
    }
    if (maxChunkLength <= 0) {
        // No chunk of that length can cover anything.
        throw WhisperError::audioProcessingFailed("Chunk length must be greater than 0");
    }

    const DecodingOptions options = decodeOptions.value_or(DecodingOptions());
    std::vector<AudioChunk> chunks;
    for (const auto& [clipStart, clipEnd] : options.prepareSeekClips(length)) {
        if (clipStart >= clipEnd - windowPadding_) continue;
        if (clipStart < 0 || clipStart >= length) {
            throw WhisperError::audioProcessingFailed(std::string(WhisperErrorMessage::startIndexOutsideBuffer));
        }
        // Clip times past the end of the audio end the clip where the audio ends.
        const std::int64_t end = std::min(clipEnd, length);
        std::int64_t index = clipStart;
        do {
            const std::int64_t chunkEnd = index + maxChunkLength < end
                                              ? splitOnMiddleOfLongestSilence(audioArray, index, index + maxChunkLength)
                                              : end;
            if (chunkEnd <= index) break;
            log::debug("Found chunk from " + seconds(index) + " to " + seconds(chunkEnd));
            chunks.push_back(
                AudioChunk{index, std::vector<float>(audioArray.begin() + index, audioArray.begin() + chunkEnd)});
            index = chunkEnd;
        } while (index < end - windowPadding_);
    }
    return chunks;
}

}  // namespace murmex
