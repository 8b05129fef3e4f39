#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "HalvexCore/Logging.h"
#include "Murmex/Decoding/DecodingTextFormat.h"
#include "Murmex/Decoding/SegmentSeeker.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/AudioWindow.h"

namespace murmex {

namespace {

constexpr float secondsPerFrame = platform::audiowindow::secondsPerEncoderFrame;
constexpr float maxMedianDuration = 0.7f;
constexpr int framesWithoutPath = platform::audiowindow::encoderFrames;
constexpr std::array<std::string_view, 6> sentenceEndMarks = {".", "\u3002", "!", "\uFF01", "?", "\uFF1F"};

bool isSentenceEnd(const std::string& word) {
    return std::find(sentenceEndMarks.begin(), sentenceEndMarks.end(), word) != sentenceEndMarks.end();
}

// Substring test; the empty text is contained in every text.
bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// x rounded to two decimals, halves away from zero.
float round2(float x) { return std::round(x * 100.0f) / 100.0f; }

}  // namespace

// MARK: - Dynamic time warping

std::pair<double, int> SegmentSeeker::minCostAndTrace(double costDiagonal, double costUp, double costLeft,
                                                      double matrixValue) {
    const double c0 = costDiagonal - matrixValue;
    const double c1 = costUp - matrixValue;
    const double c2 = costLeft - matrixValue;
    if (c0 < c1 && c0 < c2) return {c0, 0};
    if (c1 < c0 && c1 < c2) return {c1, 1};
    return {c2, 2};
}

SegmentSeeker::WarpingPath SegmentSeeker::backtrace(const std::vector<std::int8_t>& trace, int rows, int columns) {
    const std::size_t width = static_cast<std::size_t>(columns) + 1;
    WarpingPath path;
    path.textIndices.reserve(static_cast<std::size_t>(rows) + static_cast<std::size_t>(columns));
    path.timeIndices.reserve(static_cast<std::size_t>(rows) + static_cast<std::size_t>(columns));
    int i = rows;
    int j = columns;
    while (i > 0 || j > 0) {
        path.textIndices.push_back(i - 1);
        path.timeIndices.push_back(j - 1);
        switch (trace[static_cast<std::size_t>(i) * width + static_cast<std::size_t>(j)]) {
            case 0:
                --i;
                --j;
                break;
            case 1: --i; break;
            case 2: --j; break;
            default: throw WhisperError::segmentingFailed("Invalid alignment trace");
        }
        // The first row and column only lead back to the origin, so the walk stays inside.
        if (i < 0 || j < 0) throw WhisperError::segmentingFailed("Invalid alignment trace");
    }
    std::reverse(path.textIndices.begin(), path.textIndices.end());
    std::reverse(path.timeIndices.begin(), path.timeIndices.end());
    return path;
}

SegmentSeeker::WarpingPath SegmentSeeker::dynamicTimeWarping(const platform::MultiArray& matrix) const {
    const auto& shape = matrix.shape();
    if (shape.size() != 2 || shape[0] < 0 || shape[1] < 0) {
        throw WhisperError::segmentingFailed(std::string(WhisperErrorMessage::invalidAlignmentMatrixShape));
    }
    const int rows = shape[0];
    const int columns = shape[1];
    const std::size_t width = static_cast<std::size_t>(columns) + 1;
    const std::size_t cells = (static_cast<std::size_t>(rows) + 1) * width;

    std::vector<double> cost(cells, std::numeric_limits<double>::infinity());
    std::vector<std::int8_t> trace(cells, -1);
    cost[0] = 0;
    for (std::size_t j = 1; j < width; ++j) trace[j] = 2;
    for (std::size_t i = 1; i <= static_cast<std::size_t>(rows); ++i) trace[i * width] = 1;

    std::vector<float> values = matrix.floatValues();  // row-major
    for (std::size_t i = 1; i <= static_cast<std::size_t>(rows); ++i) {
        const float* row = values.data() + (i - 1) * static_cast<std::size_t>(columns);
        for (std::size_t j = 1; j < width; ++j) {
            const auto [value, step] = minCostAndTrace(cost[(i - 1) * width + j - 1], cost[(i - 1) * width + j],
                                                       cost[i * width + j - 1], static_cast<double>(row[j - 1]));
            cost[i * width + j] = value;
            trace[i * width + j] = static_cast<std::int8_t>(step);
        }
    }
    return backtrace(trace, rows, columns);
}

// MARK: - Words

std::vector<WordTiming> SegmentSeeker::findAlignment(const std::vector<int>& wordTokenIds,
                                                     const platform::MultiArray& alignmentWeights,
                                                     const std::vector<float>& tokenLogProbs,
                                                     const WhisperTokenizer& tokenizer,
                                                     const TranscriptionTimings& /*timings*/) const {
    const WarpingPath path = dynamicTimeWarping(alignmentWeights);
    const WordTokens split = tokenizer.splitToWordTokens(wordTokenIds);
    if (split.words.size() < 2) return {};
    if (split.wordTokens.size() != split.words.size()) {
        throw WhisperError::segmentingFailed("Word split gave words and token lists of different lengths");
    }

    std::vector<float> jumps;
    for (std::size_t k = 1; k < path.textIndices.size(); ++k) {
        if (path.textIndices[k] != path.textIndices[k - 1]) {
            jumps.push_back(static_cast<float>(path.timeIndices[k]) * secondsPerFrame);
        }
    }
    std::vector<float> starts;
    starts.reserve(jumps.size() + 1);
    starts.push_back(0);
    starts.insert(starts.end(), jumps.begin(), jumps.end());
    std::vector<float> ends = jumps;
    const int lastFrame = path.timeIndices.empty() ? framesWithoutPath : path.timeIndices.back();
    ends.push_back(static_cast<float>(lastFrame) * secondsPerFrame);

    std::vector<WordTiming> words;
    words.reserve(split.words.size());
    std::size_t position = 0;
    for (std::size_t i = 0; i < split.words.size(); ++i) {
        const std::size_t m = split.wordTokens[i].size();
        if (m == 0) throw WhisperError::segmentingFailed("Word without tokens in the word split");
        const std::size_t last = position + m - 1;
        if (last >= ends.size()) {
            throw WhisperError::segmentingFailed("Alignment path is too short for the words of the window");
        }
        if (last >= tokenLogProbs.size()) {
            throw WhisperError::segmentingFailed("Word tokens without log probabilities");
        }
        float sum = 0;
        for (std::size_t t = position; t <= last; ++t) sum += tokenLogProbs[t];
        WordTiming word;
        word.word = split.words[i];
        word.tokens.assign(split.wordTokens[i].begin(), split.wordTokens[i].end());
        word.start = starts[position];
        word.end = ends[last];
        word.probability = std::exp(sum / static_cast<float>(m));
        words.push_back(std::move(word));
        position += m;
    }
    return words;
}

std::pair<float, float> SegmentSeeker::calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) {
    std::vector<float> durations;
    for (const auto& word : alignment) {
        const float duration = word.end - word.start;
        if (duration > 0) durations.push_back(duration);
    }
    std::sort(durations.begin(), durations.end());
    const float median = durations.empty() ? 0.0f : durations[durations.size() / 2];
    const float constrained = std::min(median, maxMedianDuration);
    return {constrained, 2 * constrained};
}

