#include "Murmex/Decoding/TextDecoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/FatalError.h"
#include "HalvexCore/FloatRounding.h"
#include "HalvexCore/Logging.h"
#include "HalvexCore/ModelUtilities.h"
#include "HalvexCore/UUID.h"
#include "Murmex/Audio/TaskCancellation.h"
#include "Murmex/Decoding/DecodingTextFormat.h"
#include "Murmex/Decoding/TokenSamplers.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/ModelFeatureRecords.h"
#include "Murmex/Model/StringExtensions.h"
#include "Murmex/Model/TextUtilities.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/AudioWindow.h"
#include "Platform/Text/NumberText.h"

namespace murmex {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int maxTokenLoop = Constants::maxTokenContext - 1;  // 223 steps and 223 tokens

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool debugEnabled() { return halvex::Logging::isLoggingEnabled(halvex::Logging::LogLevel::debug); }

std::string tokenText(const WhisperTokenizer& tokenizer, int token) {
    if (auto text = tokenizer.convertIdToToken(token)) return *text;
    return tokenizer.decode({token});
}

float mean(const std::vector<float>& values) {
    float sum = 0;
    for (float value : values) sum += value;
    return sum / static_cast<float>(values.size());
}

std::vector<int> textTokens(const std::vector<int>& tokens, int specialTokenBegin) {
    std::vector<int> kept;
    kept.reserve(tokens.size());
    for (int token : tokens) {
        if (token < specialTokenBegin) kept.push_back(token);
    }
    return kept;
}

// What one decodeText call shares with the progress callbacks it dispatched: its stop flag
// lives in the decoder's early-stop table only while the call is open, so a late answer can
// never re-create it.
struct CallState {
    std::mutex mutex;
    bool open = true;
};

// Closes a call's flag on every way out of decodeText, and reports a flag that went missing.
class EarlyStopScope {
public:
    EarlyStopScope(halvex::EarlyStopActor& actor, halvex::UUID id, std::shared_ptr<CallState> state)
        : actor_(actor), id_(id), state_(std::move(state)) {
        actor_.set(false, id_);
    }
    ~EarlyStopScope() {
        if (!closed_) close(false);
    }
    EarlyStopScope(const EarlyStopScope&) = delete;
    EarlyStopScope& operator=(const EarlyStopScope&) = delete;

    void close(bool reportMissing) {
        closed_ = true;
        std::lock_guard lock(state_->mutex);
        state_->open = false;
        const auto removed = actor_.remove(id_);
        if (!removed && reportMissing)
            halvex::Logging::error("Early stop flag not found for window: " + id_.uuidString());
    }

private:
    halvex::EarlyStopActor& actor_;
    halvex::UUID id_;
    std::shared_ptr<CallState> state_;
    bool closed_ = false;
};

std::int32_t* int32Data(const platform::MultiArray& array, std::int64_t needed, const char* name) {
    if (array.dataType() != platform::MultiArrayDataType::int32 || array.count() < needed) {
        halvex::fatalError(std::string("Decoder input ") + name + " is not a large enough int32 array");
    }
    return array.data<std::int32_t>();
}

}  // namespace

TextDecoder::TextDecoder() : logitsFilters_(std::vector<std::shared_ptr<LogitsFiltering>>{}) {}

TextDecoder::~TextDecoder() = default;

void TextDecoder::unloadModel() {
    model_.set(nullptr);
    std::lock_guard lock(mutex_);
    languageLogitsFilter_.reset();
}

std::shared_ptr<WhisperTokenizer> TextDecoder::tokenizer() const {
    std::lock_guard lock(mutex_);
    return tokenizer_;
}

void TextDecoder::setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer) {
    std::lock_guard lock(mutex_);
    tokenizer_ = std::move(tokenizer);
}

bool TextDecoder::isModelMultilingual() const {
    std::lock_guard lock(mutex_);
    return isModelMultilingual_;
}

void TextDecoder::setIsModelMultilingual(bool multilingual) {
    std::lock_guard lock(mutex_);
    isModelMultilingual_ = multilingual;
}

std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> TextDecoder::logitsFilters() const {
    std::lock_guard lock(mutex_);
    return logitsFilters_;
}

void TextDecoder::setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) {
    std::lock_guard lock(mutex_);
    logitsFilters_ = std::move(filters);
}

