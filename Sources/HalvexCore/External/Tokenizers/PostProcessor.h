#pragma once

// Post-processors: add the special tokens around the token strings of one input (and of an
// optional paired input) before they are turned into ids.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/TextOperations.h"

namespace halvex {

class PostProcessor {
public:
    virtual ~PostProcessor() = default;
    // `tokensPair` absent means a single input; present (even empty) means a pair.
    virtual std::vector<text::Text> postProcess(const std::vector<text::Text>& tokens,
                                                const std::optional<std::vector<text::Text>>& tokensPair,
                                                bool addSpecialTokens) const = 0;
    std::vector<text::Text> callAsFunction(const std::vector<text::Text>& tokens,
                                           const std::optional<std::vector<text::Text>>& tokensPair,
                                           bool addSpecialTokens) const {
        return postProcess(tokens, tokensPair, addSpecialTokens);
    }
};

enum class PostProcessorType { TemplateProcessing, ByteLevel, RobertaProcessing, BertProcessing, Sequence };

std::optional<PostProcessorType> postProcessorType(text::TextView name);

class TemplateProcessing : public PostProcessor {
public:
    explicit TemplateProcessing(const Config& config);
    std::vector<text::Text> postProcess(const std::vector<text::Text>& tokens,
                                        const std::optional<std::vector<text::Text>>& tokensPair,
                                        bool addSpecialTokens) const override;
    const std::vector<Config>& single() const { return single_; }
    const std::vector<Config>& pair() const { return pair_; }

private:
    std::vector<Config> single_;
    std::vector<Config> pair_;
};

class ByteLevelPostProcessor : public PostProcessor {
public:
    explicit ByteLevelPostProcessor(const Config&) {}
    std::vector<text::Text> postProcess(const std::vector<text::Text>& tokens,
                                        const std::optional<std::vector<text::Text>>& tokensPair,
                                        bool addSpecialTokens) const override;
};

// A special token of a processor: its id and text.
struct ProcessorToken {
    uint64_t id = 0;
    text::Text text;
};

class RobertaProcessing : public PostProcessor {
public:
    explicit RobertaProcessing(const Config& config);
    std::vector<text::Text> postProcess(const std::vector<text::Text>& tokens,
                                        const std::optional<std::vector<text::Text>>& tokensPair,
                                        bool addSpecialTokens) const override;
    // The number of trailing whitespace characters to drop: all but one of the trailing run.
    static size_t findSuffixIndex(text::TextView text);

    const ProcessorToken& sep() const { return sep_; }
    const ProcessorToken& cls() const { return cls_; }
    bool trimOffset() const { return trimOffset_; }
    bool addPrefixSpace() const { return addPrefixSpace_; }

private:
    text::Text trim(const text::Text& token) const;
    ProcessorToken sep_;
    ProcessorToken cls_;
    bool trimOffset_;
    bool addPrefixSpace_;
};

class BertProcessing : public PostProcessor {
public:
    explicit BertProcessing(const Config& config);
    std::vector<text::Text> postProcess(const std::vector<text::Text>& tokens,
                                        const std::optional<std::vector<text::Text>>& tokensPair,
                                        bool addSpecialTokens) const override;

private:
    ProcessorToken sep_;
    ProcessorToken cls_;
};

class SequenceProcessing : public PostProcessor {
public:
    explicit SequenceProcessing(const Config& config);
    std::vector<text::Text> postProcess(const std::vector<text::Text>& tokens,
                                        const std::optional<std::vector<text::Text>>& tokensPair,
                                        bool addSpecialTokens) const override;

private:
    std::vector<std::unique_ptr<PostProcessor>> processors_;
};

struct PostProcessorFactory {
    // No post-processor for a section without a text `type`. Throws TokenizerFileError for an
    // unsupported type or a malformed section.
    static std::unique_ptr<PostProcessor> fromConfig(const Config& config);
};

}  // namespace halvex