std::vector<WordTiming> SegmentSeeker::truncateLongWordsAtSentenceBoundaries(const std::vector<WordTiming>& alignment,
                                                                             float maxDuration) {
    std::vector<WordTiming> words = alignment;
    if (words.size() < 2) return words;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (!(words[i].end - words[i].start > maxDuration)) continue;
        if (isSentenceEnd(words[i].word)) {
            words[i].end = words[i].start + maxDuration;
        } else if (isSentenceEnd(words[i - 1].word)) {
            words[i].start = words[i].end - maxDuration;
        }
    }
    return words;
}

std::vector<WordTiming> SegmentSeeker::mergePunctuations(const std::vector<WordTiming>& alignment,
                                                         const std::string& prepended, const std::string& appended) {
    if (alignment.empty()) return {};

    // Prepend punctuation joins the following word, which keeps its own times.
    std::vector<WordTiming> prependPass;
    if (!contains(prepended, decodingtext::trimmingWhitespaces(alignment[0].word))) prependPass.push_back(alignment[0]);
    for (std::size_t k = 1; k < alignment.size(); ++k) {
        const WordTiming& previous = alignment[k - 1];
        const WordTiming& current = alignment[k];
        const bool previousIsPrepend = !previous.word.empty() && decodingtext::beginsWithWhitespace(previous.word) &&
                                       contains(prepended, decodingtext::trimmingWhitespaces(previous.word));
        if (!previousIsPrepend) {
            prependPass.push_back(current);
            continue;
        }
        const WordTiming& base = prependPass.empty() ? previous : prependPass.back();
        WordTiming merged;
        merged.word = base.word + current.word;
        merged.tokens = base.tokens;
        merged.tokens.insert(merged.tokens.end(), current.tokens.begin(), current.tokens.end());
        merged.start = current.start;
        merged.end = current.end;
        merged.probability = current.probability;
        if (prependPass.empty()) {
            prependPass.push_back(std::move(merged));
        } else {
            prependPass.back() = std::move(merged);
        }
    }

    // Append punctuation joins the preceding word, which keeps its times.
    std::vector<WordTiming> appendPass;
    if (!prependPass.empty()) appendPass.push_back(prependPass[0]);
    for (std::size_t k = 1; k < prependPass.size(); ++k) {
        const WordTiming& previous = prependPass[k - 1];
        const WordTiming& current = prependPass[k];
        const bool previousEndsWithSpace = !previous.word.empty() && previous.word.back() == ' ';
        if (!previousEndsWithSpace && contains(appended, decodingtext::trimmingWhitespaces(current.word))) {
            WordTiming& last = appendPass.back();
            last.word += current.word;
            last.tokens.insert(last.tokens.end(), current.tokens.begin(), current.tokens.end());
        } else {
            appendPass.push_back(current);
        }
    }

    std::vector<WordTiming> kept;
    for (auto& word : appendPass) {
        if (!word.word.empty() && !contains(appended, word.word) && !contains(prepended, word.word)) {
            kept.push_back(std::move(word));
        }
    }
    return kept;
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(
    const std::vector<TranscriptionSegment>& segments, const std::vector<WordTiming>& mergedAlignment,
    std::int64_t seek, float lastSpeechTimestamp, float constrainedMedianDuration, float maxDuration,
    const WhisperTokenizer& tokenizer) {
    const float seekTime = static_cast<float>(seek) / static_cast<float>(platform::audiowindow::sampleRate);
    const float median = constrainedMedianDuration;
    const int specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;

    std::vector<TranscriptionSegment> output;
    output.reserve(segments.size());
    std::size_t wordIndex = 0;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        TranscriptionSegment segment = segments[s];
        std::size_t textTokenCount = 0;
        for (std::int64_t token : segment.tokens) {
            if (token < specialTokenBegin) ++textTokenCount;
        }

        std::vector<WordTiming> words;
        std::size_t consumed = 0;
        while (consumed < textTokenCount && wordIndex < mergedAlignment.size()) {
            const WordTiming& timing = mergedAlignment[wordIndex++];
            std::vector<int> textTokens;
            // Word tokens come from the segments' ids, which are checked to be 32-bit below.
            for (std::int64_t token : timing.tokens) {
                if (token < specialTokenBegin) textTokens.push_back(static_cast<int>(token));
            }
            if (textTokens.empty()) continue;

            WordTiming word;
            word.word = textTokens.size() < timing.tokens.size() ? tokenizer.decode(textTokens) : timing.word;
            word.start = round2(seekTime + timing.start);
            word.end = round2(seekTime + timing.end);
            if (word.end - word.start < 0.25f * median) {
                std::optional<float> previousEnd;
                if (!words.empty()) {
                    previousEnd = words.back().end;
                } else if (s >= 1) {
                    previousEnd = output[s - 1].end;
                }
                if (previousEnd && *previousEnd < word.start) {
                    word.start = round2(word.start - std::min(0.5f * median, word.start - *previousEnd));
                }
            }
            word.probability = round2(timing.probability);
            consumed += textTokens.size();
            word.tokens.assign(textTokens.begin(), textTokens.end());
            words.push_back(std::move(word));
        }

        if (!words.empty()) {
            WordTiming& first = words.front();
            // A first word far from the previous speech and implausibly long starts later.
            const bool longPause = first.end - lastSpeechTimestamp > 4 * median;
            const bool firstTooLong = first.end - first.start > maxDuration ||
                                      (words.size() > 1 && words[1].end - first.start > 2 * maxDuration);
            if (longPause && firstTooLong) {
                if (words.size() > 1 && words[1].end - words[1].start > maxDuration) {
                    const float boundary = std::max(words[1].end / 2, words[1].end - maxDuration);
                    first.end = boundary;
                    words[1].start = boundary;
                }
                first.start = std::max(lastSpeechTimestamp, first.end - maxDuration);
            }

            if (segment.start < first.end && segment.start - 0.5f > first.start) {
                first.start = std::max(0.0f, std::min(segment.start, first.end - median));
            } else {
                segment.start = first.start;
            }

            WordTiming& last = words.back();
            if (last.start < segment.end && segment.end + 0.5f < last.end) {
                last.end = std::max(segment.end, last.start + median);
            } else {
                segment.end = last.end;
            }
            lastSpeechTimestamp = segment.end;
        }
        segment.words = std::move(words);
        output.push_back(std::move(segment));
    }
    return output;
}

