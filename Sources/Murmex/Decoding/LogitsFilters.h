#pragma once

#include <optional>
#include <set>
#include <vector>

#include "Murmex/Model/LogitsFiltering.h"
#include "Murmex/Model/WhisperTokenizer.h"
#include "Platform/ML/MultiArray.h"

namespace murmex {

// The standard logit filters. Each writes negative infinity into the logits of the tokens it
// rules out, in place, and returns the same array. Ids outside the vocabulary are skipped.
// Filters hold only constant data and may be shared between decoding runs.

// Suppresses a fixed list of token ids at every step.
class SuppressTokensFilter : public LogitsFiltering {
public:
    // Negative ids are kept in the lists but never written; their presence is logged once.
    explicit SuppressTokensFilter(std::vector<int> suppressTokens);

    platform::MultiArray filterLogits(const platform::MultiArray& logits, const std::vector<int>& tokens) override;

    const std::vector<int>& suppressTokens() const { return suppressTokens_; }
    // [0, 0, t] for each entry of `suppressTokens`, in the same order.
    const std::vector<platform::Shape>& suppressTokenIndexes() const { return suppressTokenIndexes_; }

private:
    std::vector<int> suppressTokens_;
    std::vector<platform::Shape> suppressTokenIndexes_;
};

// Rules out the blank and the end token as the first sampled token: acts only while the token
// count equals `sampleBegin`.
class SuppressBlankFilter : public LogitsFiltering {
public:
    SuppressBlankFilter(SpecialTokens specialTokens, int sampleBegin);

    platform::MultiArray filterLogits(const platform::MultiArray& logits, const std::vector<int>& tokens) override;

    const SpecialTokens& specialTokens() const { return specialTokens_; }
    int sampleBegin() const { return sampleBegin_; }
    const std::vector<platform::Shape>& suppressTokenIndexes() const { return suppressTokenIndexes_; }

private:
    SpecialTokens specialTokens_;
    int sampleBegin_;
    std::vector<platform::Shape> suppressTokenIndexes_;
};

// Keeps timestamp tokens well formed: no no-timestamps token once sampling has begun,
// timestamps in pairs, never decreasing, and a timestamp whenever the timestamps together are
// more probable than any single other token.
class TimestampRulesFilter : public LogitsFiltering {
public:
    TimestampRulesFilter(SpecialTokens specialTokens, int sampleBegin, std::optional<int> maxInitialTimestampIndex,
                         bool isModelMultilingual);

    platform::MultiArray filterLogits(const platform::MultiArray& logits, const std::vector<int>& tokens) override;

    // The position of the first sampled token: `sampleBegin` for an English-only model; for a
    // multilingual one, one past the task token found among the first three tokens (at least
    // `sampleBegin`), or no value when none of them is a task token.
    std::optional<int> sampleBegin(const std::vector<int>& tokens) const;

    // True when the log of the summed probability of the timestamps (ids from
    // `timeTokenBegin` on) is strictly above the log-probability of the best other token, both
    // computed in half precision. Logs an error line and answers false for logits it cannot
    // read.
    bool sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const platform::MultiArray& logits,
                                                            int timeTokenBegin) const;

    const SpecialTokens& specialTokens() const { return specialTokens_; }
    int sampleBegin() const { return sampleBegin_; }
    // Stored as given; no rule reads it.
    std::optional<int> maxInitialTimestampIndex() const { return maxInitialTimestampIndex_; }
    bool isModelMultilingual() const { return isModelMultilingual_; }

private:
    SpecialTokens specialTokens_;
    int sampleBegin_;
    std::optional<int> maxInitialTimestampIndex_;
    bool isModelMultilingual_;
};

// Lets only language tokens through, once the token count reaches `sampleBegin`.
class LanguageLogitsFilter : public LogitsFiltering {
public:
    // `logitsDim` below 0 is a broken caller contract and stops the process.
    LanguageLogitsFilter(std::set<int> allLanguageTokens, int logitsDim, int sampleBegin);

    platform::MultiArray filterLogits(const platform::MultiArray& logits, const std::vector<int>& tokens) override;

    const std::set<int>& allLanguageTokens() const { return allLanguageTokens_; }
    int logitsDim() const { return logitsDim_; }
    int sampleBegin() const { return sampleBegin_; }
    // Every id of 0..<logitsDim that is not a language token, ascending.
    const std::vector<int>& nonLanguageTokens() const { return nonLanguageTokens_; }

private:
    std::set<int> allLanguageTokens_;
    int logitsDim_;
    int sampleBegin_;
    std::vector<int> nonLanguageTokens_;
};

}  // namespace murmex
