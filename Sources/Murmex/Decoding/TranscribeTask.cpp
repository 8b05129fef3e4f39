#include "Murmex/Decoding/TranscribeTask.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/Logging.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Audio/TaskCancellation.h"
#include "Murmex/Decoding/DecodingTextFormat.h"
#include "Murmex/Decoding/TextDecoder.h"
#include "Murmex/Decoding/TokenSamplers.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/LoggingCategories.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/AudioWindow.h"

namespace murmex {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int sampleRate = platform::audiowindow::sampleRate;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool debugEnabled() { return halvex::Logging::isLoggingEnabled(halvex::Logging::LogLevel::debug); }

// The run's stop request is installed as the thread's task cancellation, so the stages and
// the decoder see it too.
void checkCancellation() { TaskCancellation::checkCancellation(); }

// Samples for seconds × the sample rate, computed in single precision and truncated toward zero, or no
// value when that is not a finite number in the integer range.
std::optional<std::int64_t> samplesOf(float seconds) {
    const float samples = seconds * static_cast<float>(sampleRate);
    if (!std::isfinite(samples) || samples >= 0x1p62f || samples <= -0x1p62f) return std::nullopt;
    return static_cast<std::int64_t>(samples);
}

// The alignment rows from the start-of-transcript position on: the decoder writes the rows by
// position in the whole token sequence, a previous-text prompt included, while the segments
// count their tokens from the start-of-transcript token.
platform::MultiArray alignmentFromTranscriptStart(const platform::MultiArray& weights, const std::vector<int>& prompt,
                                                  int startOfTranscriptToken) {
    const auto found = std::find(prompt.begin(), prompt.end(), startOfTranscriptToken);
    const auto offset = found == prompt.end() ? 0 : static_cast<int>(found - prompt.begin());
    const auto& shape = weights.shape();
    if (offset == 0 || shape.size() != 2 || offset >= shape[0]) return weights;
    auto owner = std::make_shared<platform::MultiArray>(weights);
    auto* first = static_cast<char*>(weights.dataPointer()) +
                  static_cast<std::ptrdiff_t>(offset) * weights.strides()[0] *
                      static_cast<std::ptrdiff_t>(platform::elementSize(weights.dataType()));
    return platform::MultiArray::wrapping(std::shared_ptr<void>(owner, owner.get()), first,
                                          {shape[0] - offset, shape[1]}, weights.dataType(), weights.strides());
}

// Times past the window's real audio belong to the zero padding after the end of the audio or
// of its clip: a segment or word there ends where the audio ends. A segment that reaches past
// the end and would no longer start before it ends lies wholly in the padding: it is dropped,
// with its tokens. (A segment the seeker made with equal start and end, within the audio, stays.)
void clampToAudioEnd(std::vector<TranscriptionSegment>& segments, float audioEnd) {
    std::erase_if(segments, [audioEnd](const TranscriptionSegment& segment) {
        return segment.end > audioEnd && !(segment.start < audioEnd);
    });
    for (auto& segment : segments) {
        segment.start = std::min(segment.start, audioEnd);
        segment.end = std::min(segment.end, audioEnd);
        if (!segment.words) continue;
        for (auto& word : *segment.words) {
            word.start = std::min(word.start, audioEnd);
            word.end = std::min(word.end, audioEnd);
        }
    }
}

}  // namespace

TranscribeTask::TranscribeTask(const TranscriptionTimings& currentTimings, std::shared_ptr<halvex::Progress> progress,
                               std::shared_ptr<AudioProcessing> audioProcessor,
                               std::shared_ptr<AudioEncoding> audioEncoder,
                               std::shared_ptr<FeatureExtracting> featureExtractor,
                               std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
                               std::shared_ptr<WhisperTokenizer> tokenizer)
    : timings_(currentTimings),
      progress_(progress ? std::move(progress) : std::make_shared<halvex::Progress>()),
      audioEncoder_(std::move(audioEncoder)),
      featureExtractor_(std::move(featureExtractor)),
      segmentSeeker_(std::move(segmentSeeker)),
      textDecoder_(std::move(textDecoder)),
      audioProcessor_(audioProcessor ? std::move(audioProcessor) : std::make_shared<AudioProcessor>()),
      tokenizer_(std::move(tokenizer)) {}

