#include "Murmex/Decoding/LogitsFilters.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "HalvexCore/FatalError.h"
#include "HalvexCore/Logging.h"
#include "Murmex/Decoding/LogitMath.h"
#include "Murmex/Decoding/LogitsView.h"
#include "Platform/ML/Float16.h"

namespace murmex {

namespace {

std::vector<platform::Shape> tokenIndexes(const std::vector<int>& tokens) {
    std::vector<platform::Shape> indexes;
    indexes.reserve(tokens.size());
    for (int token : tokens) indexes.push_back({0, 0, token});
    return indexes;
}

}  // namespace

// MARK: - SuppressTokensFilter

SuppressTokensFilter::SuppressTokensFilter(std::vector<int> suppressTokens)
    : suppressTokens_(std::move(suppressTokens)), suppressTokenIndexes_(tokenIndexes(suppressTokens_)) {
    const bool hasNegative = std::any_of(suppressTokens_.begin(), suppressTokens_.end(), [](int t) { return t < 0; });
    if (hasNegative) {
        halvex::Logging::debug(
            "SuppressTokensFilter: ignoring negative ids in suppressTokens; the -1 sentinel (suppress default "
            "non-speech tokens) is not supported");
    }
}

platform::MultiArray SuppressTokensFilter::filterLogits(const platform::MultiArray& logits,
                                                        const std::vector<int>& /*tokens*/) {
    const LogitsView view(logits);
    for (int token : suppressTokens_) view.suppress(token);
    return logits;
}

// MARK: - SuppressBlankFilter

SuppressBlankFilter::SuppressBlankFilter(SpecialTokens specialTokens, int sampleBegin)
    : specialTokens_(specialTokens),
      sampleBegin_(sampleBegin),
      suppressTokenIndexes_({{0, 0, specialTokens.whitespaceToken}, {0, 0, specialTokens.endToken}}) {}

platform::MultiArray SuppressBlankFilter::filterLogits(const platform::MultiArray& logits,
                                                       const std::vector<int>& tokens) {
    if (static_cast<std::int64_t>(tokens.size()) != sampleBegin_) return logits;
    const LogitsView view(logits);
    view.suppress(specialTokens_.whitespaceToken);
    view.suppress(specialTokens_.endToken);
    return logits;
}

// MARK: - TimestampRulesFilter

TimestampRulesFilter::TimestampRulesFilter(SpecialTokens specialTokens, int sampleBegin,
                                           std::optional<int> maxInitialTimestampIndex, bool isModelMultilingual)
    : specialTokens_(specialTokens),
      sampleBegin_(sampleBegin),
      maxInitialTimestampIndex_(maxInitialTimestampIndex),
      isModelMultilingual_(isModelMultilingual) {}

std::optional<int> TimestampRulesFilter::sampleBegin(const std::vector<int>& tokens) const {
    if (!isModelMultilingual_) return sampleBegin_;
    const std::size_t searched = std::min<std::size_t>(tokens.size(), 3);
    for (std::size_t k = 0; k < searched; ++k) {
        if (tokens[k] == specialTokens_.transcribeToken || tokens[k] == specialTokens_.translateToken) {
            return std::max(static_cast<int>(k) + 1, sampleBegin_);
        }
    }
    return std::nullopt;
}

platform::MultiArray TimestampRulesFilter::filterLogits(const platform::MultiArray& logits,
                                                        const std::vector<int>& tokens) {
    const auto begin = sampleBegin(tokens);
    const auto count = static_cast<std::int64_t>(tokens.size());
    if (!begin || count < *begin) return logits;

    const LogitsView view(logits);
    const std::int64_t timeBegin = specialTokens_.timeTokenBegin;
    view.suppress(specialTokens_.noTimestampsToken);

    if (count > *begin) {
        const std::int64_t sampled = count - *begin;
        const bool lastWasTimestamp = tokens.back() >= timeBegin;
        const bool penultimateWasTimestamp = sampled == 1 || tokens[count - 2] >= timeBegin;
        if (lastWasTimestamp) {
            if (penultimateWasTimestamp) {
                view.suppressRange(timeBegin, view.size());
            } else {
                view.suppressRange(0, specialTokens_.endToken);
            }
        }
        std::optional<std::int64_t> lastSampledTimestamp;
        for (std::int64_t i = count - 1; i >= *begin; --i) {
            if (tokens[i] >= timeBegin) {
                lastSampledTimestamp = tokens[i];
                break;
            }
        }
        if (lastSampledTimestamp) {
            const std::int64_t upper =
                (lastWasTimestamp && !penultimateWasTimestamp) ? *lastSampledTimestamp : *lastSampledTimestamp + 1;
            view.suppressRange(timeBegin, upper);
        }
    }

    if (sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(logits, specialTokens_.timeTokenBegin)) {
        view.suppressRange(0, timeBegin);
    }
    return logits;
}

bool TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const platform::MultiArray& logits,
                                                                              int timeTokenBegin) const {
    if (logits.dataType() != platform::MultiArrayDataType::float16 || logits.isEmpty() || logits.shape().empty()) {
        halvex::Logging::error("Cannot create `logprobsInputDescriptor`");
        return false;
    }
    const LogitsView view(logits);
    const int size = view.size();
    if (timeTokenBegin < 0 || timeTokenBegin >= size) {
        halvex::Logging::error("Cannot create `logSumExpInputDescriptor`");
        return false;
    }
    if (timeTokenBegin == 0) {
        halvex::Logging::error("Cannot create `maxTextTokenLogProbInputDescriptor`");
        return false;
    }

    // Log-softmax over the whole vocabulary, each log-probability rounded to half precision as
    // it would be stored. Rounding is monotonic, so the best text log-probability is the
    // rounded log-probability of the best text logit.
    const float largest = logitmath::maxValue(view, 0, size);
    if (!std::isfinite(largest)) return false;
    const double logSumExpAll = static_cast<double>(largest) + std::log(logitmath::sumExp(view, largest));
    const float bestText = logitmath::maxValue(view, 0, timeTokenBegin);
    const platform::Float16 maxTextLogProb(static_cast<double>(bestText) - logSumExpAll);

    // Log of the summed probability of the timestamps, from their half-precision
    // log-probabilities, rounded to half precision.
    thread_local std::vector<float> timestampLogProbs;
    timestampLogProbs.resize(static_cast<std::size_t>(size - timeTokenBegin));
    float largestTimestamp = -std::numeric_limits<float>::infinity();
    for (int i = timeTokenBegin; i < size; ++i) {
        const float logProb = platform::Float16(static_cast<double>(view[i].floatValue()) - logSumExpAll).floatValue();
        timestampLogProbs[static_cast<std::size_t>(i - timeTokenBegin)] = logProb;
        largestTimestamp = logProb > largestTimestamp ? logProb : largestTimestamp;
    }
    if (!std::isfinite(largestTimestamp)) return false;
    double sum = 0;
    for (float logProb : timestampLogProbs)
        sum += static_cast<double>(logitmath::exponential(logProb - largestTimestamp));
    const platform::Float16 timestampLogProb(static_cast<double>(largestTimestamp) + std::log(sum));

    return maxTextLogProb < timestampLogProb;
}

// MARK: - LanguageLogitsFilter

LanguageLogitsFilter::LanguageLogitsFilter(std::set<int> allLanguageTokens, int logitsDim, int sampleBegin)
    : allLanguageTokens_(std::move(allLanguageTokens)), logitsDim_(logitsDim), sampleBegin_(sampleBegin) {
    if (logitsDim < 0) halvex::fatalError("LanguageLogitsFilter: logitsDim must not be negative");
    nonLanguageTokens_.reserve(static_cast<std::size_t>(logitsDim));
    for (int i = 0; i < logitsDim; ++i) {
        if (!allLanguageTokens_.contains(i)) nonLanguageTokens_.push_back(i);
    }
}

platform::MultiArray LanguageLogitsFilter::filterLogits(const platform::MultiArray& logits,
                                                        const std::vector<int>& tokens) {
    if (static_cast<std::int64_t>(tokens.size()) < sampleBegin_) return logits;
    const LogitsView view(logits);
    for (int token : nonLanguageTokens_) view.suppress(token);
    return logits;
}

}  // namespace murmex