std::shared_ptr<LanguageLogitsFilter> TextDecoder::languageLogitsFilter() const {
    std::lock_guard lock(mutex_);
    return languageLogitsFilter_;
}

void TextDecoder::setLanguageLogitsFilter(std::shared_ptr<LanguageLogitsFilter> filter) {
    std::lock_guard lock(mutex_);
    languageLogitsFilter_ = std::move(filter);
}

bool TextDecoder::supportsWordTimestamps() const {
    const auto model = this->model();
    return halvex::ModelUtilities::getModelOutputDimension(model.get(), FeatureName::alignmentHeadsWeights, 0)
        .has_value();
}

std::optional<int> TextDecoder::logitsSize() const {
    const auto model = this->model();
    return halvex::ModelUtilities::getModelOutputDimension(model.get(), FeatureName::logits, 2);
}

std::optional<int> TextDecoder::kvCacheEmbedDim() const {
    const auto model = this->model();
    return halvex::ModelUtilities::getModelInputDimension(model.get(), FeatureName::keyCache, 1);
}

std::optional<int> TextDecoder::kvCacheMaxSequenceLength() const {
    const auto model = this->model();
    return halvex::ModelUtilities::getModelInputDimension(model.get(), FeatureName::keyCache, 3);
}

std::optional<int> TextDecoder::windowSize() const {
    const auto model = this->model();
    return halvex::ModelUtilities::getModelInputDimension(model.get(), FeatureName::encoderOutputEmbeds, 3);
}

std::optional<int> TextDecoder::embedSize() const {
    const auto model = this->model();
    return halvex::ModelUtilities::getModelInputDimension(model.get(), FeatureName::encoderOutputEmbeds, 1);
}

std::shared_ptr<TextDecoderOutputType> TextDecoder::predictLogits(const std::shared_ptr<TextDecoderInputType>& input) {
    const auto* arrays = dynamic_cast<const TextDecoderMLMultiArrayInputType*>(input.get());
    if (arrays == nullptr) {
        throw WhisperError::transcriptionFailed(std::string(WhisperErrorMessage::inputNotTextDecoderMultiArrayInput));
    }
    auto prediction =
        predictLogits(arrays->inputIds, arrays->cacheLength, arrays->keyCache, arrays->valueCache,
                      arrays->kvCacheUpdateMask, arrays->encoderOutputEmbeds, arrays->decoderKeyPaddingMask);
    if (!prediction) return std::make_shared<TextDecoderMLMultiArrayOutputType>(std::nullopt, std::nullopt);
    return std::make_shared<TextDecoderMLMultiArrayOutputType>(std::move(prediction->first),
                                                               std::move(prediction->second));
}

std::optional<std::pair<platform::MultiArray, DecodingCache>> TextDecoder::predictLogits(
    const platform::MultiArray& inputIds, const platform::MultiArray& cacheLength, const platform::MultiArray& keyCache,
    const platform::MultiArray& valueCache, const platform::MultiArray& kvCacheUpdateMask,
    const platform::MultiArray& encoderOutputEmbeds, const platform::MultiArray& decoderKeyPaddingMask) {
    const auto model = this->model();
    if (!model) return std::nullopt;
    const TextDecoderInput features(inputIds, cacheLength, keyCache, valueCache, kvCacheUpdateMask, encoderOutputEmbeds,
                                    decoderKeyPaddingMask);
    TaskCancellation::checkCancellation();
    const auto output = model->asyncPrediction(features);
    auto array = [&](const char* name) -> std::optional<platform::MultiArray> {
        if (!output) return std::nullopt;
        auto value = output->featureValue(name);
        return value ? value->multiArrayValue() : std::nullopt;
    };
    auto logits = array(FeatureName::logits);
    if (!logits) return std::nullopt;
    DecodingCache cache{array(FeatureName::keyCacheUpdates), array(FeatureName::valueCacheUpdates),
                        array(FeatureName::alignmentHeadsWeights)};
    return std::make_pair(std::move(*logits), std::move(cache));
}