void TranscribeTask::windowPreprocess(const std::shared_ptr<AudioProcessorOutputType>&, std::int64_t, std::int64_t) {}

std::vector<TranscriptionSegment> TranscribeTask::windowPostProcess(
    std::int64_t, std::int64_t, std::vector<TranscriptionSegment> originalSegments) {
    return originalSegments;
}

std::vector<platform::Float16> TranscribeTask::fallbackTemperatures(float temperature, float increment,
                                                                    std::int64_t fallbackCount) {
    const platform::Float16 base(temperature);
    const platform::Float16 step(increment);
    if (!base.isFinite() || temperature < 0) {
        throw WhisperError::transcriptionFailed("temperature " + decodingtext::shortestDescription(temperature) +
                                                " must be a finite number of at least 0");
    }
    if (!step.isFinite()) {
        throw WhisperError::transcriptionFailed("temperatureIncrementOnFallback " +
                                                decodingtext::shortestDescription(increment) +
                                                " must be a finite number");
    }
    // The index runs in 64 bits, so the largest count cannot overflow it, and every temperature
    // is checked as it is made: the list stops at the first one that is not a usable
    // temperature. Float16(i) is infinite from 65520 on, so no list ever grows past that.
    std::vector<platform::Float16> temperatures;
    for (std::int64_t i = 0; i <= fallbackCount; ++i) {
        const platform::Float16 value = base + platform::Float16(static_cast<double>(i)) * step;
        if (!value.isFinite() || value.floatValue() < 0) {
            throw WhisperError::transcriptionFailed(
                "temperatureFallbackCount " + std::to_string(fallbackCount) + " with temperatureIncrementOnFallback " +
                decodingtext::shortestDescription(increment) + " reaches the temperature " +
                decodingtext::halfDescription(value) + " at fallback " + std::to_string(i) +
                ", which is not a finite number of at least 0");
        }
        temperatures.push_back(value);
    }
    return temperatures;
}

std::string TranscribeTask::promptText(const std::vector<int>& prompt) const {
    std::string text = "[";
    for (std::size_t i = 0; i < prompt.size(); ++i) {
        if (i > 0) text += ", ";
        text.append("\"").append(tokenizer_->convertIdToToken(prompt[i]).value_or("")).append("\"");
    }
    return text + "]";
}

// The state of one run, shared by its steps.
struct TranscribeTask::Run {
    Run(const std::vector<float>& audioArray, const TranscriptionProgressCallback& callback, DecodingOptions options)
        : audioArray(audioArray),
          callback(callback),
          options(std::move(options)),
          windowClipSamples(samplesOf(this->options.windowClipTime).value_or(0)),
          contentFrames(static_cast<std::int64_t>(audioArray.size())) {}

    const std::vector<float>& audioArray;
    const TranscriptionProgressCallback& callback;
    DecodingOptions options;
    // No window starts this close to the end of its clip.
    std::int64_t windowClipSamples;
    std::int64_t contentFrames;
    std::optional<std::string> detectedLanguage;
    std::vector<TranscriptionSegment> allSegments;
    std::vector<int> allTokens;
    std::shared_ptr<DecodingInputsType> decoderInputs;
    std::vector<std::pair<std::int64_t, std::int64_t>> seekClips;
    std::int64_t totalUnits = 0;
    double loopStart = 0;
    std::int64_t windowSamples = 0;
    // Windows in the order they are decoded, whatever retries they needed.
    int windowIndex = 0;
    std::string prependPunctuations{Constants::defaultPrependPunctuations};
    std::string appendPunctuations{Constants::defaultAppendPunctuations};
};

// One seek clip, and the progress the run had reached before it.
struct TranscribeTask::Clip {
    std::int64_t start;
    std::int64_t end;
    std::int64_t previousCompleted;
};

// One window: its first sample, its number of real samples, and what its decoding found.
struct TranscribeTask::Window {
    const Clip& clip;
    std::int64_t seek;
    std::int64_t segmentSize;
    // Absent when the window was judged silent.
    std::optional<std::vector<TranscriptionSegment>> segments{};
    std::int64_t nextSeek = 0;
    Clock::time_point windowingStart{};
};

