#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HalvexCore/Logging.h"
#include "HalvexCore/WeakSendableWrapper.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Decoding/TranscriptionUtilities.h"
#include "Murmex/Model/TaskGroup.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/Text/NumberText.h"

namespace murmex {

using halvex::Logging;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

Murmex::Outcome failure(const WhisperError& error) { return std::make_exception_ptr(error); }

// The largest worker count among the options; absent options count 0. A negative count (which
// callers are not to pass) counts as no limit, like 0, so that no input is left without an
// outcome.
std::size_t workerCount(const std::vector<std::optional<DecodingOptions>>& options) {
    std::int64_t count = 0;
    for (const auto& option : options) {
        if (option) count = std::max(count, option->concurrentWorkerCount);
    }
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

// Consecutive batches of input indices: all in one batch for a count of 0 (also when there
// are none), else batches of `count`.
std::vector<std::pair<std::size_t, std::size_t>> batches(std::size_t inputs, std::size_t count) {
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    if (count == 0) {
        ranges.emplace_back(0, inputs);
        return ranges;
    }
    for (std::size_t begin = 0; begin < inputs; begin += count)
        ranges.emplace_back(begin, std::min(inputs, begin + count));
    return ranges;
}

// Threads of one batch. A batch without a worker limit can be large; its inputs then share
// this many threads.
std::size_t batchThreads(std::size_t batchSize) {
    const std::size_t bound = std::max<std::size_t>(16, 2 * std::max(1u, std::thread::hardware_concurrency()));
    return std::min(batchSize, bound);
}

// Runs `work(pipeline, index)` for every input index, in consecutive batches of `workers`
// inputs (all in one batch for 0), each batch on threads of its own and finished before the
// next starts, and gives the outcomes in input order. Every child holds the facade weakly (a
// facade not owned by a shared pointer lives at least as long as this call); a child whose
// facade is gone fails with the deallocation error, a child that throws has its exception as
// its outcome.
template <class Work>
Murmex::Outcomes runInBatches(Murmex& facade, std::size_t inputs, std::size_t workers, const Work& work) {
    const std::weak_ptr<Murmex> weak = facade.weak_from_this();
    const bool shared = !weak.expired();
    const halvex::WeakSendableWrapper<Murmex> holder(weak.lock());

    Murmex::Outcomes outcomes;
    outcomes.reserve(inputs);
    for (const auto& [begin, end] : batches(inputs, workers)) {
        auto batch = TaskGroup::run<Murmex::Outcome>(
            end - begin, batchThreads(end - begin), [&](std::size_t place) -> Murmex::Outcome {
                std::shared_ptr<Murmex> self = shared ? holder.value() : nullptr;
                Murmex* pipeline = shared ? self.get() : &facade;
                if (pipeline == nullptr) {
                    return failure(
                        WhisperError::transcriptionFailed(std::string(WhisperErrorMessage::pipelineDeallocated)));
                }
                try {
                    return work(*pipeline, begin + place);
                } catch (...) {
                    return std::current_exception();
                }
            });
        for (auto& outcome : batch) outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

}  // namespace

Murmex::OptionalResults Murmex::transcribe(const std::vector<std::string>& audioPaths,
                                           const std::optional<AudioInputOptions>& audioInputOptions,
                                           const std::optional<DecodingOptions>& decodeOptions,
                                           const TranscriptionProgressCallback& callback, std::stop_token stop) {
    return toOptionalArrays(
        transcribeWithResults(audioPaths, audioInputOptions, decodeOptions, callback, std::move(stop)));
}

Murmex::OptionalResults Murmex::transcribe(const std::vector<std::vector<float>>& audioArrays,
                                           const std::optional<DecodingOptions>& decodeOptions,
                                           const TranscriptionProgressCallback& callback, std::stop_token stop) {
    return toOptionalArrays(transcribeWithResults(audioArrays, decodeOptions, callback, std::move(stop)));
}

Murmex::Outcomes Murmex::transcribeWithResults(const std::vector<std::vector<float>>& audioArrays,
                                               const std::optional<DecodingOptions>& decodeOptions,
                                               const TranscriptionProgressCallback& callback, std::stop_token stop) {
    const std::vector<std::optional<DecodingOptions>> options(audioArrays.size(), decodeOptions);
    return transcribeWithOptions(audioArrays, options, std::nullopt, callback, std::move(stop));
}

Murmex::Outcomes Murmex::transcribeWithOptions(const std::vector<std::vector<float>>& audioArrays,
                                               const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
                                               const std::optional<std::vector<std::int64_t>>& seekOffsets,
                                               const TranscriptionProgressCallback& callback, std::stop_token stop) {
    if (decodeOptionsArray.size() != audioArrays.size()) {
        return {failure(
            WhisperError::transcriptionFailed("The number of audio arrays and decoding options must be balanced."))};
    }
    if (seekOffsets && seekOffsets->size() != audioArrays.size()) {
        return {failure(
            WhisperError::transcriptionFailed("The number of audio arrays and seek offset indexes must be balanced."))};
    }

    return runInBatches(
        *this, audioArrays.size(), workerCount(decodeOptionsArray),
        [&](Murmex& pipeline, std::size_t index) -> Outcome {
            const TranscriptionProgressCallback progress =
                [callback, index](const TranscriptionProgress& report) -> std::optional<bool> {
                if (!callback) return std::nullopt;
                TranscriptionProgress numbered = report;
                numbered.windowId = static_cast<int>(index);
                return callback(numbered);
            };
            const SegmentDiscoveryCallback discovery = pipeline.segmentDiscoveryCallback();
            SegmentDiscoveryCallback segments = discovery;
            if (seekOffsets) {
                segments = [discovery, offset = (*seekOffsets)[index]](const std::vector<TranscriptionSegment>& found) {
                    if (!discovery) return;
                    std::vector<TranscriptionSegment> moved;
                    moved.reserve(found.size());
                    for (const auto& segment : found) {
                        moved.push_back(TranscriptionUtilities::updateSegmentTimings(segment, offset));
                    }
                    discovery(moved);
                };
            }
            return pipeline.transcribe(audioArrays[index], decodeOptionsArray[index], progress, segments, stop);
        });
}

Murmex::Outcomes Murmex::transcribeWithResults(const std::vector<std::string>& audioPaths,
                                               const std::optional<AudioInputOptions>& audioInputOptions,
                                               const std::optional<DecodingOptions>& decodeOptions,
                                               const TranscriptionProgressCallback& callback, std::stop_token stop) {
    const AudioInputOptions options = audioInputOptions ? *audioInputOptions : this->audioInputOptions();
    const auto stateCallback = transcriptionStateCallback();
    if (options.audioLoadingMode.isIncremental()) {
        return transcribeFilesIncrementally(audioPaths, options, decodeOptions, callback, std::move(stop));
    }

    if (stateCallback) stateCallback(TranscriptionState::convertingAudio);
    const auto loadStart = Clock::now();
    std::vector<AudioFileLoadResult> loads = AudioProcessor::loadAudio(audioPaths, options.channelMode);
    std::vector<std::vector<float>> loaded;
    for (auto& load : loads) {
        if (auto* samples = std::get_if<std::vector<float>>(&load)) loaded.push_back(std::move(*samples));
    }
    const double loadingTime = secondsSince(loadStart);
    mutableCurrentTimings().audioLoading = loadingTime;
    Logging::debug("Total Audio Loading and Converting Time: " +
                   platform::numbertext::shortestWithFraction(loadingTime));

    if (stateCallback) stateCallback(TranscriptionState::transcribing);
    Outcomes transcribed = transcribeWithResults(loaded, decodeOptions, callback, std::move(stop));

    Outcomes outcomes;
    outcomes.reserve(loads.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < loads.size(); ++i) {
        if (const auto* error = std::get_if<std::exception_ptr>(&loads[i])) {
            outcomes.emplace_back(*error);
        } else if (next < transcribed.size()) {
            outcomes.push_back(std::move(transcribed[next++]));
        } else {
            outcomes.push_back(
                failure(WhisperError::transcriptionFailed("No transcription outcome for " + audioPaths[i])));
        }
    }
    if (stateCallback) stateCallback(TranscriptionState::finished);
    return outcomes;
}

Murmex::Outcomes Murmex::transcribeFilesIncrementally(const std::vector<std::string>& audioPaths,
                                                      const AudioInputOptions& options,
                                                      const std::optional<DecodingOptions>& decodeOptions,
                                                      const TranscriptionProgressCallback& callback,
                                                      std::stop_token stop) {
    const auto stateCallback = transcriptionStateCallback();
    if (stateCallback) stateCallback(TranscriptionState::transcribing);
    const auto start = Clock::now();

    const int maxChunkLength = static_cast<int>(windowLength());
    Outcomes outcomes = runInBatches(
        *this, audioPaths.size(), workerCount({decodeOptions}), [&](Murmex& pipeline, std::size_t index) -> Outcome {
            auto stream = AudioProcessor::loadFileIncrementally(
                audioPaths[index], options.channelMode, options.audioLoadingMode.chunkDurationSeconds(),
                options.audioLoadingMode.maxBufferedChunks(), maxChunkLength, pipeline.chunkingDetector());
            return pipeline.transcribeFileStream(std::move(stream), decodeOptions, callback, false, stop);
        });

    const double elapsed = secondsSince(start);
    mutableCurrentTimings().audioProcessing = elapsed;
    Logging::debug("Total Audio Streaming and Transcription Time: " +
                   platform::numbertext::shortestWithFraction(elapsed));
    if (stateCallback) stateCallback(TranscriptionState::finished);
    return outcomes;
}

}  // namespace murmex