std::vector<std::shared_ptr<LogitsFiltering>> TextDecoder::createLogitsFilters(
    const DecodingOptions& options, int initialPromptIndex, const std::shared_ptr<WhisperTokenizer>& tokenizer) {
    std::vector<std::shared_ptr<LogitsFiltering>> filters;
    if (auto own = logitsFilters()) filters = std::move(*own);
    const SpecialTokens& special = tokenizer->specialTokens();
    if (options.suppressBlank) filters.push_back(std::make_shared<SuppressBlankFilter>(special, initialPromptIndex));
    if (!options.suppressTokens.empty()) {
        std::vector<int> ids;
        for (int token : tokenIds(options.suppressTokens, "suppressTokens")) {
            if (token < special.specialTokenBegin) ids.push_back(token);
        }
        filters.push_back(std::make_shared<SuppressTokensFilter>(std::move(ids)));
    }
    if (!options.withoutTimestamps) {
        std::optional<int> maxInitialTimestampIndex;
        if (options.maxInitialTimestamp) {
            const float steps = *options.maxInitialTimestamp / platform::audiowindow::secondsPerEncoderFrame;
            // A value outside the integer range cannot be an index; it is left out.
            if (std::isfinite(steps) && steps > -2147483648.0f && steps < 2147483648.0f) {
                maxInitialTimestampIndex = static_cast<int>(steps);
            }
        }
        filters.push_back(std::make_shared<TimestampRulesFilter>(special, initialPromptIndex, maxInitialTimestampIndex,
                                                                 isModelMultilingual()));
    }
    return filters;
}

void TextDecoder::debugCaches(const DecodingInputs& decoderInputs, int /*tokenIndex*/) const {
    if (!debugEnabled()) return;
    auto element = [](const platform::MultiArray& array, std::int64_t index) {
        return index >= 0 && index < array.count() ? array.value(index) : 0.0;
    };
    using platform::numbertext::fixed;
    halvex::Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
    halvex::Logging::debug("Cache Length: " + fixed(element(decoderInputs.cacheLength(), 0), 0, 2) +
                           " Input Token: " + fixed(element(decoderInputs.inputIds(), 0), 0, 4));
    halvex::Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
    for (int i = 0; i < 4; ++i) {
        halvex::Logging::debug(
            fixed(element(decoderInputs.keyCache(), i), 6, 9) + " | " +
            fixed(element(decoderInputs.valueCache(), i), 6, 9) + " | " +
            fixed(element(decoderInputs.alignmentWeights(), std::int64_t{i} * platform::audiowindow::encoderFrames), 6,
                  9) +
            " | " + fixed(element(decoderInputs.kvCacheUpdateMask(), i), 0, 11) + " | " +
            fixed(element(decoderInputs.decoderKeyPaddingMask(), i), 0, 12) + " | " + std::to_string(i));
    }
}

void TextDecoder::waitForProgressCallbacks() { progressDispatcher_.waitUntilIdle(); }

// The state of one decodeText call, shared by its steps.
struct TextDecoder::DecodeCall {
    DecodeCall(const std::shared_ptr<AudioEncoderOutputType>& encoderOutput, TokenSampling& sampler,
               const DecodingOptions& options, const TranscriptionProgressCallback& callback,
               std::shared_ptr<WhisperTokenizer> tokenizer)
        : encoderOutput(encoderOutput),
          sampler(sampler),
          options(options),
          callback(callback),
          tokenizer(std::move(tokenizer)),
          special(this->tokenizer->specialTokens()) {}

    const std::shared_ptr<AudioEncoderOutputType>& encoderOutput;
    TokenSampling& sampler;
    const DecodingOptions& options;
    const TranscriptionProgressCallback& callback;
    std::shared_ptr<WhisperTokenizer> tokenizer;
    SpecialTokens special;
    // The window's arrays; absent when the inputs are of another kind, which the first step refuses.
    DecodingInputs* inputs = nullptr;
    bool logDebug = false;
    std::int64_t promptCount = 0;
    std::int64_t loopCount = 0;
    std::vector<int> currentTokens;
    std::vector<float> logProbs;
    // The token the model predicted at the last step.
    int nextToken = 0;
    std::vector<std::shared_ptr<LogitsFiltering>> filters;
    halvex::UUID callId;
    std::shared_ptr<CallState> callState = std::make_shared<CallState>();
    TranscriptionTimings timings;
    bool firstTokenLogProbTooLow = false;
    bool hasAlignment = false;
    std::int64_t lastAlignmentRow = 0;
    // The step's model inputs: the same arrays at every step, so the record is made once.
    std::shared_ptr<TextDecoderInputType> stepInput;
};