namespace {

// The run's options: the given ones or the defaults, with `verbose` following the log level.
// Options that would make the window loop stand still or compute nonsense are refused.
DecodingOptions runOptions(const std::optional<DecodingOptions>& decodeOptions) {
    DecodingOptions options = decodeOptions.value_or(DecodingOptions());
    options.verbose = halvex::Logging::isLoggingEnabled();
    if (options.maxWindowSeek && *options.maxWindowSeek <= 0) {
        throw WhisperError::transcriptionFailed("maxWindowSeek must be greater than 0, not " +
                                                std::to_string(*options.maxWindowSeek));
    }
    if (!samplesOf(options.windowClipTime)) {
        throw WhisperError::transcriptionFailed(
            "windowClipTime " + decodingtext::shortestDescription(options.windowClipTime) + " is not a valid time");
    }
    for (float clip : options.clipTimestamps) {
        if (!samplesOf(clip)) {
            throw WhisperError::transcriptionFailed("clipTimestamps value " + decodingtext::shortestDescription(clip) +
                                                    " is not a valid time");
        }
    }
    if (options.temperatureFallbackCount < 0) throw WhisperError::decodingFailed("Decoding failed");
    options.requireUsableTokenIds();
    return options;
}

void logSeekClips(const std::vector<std::pair<std::int64_t, std::int64_t>>& seekClips) {
    std::string text = "[";
    for (std::size_t i = 0; i < seekClips.size(); ++i) {
        if (i > 0) text += ", ";
        text += "(start: " + std::to_string(seekClips[i].first) + ", end: " + std::to_string(seekClips[i].second) + ")";
    }
    halvex::Logging::debug("Decoding seek clips: " + text + "]");
}

void logWordTimings(const std::vector<TranscriptionSegment>& segments) {
    halvex::Logging::debug("Word timestamps:");
    for (const auto& segment : segments) {
        for (const auto& word : segment.words.value_or(std::vector<WordTiming>{})) {
            std::string line = "[";
            line.append(decodingtext::threeSignificantDigits(word.start)).append(" -> ");
            line.append(decodingtext::threeSignificantDigits(word.end)).append("] prob: ");
            line.append(decodingtext::shortestDescription(word.probability));
            line.append(", word: ").append(word.word);
            halvex::Logging::debug(line);
        }
    }
}

void logWindowSegments(const std::vector<TranscriptionSegment>& segments) {
    halvex::Logging::debug("Segments for window:");
    for (const auto& segment : segments) {
        std::string line = "[";
        line.append(decodingtext::twoDecimals(segment.start)).append(" --> ");
        line.append(decodingtext::twoDecimals(segment.end)).append("] ").append(segment.text);
        halvex::Logging::debug(line);
    }
}

// The decoder runs progress callbacks on a thread of its own; the run, however it ends, returns
// only once the callbacks it reported have run, for they may use what the caller frees after
// the call.
struct ProgressCallbacksFinished {
    TextDecoding* decoder;
    ~ProgressCallbacksFinished() {
        if (auto* ownDecoder = dynamic_cast<TextDecoder*>(decoder)) ownDecoder->waitForProgressCallbacks();
    }
};

}  // namespace

std::shared_ptr<TranscriptionResult> TranscribeTask::run(const std::vector<float>& audioArray,
                                                         const std::optional<DecodingOptions>& decodeOptions,
                                                         const TranscriptionProgressCallback& callback,
                                                         std::stop_token stop) {
    const SignpostInterval interval(Logging::TranscribeTask::signposter(), "TranscribeAudio");
    const ProgressCallbacksFinished progressCallbacksFinished{textDecoder_.get()};
    std::optional<TaskCancellation::Scope> cancellation;
    if (stop.stop_possible()) cancellation.emplace(stop);

    Run run = startRun(audioArray, decodeOptions, callback);
    for (const auto& [clipStart, clipEnd] : run.seekClips) transcribeClip(run, clipStart, clipEnd);
    return finishRun(run);
}

