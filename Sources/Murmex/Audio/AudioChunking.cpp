#include "Murmex/Audio/AudioChunking.h"

#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/FatalError.h"
#include "Murmex/Model/MurmexLog.h"
#include "Platform/ML/AudioWindow.h"

#include <exception>
#include <string>

namespace murmex {

namespace {

constexpr auto samplesPerSecond = static_cast<float>(platform::audiowindow::sampleRate);

}  // namespace

std::vector<std::shared_ptr<TranscriptionResult>> AudioChunking::updateSeekOffsetsForResults(
    const std::vector<TranscriptionResultsOrError>& chunkedResults, const std::vector<AudioChunk>& audioChunks) const {
    if (chunkedResults.size() != audioChunks.size()) {
        halvex::fatalError("updateSeekOffsetsForResults needs one outcome per chunk (" +
                           std::to_string(chunkedResults.size()) + " outcomes for " +
                           std::to_string(audioChunks.size()) + " chunks)");
    }
    std::vector<std::shared_ptr<TranscriptionResult>> updated;
    for (std::size_t index = 0; index < chunkedResults.size(); ++index) {
        const auto& outcome = chunkedResults[index];
        if (const auto* error = std::get_if<std::exception_ptr>(&outcome)) {
            log::debug("Error transcribing chunk " + std::to_string(index) + ": " +
                       halvex::localizedDescription(*error));
            continue;
        }
        // The offset goes through seconds in single precision, as every time in a result does;
        // the sample shift read back from it can fall one short of the chunk's offset.
        const float offsetSeconds = static_cast<float>(audioChunks[index].seekOffsetIndex) / samplesPerSecond;
        const auto sampleShift = static_cast<std::int64_t>(offsetSeconds * samplesPerSecond);
        for (const auto& result : std::get<std::vector<std::shared_ptr<TranscriptionResult>>>(outcome)) {
            if (!result) continue;
            std::vector<TranscriptionSegment> segments = result->segments();
            for (auto& segment : segments) {
                segment.seek += sampleShift;
                segment.start += offsetSeconds;
                segment.end += offsetSeconds;
                if (segment.words) {
                    for (auto& word : *segment.words) {
                        word.start += offsetSeconds;
                        word.end += offsetSeconds;
                    }
                }
            }
            result->setSeekTime(offsetSeconds);
            result->setSegments(std::move(segments));
            updated.push_back(result);
        }
    }
    return updated;
}

}  // namespace murmex
