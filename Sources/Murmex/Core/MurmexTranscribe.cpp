#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/Logging.h"
#include "Murmex/Core/Audio/AudioProcessor.h"
#include "Murmex/Core/Audio/TaskCancellation.h"
#include "Murmex/Core/Constants.h"
#include "Murmex/Core/Murmex.h"
#include "Murmex/Core/MurmexTranscribeTask.h"
#include "Murmex/Utilities/WhisperError.h"

namespace murmex {

using halvex::Logging;
using halvex::ModelState;

namespace {

// Moves segments found in a stretch of samples to their place in the longer audio that the
// stretch begins at `offset` of.
std::vector<TranscriptionSegment> movedSegments(std::vector<TranscriptionSegment> segments, std::int64_t offset) {
    const float seconds = static_cast<float>(static_cast<double>(offset) / 16000.0);
    for (auto& segment : segments) {
        segment.seek += offset;
        segment.start += seconds;
        segment.end += seconds;
        if (segment.words) {
            for (auto& word : *segment.words) {
                word.start += seconds;
                word.end += seconds;
            }
        }
    }
    return segments;
}

// Sets the total of a progress object whose type lets it be written; false otherwise.
template <class P>
bool setTotalUnitCountWherePossible(P& progress, std::int64_t total) {
    if constexpr (requires { progress.setTotalUnitCount(total); }) {
        progress.setTotalUnitCount(total);
        return true;
    } else {
        (void)progress;
        (void)total;
        return false;
    }
}

}  // namespace

Murmex::Results Murmex::transcribe(const std::string& audioPath,
                                   const std::optional<AudioInputOptions>& audioInputOptions,
                                   const std::optional<DecodingOptions>& decodeOptions,
                                   const TranscriptionProgressCallback& callback, std::stop_token stop) {
    const AudioInputOptions options = audioInputOptions ? *audioInputOptions : this->audioInputOptions();
    if (options.audioLoadingMode.isIncremental()) {
        throw WhisperError::transcriptionFailed(
            "Incremental audio loading is not available; use the full-file loading mode");
    }

    const auto stateCallback = transcriptionStateCallback();
    if (stateCallback) stateCallback(TranscriptionState::convertingAudio);

    std::vector<float> samples;
    const auto loadStart = std::chrono::steady_clock::now();
    try {
        samples = AudioProcessor::loadAudioAsFloatArray(audioPath, options.channelMode, 0.0, std::nullopt);
    } catch (...) {
        mutableCurrentTimings().audioLoading =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
        throw;
    }
    const double loadingTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
    mutableCurrentTimings().audioLoading = loadingTime;
    Logging::debug("Audio loading and convert time: " + halvex::logging_detail::floatingText(loadingTime, false));
    Logging::logCurrentMemoryUsage("Audio Loading and Convert");

    if (stateCallback) stateCallback(TranscriptionState::transcribing);
    Results results;
    try {
        results = transcribe(samples, decodeOptions, callback, nullptr, std::move(stop));
    } catch (...) {
        if (stateCallback) stateCallback(TranscriptionState::finished);
        throw;
    }
    if (stateCallback) stateCallback(TranscriptionState::finished);
    return results;
}

Murmex::Results Murmex::transcribe(const std::vector<float>& audioArray,
                                   const std::optional<DecodingOptions>& decodeOptions,
                                   const TranscriptionProgressCallback& callback,
                                   const SegmentDiscoveryCallback& segmentCallback, std::stop_token stop) {
    return transcribe(audioArray, 0, decodeOptions, callback, segmentCallback, std::move(stop));
}

Murmex::Results Murmex::transcribe(const std::vector<float>& audioArray, std::int64_t audioArrayOffset,
                                   const std::optional<DecodingOptions>& decodeOptions,
                                   const TranscriptionProgressCallback& callback,
                                   const SegmentDiscoveryCallback& segmentCallback, std::stop_token stop) {
    const auto extractor = featureExtractor();
    const std::optional<int> reported = extractor ? extractor->windowSamples() : std::nullopt;
    const std::int64_t windowLength = reported.value_or(Constants::defaultWindowSamples);

    if (static_cast<std::int64_t>(audioArray.size()) > windowLength && decodeOptions &&
        decodeOptions->chunkingStrategy == ChunkingStrategy::vad) {
        throw WhisperError::transcriptionFailed(
            "Voice-activity chunking is not available; transcribe without a chunking strategy");
    }

    SegmentDiscoveryCallback receiver = segmentCallback ? segmentCallback : segmentDiscoveryCallback();
    if (audioArrayOffset > 0 && receiver) {
        receiver = [inner = std::move(receiver), audioArrayOffset](const std::vector<TranscriptionSegment>& segments) {
            inner(movedSegments(segments, audioArrayOffset));
        };
    }
    Results results = runTranscribeTask(audioArray, decodeOptions, callback, receiver, std::move(stop));

    if (decodeOptions && decodeOptions->verbose) {
        Logging::info("Total Transcription Results: " + std::to_string(results.size()));
        for (std::size_t i = 0; i < results.size(); ++i) {
            Logging::debug("[Result " + std::to_string(i) + "]");
            results[i]->logSegments();
        }
    }
    return results;
}

std::shared_ptr<TranscribeTask> Murmex::setupTranscribeTask(
    const TranscriptionTimings& currentTimings, const std::shared_ptr<halvex::Progress>& progress,
    const std::shared_ptr<AudioProcessing>& audioProcessor, const std::shared_ptr<AudioEncoding>& audioEncoder,
    const std::shared_ptr<FeatureExtracting>& featureExtractor, const std::shared_ptr<SegmentSeeking>& segmentSeeker,
    const std::shared_ptr<TextDecoding>& textDecoder, const std::shared_ptr<WhisperTokenizer>& tokenizer) {
    return std::make_shared<MurmexTranscribeTask>(currentTimings, progress, audioProcessor, audioEncoder, featureExtractor,
                                            segmentSeeker, textDecoder, tokenizer);
}

Murmex::Results Murmex::runTranscribeTask(const std::vector<float>& audioArray,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const TranscriptionProgressCallback& callback,
                                          const SegmentDiscoveryCallback& segmentCallback, std::stop_token stop) {
    if (modelState() != ModelState::loaded) loadModels(false);
    if (!tokenizer()) throw WhisperError::tokenizerUnavailable();

    // The stages check the same request through the current task's cancellation.
    std::optional<TaskCancellation::Scope> scope;
    if (stop.stop_possible()) scope.emplace(stop);

    try {
        if (stop.stop_requested()) throw halvex::CancellationError();
        TaskCancellation::checkCancellation();

        auto parent = progress();
        if (parent->totalUnitCount() < 1) raiseTotalUnitCount(parent, 1);
        // The child counts samples; its total is the samples' count until the task, where the
        // progress type lets it, sets the total of its seek clips.
        const auto child =
            parent->addChild(std::max<std::int64_t>(static_cast<std::int64_t>(audioArray.size()), 1), 1);

        auto task = setupTranscribeTask(currentTimings(), child, audioProcessor(), audioEncoder(), featureExtractor(),
                                        segmentSeeker(), textDecoder(), tokenizer());
        task->setSegmentDiscoveryCallback(segmentCallback);
        auto result = task->run(audioArray, decodeOptions, callback, stop);

        if (decodeOptions && decodeOptions->verbose) result->logTimings();
        const auto current = progress();
        if (current->totalUnitCount() > 0 && current->completedUnitCount() >= current->totalUnitCount())
            setProgress(std::make_shared<halvex::Progress>());
        return {result};
    } catch (const halvex::CancellationError&) {
        setProgress(std::make_shared<halvex::Progress>());
        throw;
    }
}

void Murmex::raiseTotalUnitCount(std::shared_ptr<halvex::Progress>& progress, std::int64_t total) {
    if (!setTotalUnitCountWherePossible(*progress, total)) {
        // This progress type fixes its total at creation. A progress object whose total is
        // raised has no children yet (each child comes with a raised total), so a new one with
        // the same completed count stands for it unchanged.
        auto raised = std::make_shared<halvex::Progress>(total);
        raised->setCompletedUnitCount(progress->completedUnitCount());
        setProgress(raised);
        progress = std::move(raised);
    }
}

}  // namespace murmex