TranscribeTask::Run TranscribeTask::startRun(const std::vector<float>& audioArray,
                                             const std::optional<DecodingOptions>& decodeOptions,
                                             const TranscriptionProgressCallback& callback) {
    timings_.pipelineStart = std::min(timings_.pipelineStart, absoluteTimeNow());
    halvex::Logging::debug("Starting pipeline at: " + decodingtext::currentDateText());

    Run run(audioArray, callback, runOptions(decodeOptions));
    timings_.inputAudioSeconds =
        static_cast<double>(run.contentFrames) / sampleRate -
        (run.options.clipTimestamps.empty() ? 0.0 : static_cast<double>(run.options.clipTimestamps.front()));
    prepareDecoderInputs(run);
    prepareSeekClips(run);
    run.loopStart = absoluteTimeNow();
    run.windowSamples = featureExtractor_->windowSamples().value_or(Constants::defaultWindowSamples);
    return run;
}

void TranscribeTask::prepareDecoderInputs(Run& run) {
    const auto initStart = Clock::now();
    run.decoderInputs = textDecoder_->prepareDecoderInputs({tokenizer_->specialTokens().startOfTranscriptToken});
    timings_.decodingInit = secondsSince(initStart);
    halvex::Logging::debug("Decoder init time: " + decodingtext::shortestDescription(timings_.decodingInit));

    if (run.options.usePrefillPrompt) {
        run.decoderInputs = textDecoder_->prefillDecoderInputs(run.decoderInputs, run.options);
    }
    if (debugEnabled()) halvex::Logging::debug("Prefill prompt: " + promptText(run.decoderInputs->initialPrompt()));
}

void TranscribeTask::prepareSeekClips(Run& run) {
    run.seekClips = run.options.prepareSeekClips(run.contentFrames);
    // A clip that reaches past the samples ends with them.
    for (auto& clip : run.seekClips) clip.second = std::min(clip.second, run.contentFrames);
    if (debugEnabled()) logSeekClips(run.seekClips);
    for (const auto& [start, end] : run.seekClips) run.totalUnits += end - start;
    progress_->setTotalUnitCount(run.totalUnits);
}

void TranscribeTask::transcribeClip(Run& run, std::int64_t clipStart, std::int64_t clipEnd) {
    const Clip clip{clipStart, clipEnd, progress_->completedUnitCount()};
    const std::int64_t clipLimit = clipEnd - run.windowClipSamples;
    std::int64_t seek = clipStart;
    while (seek < clipLimit) {
        const std::int64_t segmentSize = std::min({clipEnd - seek, run.contentFrames - seek, run.windowSamples});
        if (segmentSize <= 0) break;  // nothing left of the samples in this clip
        Window window{clip, seek, segmentSize};
        transcribeWindow(run, window);
        seek = window.nextSeek;
    }
}

void TranscribeTask::transcribeWindow(Run& run, Window& window) {
    if (debugEnabled()) logWindow(window);
    const auto padded = prepareWindowAudio(run, window);
    const auto features = extractFeatures(padded);
    const auto encoderOutput = encodeWindow(features);
    const DecodingResult result = decodeWindow(run, window, encoderOutput);
    if (stoppedWithoutText(result)) {
        // Stopped before the window's first word: nothing of it is kept, least of all an empty
        // segment over the rest of the window. The next window's check ends the run.
        run.decoderInputs->reset(Constants::maxTokenContext);
        window.nextSeek = window.seek + window.segmentSize;
        return;
    }
    findSegments(run, window, result);
    addWordTimings(run, window, result);
    if (window.segments) {
        clampToAudioEnd(*window.segments, static_cast<float>(window.seek + window.segmentSize) / sampleRate);
    }
    limitSeek(run, window);
    if (window.segments) {
        deliverSegments(run, window);
    } else {
        // A window judged silent leaves no segments, but its decoding state must not carry over
        // into the next window.
        run.decoderInputs->reset(Constants::maxTokenContext);
    }
}

bool TranscribeTask::stoppedWithoutText(const DecodingResult& result) const {
    if (!TaskCancellation::isCancelled()) return false;
    const int specialTokenBegin = tokenizer_->specialTokens().specialTokenBegin;
    return std::none_of(result.tokens.begin(), result.tokens.end(),
                        [specialTokenBegin](int token) { return token < specialTokenBegin; });
}

