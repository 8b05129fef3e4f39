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
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Audio/TaskCancellation.h"
#include "Murmex/Audio/VADAudioChunker.h"
#include "Murmex/Decoding/TranscriptionUtilities.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Murmex/Pipeline/MurmexTranscribeTask.h"
#include "Platform/Text/NumberText.h"

namespace murmex {

using halvex::Logging;
using halvex::ModelState;

namespace {

// Moves segments found in a stretch of samples to their place in the longer audio that the
// stretch begins at `offset` of.
std::vector<TranscriptionSegment> movedSegments(const std::vector<TranscriptionSegment>& segments,
                                                std::int64_t offset) {
    std::vector<TranscriptionSegment> moved;
    moved.reserve(segments.size());
    for (const auto& segment : segments) moved.push_back(TranscriptionUtilities::updateSegmentTimings(segment, offset));
    return moved;
}

}  // namespace

Murmex::Results Murmex::transcribe(const std::string& audioPath,
                                   const std::optional<AudioInputOptions>& audioInputOptions,
                                   const std::optional<DecodingOptions>& decodeOptions,
                                   const TranscriptionProgressCallback& callback, std::stop_token stop) {
    const AudioInputOptions options = audioInputOptions ? *audioInputOptions : this->audioInputOptions();
    if (options.audioLoadingMode.isIncremental()) {
        return transcribeIncrementally(audioPath, options, decodeOptions, callback, std::move(stop));
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
    Logging::debug("Audio loading and convert time: " + platform::numbertext::shortestWithFraction(loadingTime));
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
    Results results;
    if (static_cast<std::int64_t>(audioArray.size()) > windowLength() && decodeOptions &&
        decodeOptions->chunkingStrategy == ChunkingStrategy::vad) {
        results = transcribeChunked(audioArray, audioArrayOffset, *decodeOptions, callback, std::move(stop));
    } else {
        SegmentDiscoveryCallback receiver = segmentCallback ? segmentCallback : segmentDiscoveryCallback();
        if (audioArrayOffset > 0 && receiver) {
            receiver = [inner = std::move(receiver),
                        audioArrayOffset](const std::vector<TranscriptionSegment>& segments) {
                inner(movedSegments(segments, audioArrayOffset));
            };
        }
        results = runTranscribeTask(audioArray, decodeOptions, callback, receiver, std::move(stop));
    }

    if (decodeOptions && decodeOptions->verbose) {
        Logging::info("Total Transcription Results: " + std::to_string(results.size()));
        for (std::size_t i = 0; i < results.size(); ++i) {
            Logging::debug("[Result " + std::to_string(i) + "]");
            results[i]->logSegments();
        }
    }
    return results;
}

Murmex::Results Murmex::transcribeChunked(const std::vector<float>& audioArray, std::int64_t audioArrayOffset,
                                          const DecodingOptions& decodeOptions,
                                          const TranscriptionProgressCallback& callback, std::stop_token stop) {
    VADAudioChunker chunker(VADAudioChunker::standardWindowPadding, chunkingDetector());
    std::vector<AudioChunk> chunks = chunker.chunkAll(audioArray, static_cast<int>(windowLength()), decodeOptions);
    Logging::debug("Found " + std::to_string(chunks.size()) + " VAD chunks");
    if (const auto current = progress(); current->totalUnitCount() < static_cast<std::int64_t>(chunks.size())) {
        current->setTotalUnitCount(static_cast<std::int64_t>(chunks.size()));
    }

    // The chunker has applied the clip ranges already.
    DecodingOptions chunkOptions = decodeOptions;
    chunkOptions.clipTimestamps.clear();
    std::vector<std::vector<float>> arrays;
    std::vector<std::int64_t> seekOffsets;
    arrays.reserve(chunks.size());
    seekOffsets.reserve(chunks.size());
    for (auto& chunk : chunks) {
        arrays.push_back(std::move(chunk.audioSamples));
        seekOffsets.push_back(audioArrayOffset + chunk.seekOffsetIndex);
    }
    const Outcomes outcomes = transcribeWithOptions(
        arrays, std::vector<std::optional<DecodingOptions>>(arrays.size(), chunkOptions), seekOffsets, callback, stop);

    // A run in which no chunk could be transcribed is no success: its error (the cancellation
    // of a run stopped before any chunk began) reaches the caller. Failed chunks among good
    // ones are left out; after a stop the chunks transcribed until then are kept.
    std::exception_ptr firstFailure;
    bool anySuccess = false;
    for (const auto& outcome : outcomes) {
        if (const auto* error = std::get_if<std::exception_ptr>(&outcome)) {
            if (!firstFailure) firstFailure = *error;
        } else {
            anySuccess = true;
        }
    }
    if (firstFailure && !anySuccess) std::rethrow_exception(firstFailure);
    return chunker.updateSeekOffsetsForResults(outcomes, chunks);
}

std::shared_ptr<TranscribeTask> Murmex::setupTranscribeTask(
    const TranscriptionTimings& currentTimings, const std::shared_ptr<halvex::Progress>& progress,
    const std::shared_ptr<AudioProcessing>& audioProcessor, const std::shared_ptr<AudioEncoding>& audioEncoder,
    const std::shared_ptr<FeatureExtracting>& featureExtractor, const std::shared_ptr<SegmentSeeking>& segmentSeeker,
    const std::shared_ptr<TextDecoding>& textDecoder, const std::shared_ptr<WhisperTokenizer>& tokenizer) {
    return std::make_shared<MurmexTranscribeTask>(currentTimings, progress, audioProcessor, audioEncoder,
                                                  featureExtractor, segmentSeeker, textDecoder, tokenizer);
}

Murmex::Results Murmex::runTranscribeTask(const std::vector<float>& audioArray,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const TranscriptionProgressCallback& callback,
                                          const SegmentDiscoveryCallback& segmentCallback, std::stop_token stop) {
    loadModelsIfNeeded();
    if (!tokenizer()) throw WhisperError::tokenizerUnavailable();

    // The stages check the same request through the current task's cancellation.
    std::optional<TaskCancellation::Scope> scope;
    if (stop.stop_possible()) scope.emplace(stop);

    try {
        if (stop.stop_requested()) throw halvex::CancellationError();
        TaskCancellation::checkCancellation();

        auto parent = progress();
        if (parent->totalUnitCount() < 1) parent->setTotalUnitCount(1);
        // The task sets the child's total to the samples of its seek clips.
        const auto child = parent->addChild(0, 1);

        auto task = setupTranscribeTask(currentTimings(), child, audioProcessor(), audioEncoder(), featureExtractor(),
                                        segmentSeeker(), textDecoder(), tokenizer());
        task->setSegmentDiscoveryCallback(segmentCallback);
        auto result = task->run(audioArray, decodeOptions, callback, stop);

        if (decodeOptions && decodeOptions->verbose) result->logTimings();
        // A run that was stopped leaves its child unfinished; the next run starts afresh.
        const bool stopped = stop.stop_requested() || TaskCancellation::isCancelled();
        if (const auto current = progress(); stopped || current->isFinished()) renewProgress(current);
        return {result};
    } catch (const halvex::CancellationError&) {
        renewProgress(progress());
        throw;
    }
}

void Murmex::loadModelsIfNeeded() {
    std::lock_guard lock(onDemandLoadMutex_);
    if (modelState() != ModelState::loaded) loadModels(false);
}

void Murmex::renewProgress(const std::shared_ptr<halvex::Progress>& replaced) {
    std::lock_guard lock(progressMutex_);
    if (progress_ == replaced) progress_ = std::make_shared<halvex::Progress>();
}

}  // namespace murmex
