#include "Murmex/Decoding/TranscriptionUtilities.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "HalvexCore/FatalError.h"
#include "Murmex/Model/StringExtensions.h"
#include "Platform/ML/AudioWindow.h"
#include "Platform/Text/NumberText.h"

namespace murmex {

namespace {

constexpr int samplesPerSecond = platform::audiowindow::sampleRate;

// `seek` + `shift`, or the end of the process when the sum leaves the integer range.
std::int64_t shiftedSeek(std::int64_t seek, std::int64_t shift) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(seek, shift, &sum)) {
        halvex::fatalError("Moving a segment at seek " + std::to_string(seek) + " by " + std::to_string(shift) +
                           " samples leaves the integer range");
    }
    return sum;
}

TranscriptionSegment moved(const TranscriptionSegment& segment, std::int64_t sampleShift, float seconds) {
    TranscriptionSegment result = segment;
    result.seek = shiftedSeek(segment.seek, sampleShift);
    result.start += seconds;
    result.end += seconds;
    if (result.words) {
        for (auto& word : *result.words) {
            word.start += seconds;
            word.end += seconds;
        }
    }
    return result;
}

std::string twoDecimals(float value) { return platform::numbertext::fixed(static_cast<double>(value), 2); }

std::size_t commonPrefixLength(const std::vector<WordTiming>& a, const std::vector<WordTiming>& b) {
    std::size_t count = 0;
    while (count < a.size() && count < b.size() && normalized(a[count].word) == normalized(b[count].word)) ++count;
    return count;
}

}  // namespace

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(const TranscriptionSegment& segment, float seekTime) {
    const float samples = seekTime * static_cast<float>(samplesPerSecond);
    // 2^63 is the first single-precision value past the integer range.
    if (!std::isfinite(samples) || samples >= 0x1p63f || samples < -0x1p63f) {
        halvex::fatalError("Moving a segment by " + platform::numbertext::fixed(seekTime, 6) +
                           " s is not a valid sample shift");
    }
    return moved(segment, static_cast<std::int64_t>(samples), seekTime);
}

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(const TranscriptionSegment& segment,
                                                                  std::int64_t seekOffsetIndex) {
    return moved(segment, seekOffsetIndex, static_cast<float>(static_cast<double>(seekOffsetIndex) / samplesPerSecond));
}

std::vector<std::string> TranscriptionUtilities::formatSegments(const std::vector<TranscriptionSegment>& segments,
                                                                bool withTimestamps) {
    std::vector<std::string> lines;
    lines.reserve(segments.size());
    for (const auto& segment : segments) {
        if (!withTimestamps) {
            lines.push_back(segment.text);
            continue;
        }
        std::string line = "[";
        line.append(twoDecimals(segment.start)).append(" --> ").append(twoDecimals(segment.end)).append("] ");
        line.append(segment.text);
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestCommonPrefix(const std::vector<WordTiming>& a,
                                                                        const std::vector<WordTiming>& b) {
    const std::size_t count = commonPrefixLength(a, b);
    return {b.begin(), b.begin() + static_cast<std::ptrdiff_t>(count)};
}

std::vector<WordTiming> TranscriptionUtilities::findLongestDifferentSuffix(const std::vector<WordTiming>& a,
                                                                           const std::vector<WordTiming>& b) {
    const std::size_t count = commonPrefixLength(a, b);
    return {b.begin() + static_cast<std::ptrdiff_t>(count), b.end()};
}

std::shared_ptr<TranscriptionResult> TranscriptionUtilities::mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords) {
    std::string text;
    if (confirmedWords) {
        for (const auto& word : *confirmedWords) text += word.word;
    } else {
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (i > 0) text += ' ';
            if (results[i]) text += results[i]->text();
        }
    }

    std::vector<std::shared_ptr<TranscriptionResult>> present;
    for (const auto& result : results) {
        if (result) present.push_back(result);
    }

    std::vector<TranscriptionSegment> segments;
    for (std::size_t position = 0; position < present.size(); ++position) {
        const auto own = present[position]->segments();
        for (std::size_t index = 0; index < own.size(); ++index) {
            TranscriptionSegment segment = own[index];
            segment.id = static_cast<std::int64_t>(position + index);
            segments.push_back(std::move(segment));
        }
    }

    const std::string language = present.empty() ? std::string("en") : present.front()->language();

    TranscriptionTimings merged;
    std::vector<TranscriptionTimings> all;
    all.reserve(present.size());
    for (const auto& result : present) all.push_back(result->timings());

    auto smallest = [&](double TranscriptionTimings::*field) {
        if (all.empty()) return 0.0;
        double value = all.front().*field;
        for (const auto& timings : all) value = std::min(value, timings.*field);
        return value;
    };
    auto largest = [&](double TranscriptionTimings::*field) {
        if (all.empty()) return 0.0;
        double value = all.front().*field;
        for (const auto& timings : all) value = std::max(value, timings.*field);
        return value;
    };
    auto sum = [&](double TranscriptionTimings::*field) {
        double value = 0;
        for (const auto& timings : all) value += timings.*field;
        return value;
    };

    using T = TranscriptionTimings;
    merged.pipelineStart = smallest(&T::pipelineStart);
    merged.firstTokenTime = smallest(&T::firstTokenTime);
    merged.inputAudioSeconds = sum(&T::inputAudioSeconds);
    for (auto field :
         {&T::modelLoading, &T::prewarmLoadTime, &T::encoderLoadTime, &T::decoderLoadTime, &T::tokenizerLoadTime}) {
        merged.*field = largest(field);
    }
    merged.encoderSpecializationTime = 0;
    merged.decoderSpecializationTime = 0;
    for (auto field : {&T::audioLoading,
                       &T::audioProcessing,
                       &T::logmels,
                       &T::encoding,
                       &T::decodingInit,
                       &T::decodingLoop,
                       &T::decodingPredictions,
                       &T::decodingFiltering,
                       &T::decodingSampling,
                       &T::decodingFallback,
                       &T::decodingWindowing,
                       &T::decodingKvCaching,
                       &T::decodingWordTimestamps,
                       &T::decodingNonPrediction,
                       &T::totalAudioProcessingRuns,
                       &T::totalLogmelRuns,
                       &T::totalEncodingRuns,
                       &T::totalDecodingLoops,
                       &T::totalKVUpdateRuns,
                       &T::totalTimestampAlignmentRuns,
                       &T::totalDecodingFallbacks,
                       &T::totalDecodingWindows}) {
        merged.*field = sum(field);
    }
    double latestEnd = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const double end = all[i].pipelineStart + all[i].fullPipeline;
        latestEnd = i == 0 ? end : std::max(latestEnd, end);
    }
    merged.fullPipeline = std::min(sum(&T::fullPipeline), latestEnd - merged.pipelineStart);

    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), language, merged, std::nullopt);
}

}  // namespace murmex