void TranscribeTask::logWindow(const Window& window) {
    const float seekSeconds = static_cast<float>(window.seek) / sampleRate;
    const float endSeconds = static_cast<float>(window.seek + window.segmentSize) / sampleRate;
    halvex::Logging::debug("Decoding Seek: " + std::to_string(window.seek) + " (" +
                           decodingtext::twoDecimals(seekSeconds) + "s)");
    halvex::Logging::debug("Decoding Window Size: " + std::to_string(window.segmentSize) + " (" +
                           decodingtext::twoDecimals(endSeconds - seekSeconds) + "s)");
}

std::shared_ptr<AudioProcessorOutputType> TranscribeTask::prepareWindowAudio(Run& run, const Window& window) {
    const auto audioStart = Clock::now();
    const auto first = run.audioArray.begin() + window.seek;
    windowBuffer_.assign(first, first + window.segmentSize);
    auto padded = audioProcessor_->padOrTrim(windowBuffer_, 0, run.windowSamples);
    if (!padded) throw WhisperError::transcriptionFailed(std::string(WhisperErrorMessage::audioSamplesNil));
    windowPreprocess(padded, window.seek, window.segmentSize);
    timings_.audioProcessing += secondsSince(audioStart);
    timings_.totalAudioProcessingRuns += 1;
    return padded;
}

std::shared_ptr<FeatureExtractorOutputType> TranscribeTask::extractFeatures(
    const std::shared_ptr<AudioProcessorOutputType>& padded) {
    checkCancellation();
    const auto melStart = Clock::now();
    auto features = featureExtractor_->logMelSpectrogram(padded);
    if (!features) throw WhisperError::transcriptionFailed(std::string(WhisperErrorMessage::melOutputNil));
    timings_.logmels += secondsSince(melStart);
    timings_.totalLogmelRuns += 1;
    return features;
}

std::shared_ptr<AudioEncoderOutputType> TranscribeTask::encodeWindow(
    const std::shared_ptr<FeatureExtractorOutputType>& features) {
    checkCancellation();
    const auto encoderStart = Clock::now();
    auto encoderOutput = audioEncoder_->encodeFeatures(features);
    if (!encoderOutput) throw WhisperError::transcriptionFailed(std::string(WhisperErrorMessage::encoderOutputNil));
    timings_.encoding += secondsSince(encoderStart);
    timings_.totalEncodingRuns += 1;
    return encoderOutput;
}

DecodingResult TranscribeTask::decodeWindow(Run& run, const Window& window,
                                            const std::shared_ptr<AudioEncoderOutputType>& encoderOutput) {
    halvex::Logging::info(
        "Decoding " + decodingtext::twoDecimals(static_cast<float>(window.seek) / sampleRate) + "s - " +
        decodingtext::twoDecimals(static_cast<float>(window.seek + window.segmentSize) / sampleRate) + "s");
    const int windowId = run.windowIndex++;
    const TranscriptionProgressCallback windowCallback =
        [callback = run.callback, windowId](const TranscriptionProgress& progress) -> std::optional<bool> {
        if (!callback) return std::nullopt;
        TranscriptionProgress numbered = progress;
        numbered.windowId = windowId;
        return callback(numbered);
    };
    checkCancellation();
    return decodeWithFallback(encoderOutput, run.options, run.decoderInputs, run.detectedLanguage, windowCallback);
}

void TranscribeTask::findSegments(Run& run, Window& window, const DecodingResult& result) {
    window.windowingStart = Clock::now();
    const SpecialTokens& special = tokenizer_->specialTokens();
    auto [newSeek, segments] = segmentSeeker_->findSeekPointAndSegments(
        result, run.options, static_cast<int>(run.allSegments.size()), window.seek, window.segmentSize, sampleRate,
        special.timeTokenBegin, special.specialTokenBegin, *tokenizer_);
    window.segments = std::move(segments);
    window.nextSeek = std::max(window.seek, newSeek);
}