namespace {

// Where the result lies in the finalized tokens: from the first start-of-transcript token (or
// the beginning) to the first end token, both included.
std::pair<std::size_t, std::size_t> transcriptSpan(const SamplingResult& final, const SpecialTokens& special) {
    const auto firstOf = [&](int wanted) -> std::optional<std::size_t> {
        const auto found = std::find(final.tokens.begin(), final.tokens.end(), wanted);
        if (found == final.tokens.end()) return std::nullopt;
        return static_cast<std::size_t>(found - final.tokens.begin());
    };
    if (final.tokens.empty() || final.logProbs.size() < final.tokens.size()) {
        throw WhisperError::decodingFailed(std::string(WhisperErrorMessage::samplerReturnedNoTokensOrLogProbs));
    }
    const std::size_t start = firstOf(special.startOfTranscriptToken).value_or(0);
    // A sampler that does not close the sequence with the end token gives everything it returned.
    const std::size_t end = std::max(start, firstOf(special.endToken).value_or(final.tokens.size() - 1));
    return {start, end};
}

// Rows of the alignment weights that no step of this call wrote (the end token's among them)
// are cleared, so that no weights of an earlier window stay behind in them.
void clearUnwrittenAlignmentRows(const platform::MultiArray& alignment, std::int64_t lastWrittenRow, std::size_t end) {
    const std::int64_t rows = alignment.shape()[0];
    const std::int64_t lastRow = std::min<std::int64_t>(static_cast<std::int64_t>(end), rows - 1);
    if (lastRow <= lastWrittenRow) return;
    auto* data = static_cast<std::uint16_t*>(alignment.dataPointer());
    const auto& strides = alignment.strides();
    const std::int64_t columns = alignment.shape()[1];
    for (std::int64_t row = lastWrittenRow + 1; row <= lastRow; ++row) {
        for (std::int64_t k = 0; k < columns; ++k) data[row * strides[0] + k * strides[1]] = 0;
    }
}

// A greedy sampler's temperature to 3 decimal places; the options' for any other sampler.
float samplingTemperature(const TokenSampling& sampler, const DecodingOptions& options) {
    if (const auto* greedy = dynamic_cast<const GreedyTokenSampler*>(&sampler)) {
        return halvex::rounded(greedy->temperature().floatValue(), 3);
    }
    return options.temperature;
}

// The language the options name, else that of the first language token of the result, else
// English; with its log probability (0 where none was sampled).
void setResultLanguage(DecodingResult& result, const std::vector<float>& resultLogProbs, const DecodingOptions& options,
                       const WhisperTokenizer& tokenizer) {
    if (options.language) {
        result.language = *options.language;
        result.languageProbs = {{*options.language, 0.0f}};
        return;
    }
    const auto& languageTokens = tokenizer.allLanguageTokens();
    const auto found =
        std::find_if(result.tokens.begin(), result.tokens.end(), [&](int t) { return languageTokens.contains(t); });
    if (found != result.tokens.end()) {
        result.language = trimmingSpecialTokenCharacters(tokenText(tokenizer, *found));
        result.languageProbs = {
            {result.language, resultLogProbs[static_cast<std::size_t>(found - result.tokens.begin())]}};
    } else {
        result.language = std::string(Constants::defaultLanguageCode);
        result.languageProbs = {{result.language, 0.0f}};
    }
}

}  // namespace

DecodingResult TextDecoder::decodeText(const std::shared_ptr<AudioEncoderOutputType>& encoderOutput,
                                       const std::shared_ptr<DecodingInputsType>& decoderInputs, TokenSampling& sampler,
                                       const DecodingOptions& options, const TranscriptionProgressCallback& callback) {
    DecodeCall call = beginDecoding(encoderOutput, *decoderInputs, sampler, options, callback);
    EarlyStopScope earlyStop(earlyStopActor_, call.callId, call.callState);
    for (std::int64_t tokenIndex = 0; tokenIndex < call.loopCount; ++tokenIndex) {
        if (!decodeStep(call, tokenIndex)) break;
    }
    earlyStop.close(true);
    return assembleResult(call);
}

