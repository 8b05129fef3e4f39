#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/Logging.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Audio/EnergyVAD.h"
#include "Murmex/Decoding/TranscriptionUtilities.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/Text/NumberText.h"

namespace murmex {

using halvex::Logging;

Murmex::Results Murmex::transcribeIncrementally(const std::string& audioPath, const AudioInputOptions& options,
                                                const std::optional<DecodingOptions>& decodeOptions,
                                                const TranscriptionProgressCallback& callback, std::stop_token stop) {
    const auto start = std::chrono::steady_clock::now();
    Results results;
    std::exception_ptr failure;
    try {
        auto stream = AudioProcessor::loadFileIncrementally(
            audioPath, options.channelMode, options.audioLoadingMode.chunkDurationSeconds(),
            options.audioLoadingMode.maxBufferedChunks(), static_cast<int>(windowLength()), chunkingDetector());
        results = transcribeFileStream(std::move(stream), decodeOptions, callback, true, std::move(stop));
    } catch (...) {
        failure = std::current_exception();
    }
    // The whole time of reading and transcribing, whatever the outcome.
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    mutableCurrentTimings().audioLoading = elapsed;
    Logging::debug("Audio streaming and transcription time: " + platform::numbertext::shortestWithFraction(elapsed));
    Logging::logCurrentMemoryUsage("Audio Streaming");
    if (failure) std::rethrow_exception(failure);
    return results;
}

Murmex::Results Murmex::transcribeFileStream(FileChunkStream audioStream,
                                             const std::optional<DecodingOptions>& decodeOptions,
                                             const TranscriptionProgressCallback& callback, bool emitStateCallbacks,
                                             std::stop_token stop) {
    if (decodeOptions && !decodeOptions->clipTimestamps.empty()) {
        throw WhisperError::transcriptionFailed(std::string(WhisperErrorMessage::clipTimestampsWithIncrementalLoading));
    }
    const auto stateCallback = emitStateCallbacks ? transcriptionStateCallback() : TranscriptionStateCallback();
    if (stateCallback) stateCallback(TranscriptionState::transcribing);

    Results all;
    bool anyTranscribed = false;
    try {
        // After a stop no further chunk is read; the chunks transcribed until then are kept.
        while (!stop.stop_requested()) {
            auto chunk = audioStream.next();
            if (!chunk) break;
            const std::int64_t offset = chunk->audioChunk.seekOffsetIndex;
            Results results;
            try {
                results = transcribe(chunk->audioChunk.audioSamples, offset, decodeOptions, callback, nullptr, stop);
            } catch (const halvex::CancellationError&) {
                if (chunk->completionSignal) chunk->completionSignal();
                if (!stop.stop_requested()) throw;
                break;
            } catch (...) {
                if (chunk->completionSignal) chunk->completionSignal();
                throw;
            }
            const float offsetSeconds = static_cast<float>(static_cast<double>(offset) / sampleRate);
            for (const auto& result : results) {
                std::vector<TranscriptionSegment> segments = result->segments();
                for (auto& segment : segments) segment = TranscriptionUtilities::updateSegmentTimings(segment, offset);
                result->setSegments(std::move(segments));
                result->setSeekTime(offsetSeconds + result->seekTime().value_or(0.0f));
                all.push_back(result);
            }
            anyTranscribed = true;
            // Frees the loader's slot for the next piece.
            if (chunk->completionSignal) chunk->completionSignal();
        }
        // Stopped before anything was transcribed: there is nothing to keep.
        if (stop.stop_requested() && !anyTranscribed) throw halvex::CancellationError();
    } catch (...) {
        if (stateCallback) stateCallback(TranscriptionState::finished);
        throw;
    }
    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return a->seekTime().value_or(0.0f) < b->seekTime().value_or(0.0f);
    });
    if (stateCallback) stateCallback(TranscriptionState::finished);
    return all;
}

std::shared_ptr<VoiceActivityDetector> Murmex::chunkingDetector() const {
    if (auto detector = voiceActivityDetector()) return detector;
    return std::make_shared<EnergyVAD>();
}

}  // namespace murmex