void TranscribeTask::addWordTimings(Run& run, Window& window, const DecodingResult& result) {
    if (!run.options.wordTimestamps || !result.cache || !result.cache->alignmentWeights) return;
    const auto wordStart = Clock::now();
    const platform::MultiArray alignment =
        alignmentFromTranscriptStart(*result.cache->alignmentWeights, run.decoderInputs->initialPrompt(),
                                     tokenizer_->specialTokens().startOfTranscriptToken);
    const auto lastSpeechTimestamp = static_cast<float>(static_cast<double>(window.seek) / sampleRate);
    auto withWords =
        segmentSeeker_->addWordTimestamps(window.segments.value_or(std::vector<TranscriptionSegment>{}), alignment,
                                          *tokenizer_, window.seek, window.segmentSize, run.prependPunctuations,
                                          run.appendPunctuations, lastSpeechTimestamp, run.options, timings_);
    timings_.decodingWordTimestamps += secondsSince(wordStart);
    timings_.totalTimestampAlignmentRuns += 1;

    if (!withWords) {
        window.segments.reset();
        return;
    }
    std::vector<TranscriptionSegment> kept;
    for (auto& segment : *withWords) {
        if (segment.start < segment.end) kept.push_back(std::move(segment));
    }
    if (!kept.empty()) {
        const auto endSample = samplesOf(kept.back().end);
        if (!endSample) {
            throw WhisperError::segmentingFailed("Word end time " + decodingtext::shortestDescription(kept.back().end) +
                                                 " is not a valid time");
        }
        window.nextSeek = std::max(window.nextSeek, *endSample);
    }
    if (run.options.verbose) logWordTimings(kept);
    window.segments = std::move(kept);
}

void TranscribeTask::limitSeek(const Run& run, Window& window) {
    const auto& maxWindowSeek = run.options.maxWindowSeek;
    // Compared as a distance, so that no bound can overflow the sum.
    if (maxWindowSeek && *maxWindowSeek < window.nextSeek - window.seek) window.nextSeek = window.seek + *maxWindowSeek;
    if (window.nextSeek <= window.seek) {
        // A seek point that does not advance would decode the same window forever.
        halvex::Logging::debug("Seek did not advance at " + std::to_string(window.seek) + "; moving on by " +
                               std::to_string(window.segmentSize) + " samples");
        window.nextSeek = window.seek + window.segmentSize;
        if (maxWindowSeek && *maxWindowSeek < window.nextSeek - window.seek)
            window.nextSeek = window.seek + *maxWindowSeek;
    }
}