TextDecoder::DecodeCall TextDecoder::beginDecoding(const std::shared_ptr<AudioEncoderOutputType>& encoderOutput,
                                                   DecodingInputsType& decoderInputs, TokenSampling& sampler,
                                                   const DecodingOptions& options,
                                                   const TranscriptionProgressCallback& callback) {
    auto tokenizer = this->tokenizer();
    if (!tokenizer) throw WhisperError::tokenizerUnavailable();
    const std::vector<int>& prompt = decoderInputs.initialPrompt();
    if (prompt.empty())
        throw WhisperError::prepareDecoderInputsFailed(std::string(WhisperErrorMessage::initialPromptEmpty));

    DecodeCall call(encoderOutput, sampler, options, callback, tokenizer);
    call.inputs = dynamic_cast<DecodingInputs*>(&decoderInputs);
    call.logDebug = debugEnabled();
    call.promptCount = static_cast<std::int64_t>(prompt.size());
    // Room for every token the loop can add, so that no step allocates.
    call.currentTokens.reserve(prompt.size() + Constants::maxTokenContext);
    call.currentTokens = prompt;
    call.logProbs.reserve(call.currentTokens.capacity());
    call.logProbs.assign(prompt.size(), 0.0f);
    call.nextToken = prompt.back();
    call.filters = createLogitsFilters(options, static_cast<int>(call.promptCount), tokenizer);

    // Clamped first, so that no sample length can overflow the bound.
    const std::int64_t sampleLength =
        std::clamp<std::int64_t>(options.sampleLength, std::numeric_limits<int>::min(), maxTokenLoop + 1);
    call.loopCount = std::min<std::int64_t>(call.promptCount + sampleLength - 1, maxTokenLoop);
    halvex::Logging::debug("Running main loop for a maximum of " + std::to_string(call.loopCount) + " iterations");
    return call;
}

bool TextDecoder::decodeStep(DecodeCall& call, std::int64_t tokenIndex) {
    // A stop request ends the window here, before another prediction, and keeps what was decoded
    // so far.
    if (TaskCancellation::isCancelled()) {
        halvex::Logging::debug("Stop requested; ending the window at tokenIndex " + std::to_string(tokenIndex));
        return false;
    }
    const auto stepStart = Clock::now();
    const int token = inputToken(call, tokenIndex);
    writeStepInputs(call, token, tokenIndex);
    Clock::time_point predictionEnd;
    const auto output = predictNextLogits(call, predictionEnd);
    if (!output) return false;
    const platform::MultiArray logits = applyFilters(call, *output->logits);
    const SampledToken sampled = sampleNextToken(call, logits, tokenIndex);
    if (reachedStopCondition(call, sampled, tokenIndex)) return false;
    keepSampledToken(call, sampled, tokenIndex);
    updateCaches(call, *output, tokenIndex);
    reportProgress(call, tokenIndex);
    if (tokenIndex == 0) recordFirstTokenTime(call);

    call.timings.decodingNonPrediction += secondsSince(predictionEnd);
    call.timings.decodingLoop += secondsSince(stepStart);
    call.timings.totalDecodingLoops += 1;
    return !earlyStopActor_.get(call.callId);
}

int TextDecoder::inputToken(DecodeCall& call, std::int64_t tokenIndex) {
    if (tokenIndex >= call.promptCount) return call.nextToken;
    // The prompt is being fed. At its last position the model's own first timestamp replaces a
    // time-zero timestamp of the prefilled prompt.
    int token = call.currentTokens[static_cast<std::size_t>(tokenIndex)];
    const bool replaceTimestamp = tokenIndex == call.promptCount - 1 && token >= call.special.timeTokenBegin &&
                                  call.nextToken >= call.special.timeTokenBegin;
    if (replaceTimestamp) {
        call.currentTokens[static_cast<std::size_t>(tokenIndex)] = call.nextToken;
        token = call.nextToken;
    }
    if (call.logDebug) {
        halvex::Logging::debug(std::string(replaceTimestamp ? "Skipping" : "Forcing") +
                               " prompt tokenIndex: " + std::to_string(tokenIndex) +
                               ", token: " + std::to_string(token) + ", text: " + call.tokenizer->decode({token}));
    }
    return token;
}

void TextDecoder::writeStepInputs(DecodeCall& call, int token, std::int64_t tokenIndex) {
    if (call.inputs == nullptr) {
        throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    }
    int32Data(call.inputs->inputIds(), 1, "input_ids")[0] = token;
    int32Data(call.inputs->cacheLength(), 1, "cache_length")[0] = static_cast<std::int32_t>(tokenIndex);
    if (tokenIndex < 4) debugCaches(*call.inputs, static_cast<int>(tokenIndex));
}