std::optional<std::vector<TranscriptionSegment>> SegmentSeeker::addWordTimestamps(
    const std::vector<TranscriptionSegment>& segments, const platform::MultiArray& alignmentWeights,
    const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t /*segmentSize*/,
    const std::string& prependPunctuations, const std::string& appendPunctuations, float lastSpeechTimestamp,
    const DecodingOptions& /*options*/, const TranscriptionTimings& timings) {
    std::vector<int> wordTokenIds;
    std::vector<float> logProbs;
    for (const auto& segment : segments) {
        if (segment.tokenLogProbs.size() < segment.tokens.size()) {
            throw WhisperError::segmentingFailed("Segment holds fewer log probabilities than tokens");
        }
        for (std::size_t i = 0; i < segment.tokens.size(); ++i) {
            const std::int64_t token = segment.tokens[i];
            if (token < std::numeric_limits<int>::min() || token > std::numeric_limits<int>::max()) {
                throw WhisperError::segmentingFailed("Segment token " + std::to_string(token) + " is not a token id");
            }
            wordTokenIds.push_back(static_cast<int>(token));
            const auto& entry = segment.tokenLogProbs[i];
            if (auto found = entry.find(token); found != entry.end()) logProbs.push_back(found->second);
        }
    }

    const auto& shape = alignmentWeights.shape();
    if (shape.empty() || alignmentWeights.isEmpty()) {
        throw WhisperError::segmentingFailed(std::string(WhisperErrorMessage::invalidAlignmentWeightsShape));
    }
    const int columns = shape.back();
    const std::int64_t availableRows = columns > 0 ? alignmentWeights.count() / columns : 0;
    const auto rows = static_cast<std::int64_t>(wordTokenIds.size());
    if (rows > availableRows || alignmentWeights.dataType() != platform::MultiArrayDataType::float16) {
        throw WhisperError::segmentingFailed(std::string(WhisperErrorMessage::invalidAlignmentWeightsShape));
    }

    std::vector<WordTiming> alignment;
    if (rows > 0 && columns > 0) {
        // The rows of the window's tokens, copied whole into a compact array.
        platform::MultiArray compact({static_cast<int>(rows), columns}, platform::MultiArrayDataType::float16);
        const auto* source = alignmentWeights.data<platform::Float16>();
        auto* destination = compact.data<platform::Float16>();
        const auto& strides = alignmentWeights.strides();
        const std::int64_t columnStride = strides.back();
        for (std::int64_t i = 0; i < rows; ++i) {
            // Logical row i of an array of any rank whose last dimension is the frames.
            std::int64_t offset = 0;
            std::int64_t rest = i;
            for (std::size_t d = shape.size() - 1; d-- > 0;) {
                offset += (rest % shape[d]) * strides[d];
                rest /= shape[d];
            }
            for (int k = 0; k < columns; ++k) destination[i * columns + k] = source[offset + k * columnStride];
        }
        halvex::Logging::debug("Alignment weights shape: " + platform::shapeText(compact.shape()));
        alignment = findAlignment(wordTokenIds, compact, logProbs, tokenizer, timings);
    }
    const auto [median, maxDuration] = calculateWordDurationConstraints(alignment);
    alignment = truncateLongWordsAtSentenceBoundaries(alignment, maxDuration);
    if (!alignment.empty()) alignment = mergePunctuations(alignment, prependPunctuations, appendPunctuations);
    return updateSegmentsWithWordTimings(segments, alignment, seek, lastSpeechTimestamp, median, maxDuration,
                                         tokenizer);
}

}  // namespace murmex
