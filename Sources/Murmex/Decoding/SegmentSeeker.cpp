#include "Murmex/Decoding/SegmentSeeker.h"

#include <cmath>
#include <limits>
#include <string>

#include "HalvexCore/FatalError.h"
#include "Platform/ML/AudioWindow.h"

namespace murmex {

namespace {

constexpr float secondsPerTimeToken = platform::audiowindow::secondsPerEncoderFrame;

std::int64_t checkedAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        halvex::fatalError("Seek overflow: " + std::to_string(a) + " + " + std::to_string(b));
    }
    return sum;
}

// A single-precision sample count converted to an integer by truncation toward zero.
std::int64_t truncatedSamples(float samples) {
    if (!std::isfinite(samples) || samples >= 0x1p63f || samples < -0x1p63f) {
        halvex::fatalError("Seek offset is not a representable sample count");
    }
    return static_cast<std::int64_t>(samples);
}

}  // namespace

std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> SegmentSeeker::findSeekPointAndSegments(
    const DecodingResult& decodingResult, const DecodingOptions& options, int allSegmentsCount,
    std::int64_t currentSeek, std::int64_t segmentSize, int sampleRate, int timeToken, int /*specialToken*/,
    const WhisperTokenizer& tokenizer) {
    // A window judged silent is skipped unless its average log-probability rescues it.
    if (options.noSpeechThreshold && decodingResult.noSpeechProb > *options.noSpeechThreshold) {
        const bool rescued = options.logProbThreshold && decodingResult.avgLogProb > *options.logProbThreshold;
        if (!rescued) return {checkedAdd(currentSeek, segmentSize), std::nullopt};
    }

    const float seekTime = static_cast<float>(currentSeek) / static_cast<float>(sampleRate);
    const std::vector<int>& tokens = decodingResult.tokens;
    const std::size_t count = tokens.size();
    const int specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;

    std::vector<bool> isTimestamp(count);
    for (std::size_t i = 0; i < count; ++i) isTimestamp[i] = tokens[i] >= timeToken;
    const bool singleTimestampEnding =
        count >= 3 && !isTimestamp[count - 3] && isTimestamp[count - 2] && !isTimestamp[count - 1];
    const bool noTimestampEnding =
        count >= 3 && !isTimestamp[count - 3] && !isTimestamp[count - 2] && !isTimestamp[count - 1];

    std::vector<std::size_t> cuts;
    for (std::size_t k = 1; k < count; ++k) {
        if (isTimestamp[k] && isTimestamp[k - 1]) cuts.push_back(k);
    }

    std::vector<TranscriptionSegment> segments;
    auto makeSegment = [&](std::size_t begin, std::size_t end, float start, float stop) {
        TranscriptionSegment segment;
        segment.id = allSegmentsCount + static_cast<std::int64_t>(segments.size());
        segment.seek = currentSeek;
        segment.start = start;
        segment.end = stop;
        segment.tokens.assign(tokens.begin() + static_cast<std::ptrdiff_t>(begin),
                              tokens.begin() + static_cast<std::ptrdiff_t>(end));
        if (decodingResult.tokenLogProbs.size() < end) {
            halvex::fatalError("Decoding result holds fewer log-probabilities than tokens");
        }
        segment.tokenLogProbs.reserve(end - begin);
        for (std::size_t i = begin; i < end; ++i) {
            const auto& entry = decodingResult.tokenLogProbs[i];
            segment.tokenLogProbs.emplace_back(entry.begin(), entry.end());
        }
        if (options.skipSpecialTokens) {
            std::vector<int> textTokens;
            for (std::size_t i = begin; i < end; ++i) {
                if (tokens[i] < specialTokenBegin) textTokens.push_back(tokens[i]);
            }
            segment.text = tokenizer.decode(textTokens);
        } else {
            segment.text = tokenizer.decode(std::vector<int>(tokens.begin() + static_cast<std::ptrdiff_t>(begin),
                                                             tokens.begin() + static_cast<std::ptrdiff_t>(end)));
        }
        segment.temperature = decodingResult.temperature;
        segment.avgLogprob = decodingResult.avgLogProb;
        segment.compressionRatio = decodingResult.compressionRatio;
        segment.noSpeechProb = decodingResult.noSpeechProb;
        segments.push_back(std::move(segment));
    };

    if (!cuts.empty()) {
        if (singleTimestampEnding) {
            cuts.push_back(count - 1);  // one past the single timestamp at count - 2
        } else if (noTimestampEnding) {
            cuts.push_back(count);
        }
        std::size_t lastSlice = 0;
        for (std::size_t cut : cuts) {
            std::optional<std::size_t> first;
            std::size_t last = 0;
            for (std::size_t i = lastSlice; i < cut; ++i) {
                if (!isTimestamp[i]) continue;
                if (!first) first = i;
                last = i;
            }
            // Every slice ends at or holds the second timestamp of a pair.
            if (!first) halvex::fatalError("Segment slice without a timestamp");
            const float start = seekTime + static_cast<float>(tokens[*first] - timeToken) * secondsPerTimeToken;
            const float end = seekTime + static_cast<float>(tokens[last] - timeToken) * secondsPerTimeToken;
            makeSegment(lastSlice, cut, start, end);
            lastSlice = cut;
        }

        if (noTimestampEnding) return {checkedAdd(currentSeek, segmentSize), std::move(segments)};
        const std::size_t position = singleTimestampEnding ? lastSlice - 1 : lastSlice;
        if (position >= count) halvex::fatalError("Seek timestamp position outside the tokens");
        const float steps = static_cast<float>(tokens[position] - timeToken);
        const float advance = steps * secondsPerTimeToken * static_cast<float>(sampleRate);
        return {checkedAdd(currentSeek, truncatedSamples(advance)), std::move(segments)};
    }

    std::optional<int> lastTimestamp;
    for (int token : tokens) {
        if (token > timeToken) lastTimestamp = token;
    }
    const float duration = lastTimestamp ? static_cast<float>(*lastTimestamp - timeToken) * secondsPerTimeToken
                                         : static_cast<float>(segmentSize) / static_cast<float>(sampleRate);
    makeSegment(0, count, seekTime, seekTime + duration);
    return {checkedAdd(currentSeek, segmentSize), std::move(segments)};
}

}  // namespace murmex