std::shared_ptr<TextDecoderMLMultiArrayOutputType> TextDecoder::predictNextLogits(
    DecodeCall& call, std::chrono::steady_clock::time_point& predictionEnd) {
    if (!call.stepInput) {
        const auto encoderArray = MultiArrayValue::arrayOf(call.encoderOutput.get());
        if (!encoderArray) throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
        const DecodingInputs& inputs = *call.inputs;
        call.stepInput = std::make_shared<TextDecoderMLMultiArrayInputType>(
            inputs.inputIds(), inputs.cacheLength(), inputs.keyCache(), inputs.valueCache(), inputs.kvCacheUpdateMask(),
            *encoderArray, inputs.decoderKeyPaddingMask());
    }
    const auto predictionStart = Clock::now();
    std::shared_ptr<TextDecoderOutputType> output;
    try {
        output = predictLogits(call.stepInput);
    } catch (const halvex::CancellationError&) {
        // The request came between the step's check and the prediction's own.
        if (!TaskCancellation::isCancelled()) throw;
        return nullptr;
    }
    predictionEnd = Clock::now();
    call.timings.decodingPredictions += std::chrono::duration<double>(predictionEnd - predictionStart).count();
    auto stepOutput = std::dynamic_pointer_cast<TextDecoderMLMultiArrayOutputType>(std::move(output));
    if (stepOutput == nullptr || !stepOutput->logits) {
        throw WhisperError::decodingLogitsFailed(std::string(WhisperErrorMessage::unableToDecodeLogits));
    }
    return stepOutput;
}

platform::MultiArray TextDecoder::applyFilters(DecodeCall& call, const platform::MultiArray& logits) {
    const auto filteringStart = Clock::now();
    platform::MultiArray filtered = logits;
    for (const auto& filter : call.filters) filtered = filter->filterLogits(filtered, call.currentTokens);
    call.timings.decodingFiltering += secondsSince(filteringStart);
    return filtered;
}

TextDecoder::SampledToken TextDecoder::sampleNextToken(DecodeCall& call, const platform::MultiArray& logits,
                                                       std::int64_t tokenIndex) {
    const auto samplingStart = Clock::now();
    SamplingResult sampled = call.sampler.update(call.currentTokens, logits, call.logProbs);
    call.timings.decodingSampling += secondsSince(samplingStart);
    if (sampled.tokens.empty() || sampled.logProbs.empty()) {
        throw WhisperError::decodingFailed(std::string(WhisperErrorMessage::samplerReturnedNoTokensOrLogProbs));
    }
    call.nextToken = sampled.tokens.back();
    if (call.logDebug) {
        halvex::Logging::debug("Predicted next tokenIndex: " + std::to_string(tokenIndex + 1) + ", token: " +
                               std::to_string(call.nextToken) + ", text: " + call.tokenizer->decode({call.nextToken}));
    }
    return {sampled.logProbs.back(), sampled.completed};
}

bool TextDecoder::reachedStopCondition(DecodeCall& call, const SampledToken& sampled, std::int64_t tokenIndex) {
    const auto& threshold = call.options.firstTokenLogProbThreshold;
    if (tokenIndex == call.promptCount - 1 && threshold && sampled.logProb < *threshold) {
        call.firstTokenLogProbTooLow = true;
        return true;
    }
    // The end token was sampled; it is not kept.
    if (tokenIndex >= call.promptCount - 1 && sampled.completed) return true;
    return call.currentTokens.size() >= static_cast<std::size_t>(maxTokenLoop);
}

void TextDecoder::keepSampledToken(DecodeCall& call, const SampledToken& sampled, std::int64_t tokenIndex) {
    // Tokens predicted while the prompt is being fed are discarded.
    if (tokenIndex < call.promptCount - 1) return;
    call.currentTokens.push_back(call.nextToken);
    call.logProbs.push_back(sampled.logProb);
}