void TranscribeTask::deliverSegments(Run& run, Window& window) {
    std::vector<TranscriptionSegment> segments =
        windowPostProcess(window.seek, window.segmentSize, std::move(*window.segments));
    if (run.options.verbose) logWindowSegments(segments);
    if (segmentDiscoveryCallback_) segmentDiscoveryCallback_(segments);
    for (auto& segment : segments) {
        run.allTokens.insert(run.allTokens.end(), segment.tokens.begin(), segment.tokens.end());
        run.allSegments.push_back(std::move(segment));
    }
    timings_.decodingWindowing += secondsSince(window.windowingStart);
    timings_.totalDecodingWindows += 1;
    run.decoderInputs->reset(Constants::maxTokenContext);
    const Clip& clip = window.clip;
    progress_->setCompletedUnitCount(clip.previousCompleted + std::min(window.nextSeek, clip.end) - clip.start);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::finishRun(Run& run) {
    progress_->setCompletedUnitCount(progress_->totalUnitCount() > 0 ? progress_->totalUnitCount() : run.totalUnits);
    const double end = absoluteTimeNow();
    timings_.decodingLoop = end - run.loopStart;
    timings_.fullPipeline = end - timings_.pipelineStart;
    return finalizeTranscriptionResult(run.allTokens, run.allSegments, run.detectedLanguage, timings_);
}

DecodingResult TranscribeTask::decodeWithFallback(const std::shared_ptr<AudioEncoderOutputType>& encoderSegment,
                                                  const DecodingOptions& decodingOptions,
                                                  std::shared_ptr<DecodingInputsType>& decoderInputs,
                                                  std::optional<std::string>& detectedLanguage,
                                                  const TranscriptionProgressCallback& callback) {
    const SignpostInterval interval(Logging::TranscribeTask::signposter(), "Decode");
    if (decodingOptions.temperatureFallbackCount < 0) throw WhisperError::decodingFailed("Decoding failed");
    const auto temperatures =
        fallbackTemperatures(decodingOptions.temperature, decodingOptions.temperatureIncrementOnFallback,
                             decodingOptions.temperatureFallbackCount);
    if (debugEnabled()) {
        std::string list = "[";
        for (std::size_t i = 0; i < temperatures.size(); ++i) {
            if (i > 0) list += ", ";
            list += decodingtext::halfDescription(temperatures[i]);
        }
        halvex::Logging::debug("Decoding with temperatures " + list + "]");
    }

    std::optional<DecodingResult> result;
    for (std::size_t i = 0; i < temperatures.size(); ++i) {
        // Once a stop was requested no further attempt starts: the last one stands.
        if (result && TaskCancellation::isCancelled()) {
            halvex::Logging::info("Stop requested; no further fallback");
            break;
        }
        const platform::Float16 temperature = temperatures[i];
        halvex::Logging::info("Decoding Temperature: " + decodingtext::halfDescription(temperature));
        const auto attemptStart = Clock::now();
        GreedyTokenSampler sampler(temperature, tokenizer_->specialTokens().endToken, decodingOptions);
        DecodingOptions attemptOptions = decodingOptions;

        if (textDecoder_->isModelMultilingual() && !decodingOptions.language && decodingOptions.detectLanguage) {
            std::optional<DecodingResult> detection;
            try {
                detection =
                    textDecoder_->detectLanguage(encoderSegment, decoderInputs, sampler, decodingOptions, temperature);
            } catch (const halvex::CancellationError&) {
                if (TaskCancellation::isCancelled()) throw;
            } catch (...) {
                // Decoding goes on without a language; the result's own language is used.
            }
            attemptOptions.language = detection ? std::optional(detection->language) : std::nullopt;
            detectedLanguage = attemptOptions.language;
            if (decodingOptions.usePrefillPrompt) {
                decoderInputs = textDecoder_->prefillDecoderInputs(decoderInputs, attemptOptions);
            }
            if (debugEnabled()) {
                halvex::Logging::debug("Prefill prompt updated to: " + promptText(decoderInputs->initialPrompt()));
            }
            if (detection && detection->timings) {
                timings_.decodingPredictions += detection->timings->decodingPredictions;
                timings_.decodingSampling += detection->timings->decodingSampling;
            }
        }

        result = textDecoder_->decodeText(encoderSegment, decoderInputs, sampler, attemptOptions, callback);
        if (!detectedLanguage) detectedLanguage = result->language;
        if (const auto& t = result->timings) {
            timings_.firstTokenTime = std::min(timings_.firstTokenTime, t->firstTokenTime);
            timings_.decodingPredictions += t->decodingPredictions;
            timings_.decodingFiltering += t->decodingFiltering;
            timings_.decodingSampling += t->decodingSampling;
            timings_.decodingKvCaching += t->decodingKvCaching;
            timings_.decodingNonPrediction += t->decodingNonPrediction;
            timings_.totalDecodingLoops += t->totalDecodingLoops;
            timings_.totalKVUpdateRuns += t->totalKVUpdateRuns;
        }
        if (result->fallback && result->fallback->needsFallback) {
            timings_.decodingFallback += secondsSince(attemptStart);
            timings_.totalDecodingFallbacks = static_cast<double>(i);
            decoderInputs->reset(Constants::maxTokenContext);
            std::string line = "Fallback #";
            line.append(std::to_string(i + 1)).append(" (").append(result->fallback->fallbackReason).append(")");
            halvex::Logging::info(line);
            continue;
        }
        break;
    }
    if (!result) throw WhisperError::decodingFailed("Decoding failed");
    return std::move(*result);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::finalizeTranscriptionResult(
    const std::vector<int>& tokens, const std::vector<TranscriptionSegment>& segments,
    const std::optional<std::string>& language, const TranscriptionTimings& timings) {
    std::vector<int> textTokens;
    const int specialTokenBegin = tokenizer_->specialTokens().specialTokenBegin;
    for (int token : tokens) {
        if (token < specialTokenBegin) textTokens.push_back(token);
    }
    const std::string text = decodingtext::trimmingWhitespaces(tokenizer_->decode(textTokens));
    return std::make_shared<TranscriptionResult>(
        text, segments, language.value_or(std::string(Constants::defaultLanguageCode)), timings, std::nullopt);
}

}  // namespace murmex
