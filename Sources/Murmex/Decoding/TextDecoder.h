#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "HalvexCore/EarlyStopActor.h"
#include "HalvexCore/Protected.h"
#include "Murmex/Decoding/DecodingInputs.h"
#include "Murmex/Decoding/LogitsFilters.h"
#include "Murmex/Decoding/TextDecodingBase.h"
#include "Murmex/Model/SerialDispatcher.h"
#include "Murmex/Model/WhisperMLModel.h"
#include "Platform/ML/Model.h"

namespace murmex {

// The standard text decoder: runs the decoder model one token at a time over a window's
// encoder output, with the key/value cache, the logit filters and a sampler, and detects the
// spoken language.
//
// Progress callbacks run on a thread of the decoder's own, one after another in the order of
// the steps that reported them; the token loop never waits for them. A callback
// that answers false stops the loop of the call that reported it at its next check.
class TextDecoder : public TextDecodingBase, public WhisperMLModel {
public:
    TextDecoder();
    ~TextDecoder() override;

    std::shared_ptr<platform::Model> model() const override { return model_.get(); }
    void setModel(std::shared_ptr<platform::Model> model) override { model_.set(std::move(model)); }

    // Drops the model and the language filter built for it.
    void unloadModel() override;

    std::shared_ptr<WhisperTokenizer> tokenizer() const override;
    void setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer) override;
    bool isModelMultilingual() const override;
    void setIsModelMultilingual(bool multilingual) override;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const override;
    void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) override;
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter() const;
    void setLanguageLogitsFilter(std::shared_ptr<LanguageLogitsFilter> filter);
    halvex::EarlyStopActor& earlyStopActor() { return earlyStopActor_; }

    bool supportsWordTimestamps() const override;
    std::optional<int> logitsSize() const override;
    std::optional<int> kvCacheEmbedDim() const override;
    std::optional<int> kvCacheMaxSequenceLength() const override;
    std::optional<int> windowSize() const override;
    std::optional<int> embedSize() const override;

    // The input must be a `TextDecoderMLMultiArrayInputType` (else
    // `WhisperError::transcriptionFailed`). Without a model the output has neither logits nor
    // cache. Prediction errors pass through; a stop request of the current task
    // (murmex::TaskCancellation) throws halvex::CancellationError before the prediction.
    std::shared_ptr<TextDecoderOutputType> predictLogits(const std::shared_ptr<TextDecoderInputType>& input) override;

    // The same prediction from seven arrays; no value without a model. Checks for a stop
    // request like the form above.
    virtual std::optional<std::pair<platform::MultiArray, DecodingCache>> predictLogits(
        const platform::MultiArray& inputIds, const platform::MultiArray& cacheLength,
        const platform::MultiArray& keyCache, const platform::MultiArray& valueCache,
        const platform::MultiArray& kvCacheUpdateMask, const platform::MultiArray& encoderOutputEmbeds,
        const platform::MultiArray& decoderKeyPaddingMask);

    // Feeds the prompt, then samples up to min(prompt + sampleLength − 1, 223) steps in all,
    // stopping at the end token, at 223 tokens, at a first token below the first-token
    // log-probability threshold, or when the progress callback answers false. A stop request
    // of the current task (murmex::TaskCancellation) ends the loop before the next prediction
    // the same way: the result holds the tokens decoded so far. The result runs from the
    // start-of-transcript token to the end token.
    DecodingResult decodeText(const std::shared_ptr<AudioEncoderOutputType>& encoderOutput,
                              const std::shared_ptr<DecodingInputsType>& decoderInputs, TokenSampling& sampler,
                              const DecodingOptions& options, const TranscriptionProgressCallback& callback) override;

    // One prediction on the start-of-transcript token with every non-language token
    // suppressed, and one sampler step. `options` and `temperature` are not used.
    DecodingResult detectLanguage(const std::shared_ptr<AudioEncoderOutputType>& encoderOutput,
                                  const std::shared_ptr<DecodingInputsType>& decoderInputs, TokenSampling& sampler,
                                  const DecodingOptions& options, platform::Float16 temperature) override;

    // The caller's filters, then suppress-blank, suppress-tokens and the timestamp rules as
    // the options ask.
    virtual std::vector<std::shared_ptr<LogitsFiltering>> createLogitsFilters(
        const DecodingOptions& options, int initialPromptIndex, const std::shared_ptr<WhisperTokenizer>& tokenizer);

    // Writes the first positions of the window's arrays to the debug log.
    virtual void debugCaches(const DecodingInputs& decoderInputs, int tokenIndex) const;

    // Blocks until every progress callback reported so far has run.
    void waitForProgressCallbacks();

private:
    // One decodeText call: its state, and its steps in the order they run.
    struct DecodeCall;
    struct SampledToken {
        float logProb = 0;
        bool completed = false;
    };
    DecodeCall beginDecoding(const std::shared_ptr<AudioEncoderOutputType>& encoderOutput,
                             DecodingInputsType& decoderInputs, TokenSampling& sampler, const DecodingOptions& options,
                             const TranscriptionProgressCallback& callback);
    // One token step; false when the loop ends with it.
    bool decodeStep(DecodeCall& call, std::int64_t tokenIndex);
    static int inputToken(DecodeCall& call, std::int64_t tokenIndex);
    void writeStepInputs(DecodeCall& call, int token, std::int64_t tokenIndex);
    // No value when a stop request came during the prediction.
    std::shared_ptr<TextDecoderMLMultiArrayOutputType> predictNextLogits(
        DecodeCall& call, std::chrono::steady_clock::time_point& predictionEnd);
    static platform::MultiArray applyFilters(DecodeCall& call, const platform::MultiArray& logits);
    static SampledToken sampleNextToken(DecodeCall& call, const platform::MultiArray& logits, std::int64_t tokenIndex);
    static bool reachedStopCondition(DecodeCall& call, const SampledToken& sampled, std::int64_t tokenIndex);
    static void keepSampledToken(DecodeCall& call, const SampledToken& sampled, std::int64_t tokenIndex);
    static void updateCaches(DecodeCall& call, const TextDecoderMLMultiArrayOutputType& output,
                             std::int64_t tokenIndex);
    void reportProgress(DecodeCall& call, std::int64_t tokenIndex);
    static void recordFirstTokenTime(DecodeCall& call);
    static DecodingResult assembleResult(DecodeCall& call);

    halvex::Protected<std::shared_ptr<platform::Model>> model_;
    mutable std::mutex mutex_;
    std::shared_ptr<WhisperTokenizer> tokenizer_;
    bool isModelMultilingual_ = false;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters_;
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter_;
    halvex::EarlyStopActor earlyStopActor_;
    // Declared last so that it is destroyed first, while everything its work may touch lives.
    SerialDispatcher progressDispatcher_;
};

}  // namespace murmex