void TextDecoder::updateCaches(DecodeCall& call, const TextDecoderMLMultiArrayOutputType& output,
                               std::int64_t tokenIndex) {
    const auto cachingStart = Clock::now();
    if (!output.cache || !output.cache->keyCache || !output.cache->valueCache) {
        throw WhisperError::decodingFailed("Decoder output holds no key/value cache updates");
    }
    DecodingInputs& inputs = *call.inputs;
    updateKVCache(inputs.keyCache(), *output.cache->keyCache, inputs.valueCache(), *output.cache->valueCache,
                  static_cast<int>(tokenIndex));
    const platform::MultiArray& padding = inputs.decoderKeyPaddingMask();
    const platform::MultiArray& updateMask = inputs.kvCacheUpdateMask();
    if (tokenIndex + 1 >= padding.count() || tokenIndex + 1 >= updateMask.count()) {
        halvex::fatalError("Decoder masks are shorter than the token loop");
    }
    padding.setValue(tokenIndex + 1, 0.0);
    updateMask.setValue(tokenIndex, 0.0);
    updateMask.setValue(tokenIndex + 1, 1.0);
    if (output.cache->alignmentWeights) {
        updateAlignmentWeights(inputs.alignmentWeights(), *output.cache->alignmentWeights,
                               static_cast<int>(tokenIndex));
        call.hasAlignment = true;
        call.lastAlignmentRow = tokenIndex + 1;
    }
    call.timings.decodingKvCaching += secondsSince(cachingStart);
    call.timings.totalKVUpdateRuns += 1;
}

void TextDecoder::reportProgress(DecodeCall& call, std::int64_t tokenIndex) {
    if (!call.callback) return;
    // The report is built and delivered on the progress thread; the loop does not wait for it.
    auto progressTokens = std::make_shared<std::vector<int>>(call.currentTokens);
    auto progressLogProbs = std::make_shared<std::vector<float>>(call.logProbs);
    const bool mayStop = tokenIndex >= call.promptCount - 1;
    const TranscriptionTimings snapshot = call.timings;
    progressDispatcher_.post([this, callback = call.callback, tokenizer = call.tokenizer, progressTokens,
                              progressLogProbs, snapshot, mayStop, callId = call.callId, callState = call.callState,
                              skipSpecial = call.options.skipSpecialTokens,
                              specialTokenBegin = call.special.specialTokenBegin] {
        TranscriptionProgress progress;
        progress.timings = snapshot;
        progress.text =
            tokenizer->decode(skipSpecial ? textTokens(*progressTokens, specialTokenBegin) : *progressTokens);
        progress.tokens = *progressTokens;
        progress.avgLogprob = mean(*progressLogProbs);
        progress.compressionRatio = TextUtilities::compressionRatio(*progressTokens);
        progress.windowId = 0;
        const std::optional<bool> answer = callback(progress);
        if (answer == false && mayStop) {
            halvex::Logging::debug("Early stopping");
            std::lock_guard lock(callState->mutex);
            if (callState->open) earlyStopActor_.set(true, callId);
        }
    });
}

void TextDecoder::recordFirstTokenTime(DecodeCall& call) {
    call.timings.firstTokenTime = absoluteTimeNow();
    if (call.logDebug) halvex::Logging::debug("Found first token at: " + decodingtext::currentDateText());
}

DecodingResult TextDecoder::assembleResult(DecodeCall& call) {
    std::optional<DecodingCache> cache;
    if (call.inputs != nullptr) {
        cache = DecodingCache{call.inputs->keyCache(), call.inputs->valueCache(),
                              call.hasAlignment ? std::optional(call.inputs->alignmentWeights()) : std::nullopt};
    }

    const SamplingResult final = call.sampler.finalize(call.currentTokens, call.logProbs);
    const auto [start, end] = transcriptSpan(final, call.special);
    if (call.hasAlignment) clearUnwrittenAlignmentRows(call.inputs->alignmentWeights(), call.lastAlignmentRow, end);

    DecodingResult result;
    result.tokens.assign(final.tokens.begin() + static_cast<std::ptrdiff_t>(start),
                         final.tokens.begin() + static_cast<std::ptrdiff_t>(end) + 1);
    const std::vector<float> resultLogProbs(final.logProbs.begin() + static_cast<std::ptrdiff_t>(start),
                                            final.logProbs.begin() + static_cast<std::ptrdiff_t>(end) + 1);
    result.avgLogProb = mean(resultLogProbs);
    result.tokenLogProbs.reserve(result.tokens.size());
    for (std::size_t i = 0; i < result.tokens.size(); ++i) {
        result.tokenLogProbs.push_back({{result.tokens[i], resultLogProbs[i]}});
    }
    result.compressionRatio =
        TextUtilities::compressionRatio(textTokens(result.tokens, call.special.specialTokenBegin));
    result.temperature = samplingTemperature(call.sampler, call.options);
    setResultLanguage(result, resultLogProbs, call.options, *call.tokenizer);

    result.text = call.tokenizer->decode(result.tokens);
    halvex::Logging::debug("Completed window: " + result.text);
    result.noSpeechProb = 0;
    result.cache = std::move(cache);
    result.timings = call.timings;
    result.fallback = DecodingFallback::make(call.options, call.firstTokenLogProbTooLow, result.noSpeechProb,
                                             result.compressionRatio, result.avgLogProb);
    return result;
}

DecodingResult TextDecoder::detectLanguage(const std::shared_ptr<AudioEncoderOutputType>& encoderOutput,
                                           const std::shared_ptr<DecodingInputsType>& decoderInputs,
                                           TokenSampling& sampler, const DecodingOptions& /*options*/,
                                           platform::Float16 /*temperature*/) {
    const auto tokenizer = this->tokenizer();
    if (!tokenizer) throw WhisperError::tokenizerUnavailable();
    const auto logitsDim = [&] {
        const auto model = this->model();
        return halvex::ModelUtilities::getModelOutputDimension(model.get(), FeatureName::logits, 2);
    }();
    if (!logitsDim) throw WhisperError::modelsUnavailable("Failed to read logits size from model");

    std::shared_ptr<LanguageLogitsFilter> filter;
    {
        std::lock_guard lock(mutex_);
        if (!languageLogitsFilter_) {
            languageLogitsFilter_ =
                std::make_shared<LanguageLogitsFilter>(tokenizer->allLanguageTokens(), *logitsDim, 0);
        }
        filter = languageLogitsFilter_;
    }

    const SpecialTokens& special = tokenizer->specialTokens();
    decoderInputs->inputIds().setValue(std::int64_t{0}, static_cast<double>(special.startOfTranscriptToken));
    decoderInputs->cacheLength().setValue(std::int64_t{0}, 0.0);
    halvex::Logging::debug("Detecting language...");

    const auto encoderArray = MultiArrayValue::arrayOf(encoderOutput.get());
    if (!encoderArray) throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
    auto* inputs = dynamic_cast<DecodingInputs*>(decoderInputs.get());
    if (inputs == nullptr) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");

    const auto predictionStart = Clock::now();
    const auto output = predictLogits(std::make_shared<TextDecoderMLMultiArrayInputType>(
        inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(), inputs->valueCache(),
        inputs->kvCacheUpdateMask(), *encoderArray, inputs->decoderKeyPaddingMask()));
    const double predictionTime = secondsSince(predictionStart);
    auto* stepOutput = dynamic_cast<TextDecoderMLMultiArrayOutputType*>(output.get());
    if (stepOutput == nullptr || !stepOutput->logits) {
        halvex::Logging::error(std::string(WhisperErrorMessage::unableToDecodeLogits));
        throw WhisperError::decodingLogitsFailed(std::string(WhisperErrorMessage::unableToDecodeLogitsFromOutput));
    }

    const std::vector<int> prompt = {special.startOfTranscriptToken};
    const platform::MultiArray logits = filter->filterLogits(*stepOutput->logits, prompt);
    const auto samplingStart = Clock::now();
    const SamplingResult sampled = sampler.update(prompt, logits, {0.0f});
    const double samplingTime = secondsSince(samplingStart);
    if (sampled.tokens.empty()) {
        throw WhisperError::decodingFailed(std::string(WhisperErrorMessage::samplerReturnedNoTokens));
    }

    DecodingResult result;
    const auto& languageTokens = tokenizer->allLanguageTokens();
    for (std::size_t k = 0; k < sampled.tokens.size(); ++k) {
        if (!languageTokens.contains(sampled.tokens[k]) || k >= sampled.logProbs.size()) continue;
        result.languageProbs[trimmingSpecialTokenCharacters(tokenText(*tokenizer, sampled.tokens[k]))] =
            sampled.logProbs[k];
    }
    std::string language = trimmingSpecialTokenCharacters(tokenText(*tokenizer, sampled.tokens.back()));
    if (Constants::languageCodes().contains(language)) {
        halvex::Logging::debug("Detected language: " + language);
    } else {
        halvex::Logging::error("Detected language " + language + " is not supported, defaulting to " +
                               std::string(Constants::defaultLanguageCode));
        language = std::string(Constants::defaultLanguageCode);
    }
    result.language = std::move(language);
    TranscriptionTimings timings;
    timings.decodingPredictions = predictionTime;
    timings.decodingSampling = samplingTime;
    result.timings = timings;
    return result;
}

}  // namespace murmex
