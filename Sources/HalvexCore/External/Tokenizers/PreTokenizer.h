#pragma once

// Pre-tokenizers: cut one normalized section of input into the pieces that the tokenization
// model encodes one by one; some also rewrite the pieces.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "HalvexCore/External/Tokenizers/TextOperations.h"

namespace halvex {

class Config;

enum class PreTokenizerOption : uint8_t {
    // The text being cut is the first section of the input.
    firstSection = 1,
};

// A set of PreTokenizerOption values.
class PreTokenizerOptions {
public:
    PreTokenizerOptions() = default;
    PreTokenizerOptions(std::initializer_list<PreTokenizerOption> options) {
        for (auto option : options) insert(option);
    }
    void insert(PreTokenizerOption option) { bits_ |= static_cast<uint8_t>(option); }
    bool contains(PreTokenizerOption option) const { return (bits_ & static_cast<uint8_t>(option)) != 0; }
    bool empty() const { return bits_ == 0; }
    bool operator==(const PreTokenizerOptions&) const = default;

private:
    uint8_t bits_ = 0;
};

class PreTokenizer {
public:
    virtual ~PreTokenizer() = default;
    virtual std::vector<text::Text> preTokenize(text::TextView text, PreTokenizerOptions options = {}) const = 0;
    // The concatenation, in order, of the pieces of each text.
    std::vector<text::Text> preTokenize(const std::vector<text::Text>& texts, PreTokenizerOptions options = {}) const;
    std::vector<text::Text> callAsFunction(const std::vector<text::Text>& texts,
                                           PreTokenizerOptions options = {}) const {
        return preTokenize(texts, options);
    }
    std::vector<text::Text> callAsFunction(text::TextView text, PreTokenizerOptions options = {}) const {
        return preTokenize(text, options);
    }
};

enum class PreTokenizerType {
    Sequence,
    ByteLevel,
    Punctuation,
    Digits,
    Split,
    Whitespace,
    WhitespaceSplit,
    Metaspace,
    BertPreTokenizer,
    None,  // the empty type text
};

std::optional<PreTokenizerType> preTokenizerType(text::TextView name);

// What a Split pre-tokenizer cuts at: a regular-expression text or a literal text.
class StringSplitPattern {
public:
    struct RegularExpression {
        text::Text pattern;
    };
    struct Literal {
        text::Text text;
    };
    // Reads `pattern` → `String`, then `pattern` → `Regex`; no value when neither is text.
    static std::optional<StringSplitPattern> from(const Config& config);

    explicit StringSplitPattern(RegularExpression value) : value_(std::move(value)) {}
    explicit StringSplitPattern(Literal value) : value_(std::move(value)) {}
    const std::variant<RegularExpression, Literal>& value() const { return value_; }

private:
    std::variant<RegularExpression, Literal> value_;
};

class PreTokenizerSequence : public PreTokenizer {
public:
    explicit PreTokenizerSequence(const Config& config);
    using PreTokenizer::preTokenize;
    std::vector<text::Text> preTokenize(text::TextView text, PreTokenizerOptions options = {}) const override;

private:
    std::vector<std::unique_ptr<PreTokenizer>> preTokenizers_;
};

// Base of the pre-tokenizers whose pieces are the matches of one expression.
class MatchingPreTokenizer : public PreTokenizer {
public:
    using PreTokenizer::preTokenize;
    std::vector<text::Text> preTokenize(text::TextView text, PreTokenizerOptions options = {}) const override;
    const text::Text& re() const { return pattern_.text(); }

protected:
    explicit MatchingPreTokenizer(text::TextView expression);

private:
    text::SearchPattern pattern_;
};

class BertPreTokenizer : public MatchingPreTokenizer {
public:
    explicit BertPreTokenizer(const Config& config);
};

class WhitespacePreTokenizer : public MatchingPreTokenizer {
public:
    explicit WhitespacePreTokenizer(const Config& config);
};

class PunctuationPreTokenizer : public MatchingPreTokenizer {
public:
    explicit PunctuationPreTokenizer(const Config& config);
};

class DigitsPreTokenizer : public MatchingPreTokenizer {
public:
    explicit DigitsPreTokenizer(const Config& config);
};

class MetaspacePreTokenizer : public PreTokenizer {
public:
    enum class PrependScheme { first, never, always };

    explicit MetaspacePreTokenizer(const Config& config);
    using PreTokenizer::preTokenize;
    std::vector<text::Text> preTokenize(text::TextView text, PreTokenizerOptions options = {}) const override;

    bool addPrefixSpace() const { return addPrefixSpace_; }
    const text::Text& replacement() const { return replacement_; }
    const text::Text& stringReplacement() const { return stringReplacement_; }
    PrependScheme prependScheme() const { return prependScheme_; }

private:
    bool addPrefixSpace_;
    text::Text replacement_;
    text::Text stringReplacement_;
    PrependScheme prependScheme_;
    std::optional<text::SearchPattern> splitPattern_;
};

class ByteLevelPreTokenizer : public PreTokenizer {
public:
    explicit ByteLevelPreTokenizer(const Config& config);
    using PreTokenizer::preTokenize;
    std::vector<text::Text> preTokenize(text::TextView text, PreTokenizerOptions options = {}) const override;

    bool addPrefixSpace() const { return addPrefixSpace_; }
    bool trimOffsets() const { return trimOffsets_; }
    bool useRegex() const { return useRegex_; }

private:
    bool addPrefixSpace_;
    bool trimOffsets_;
    bool useRegex_;
};

class SplitPreTokenizer : public PreTokenizer {
public:
    explicit SplitPreTokenizer(const Config& config);
    using PreTokenizer::preTokenize;
    std::vector<text::Text> preTokenize(text::TextView text, PreTokenizerOptions options = {}) const override;

private:
    std::optional<StringSplitPattern> pattern_;
    bool invert_;
    std::optional<text::SearchPattern> search_;
};

struct PreTokenizerFactory {
    // No pre-tokenizer for a section without a text `type`. Throws TokenizerFileError for an
    // unsupported type or a malformed section.
    static std::unique_ptr<PreTokenizer> fromConfig(const Config& config);
};

// The byte-level characters of the UTF-8 bytes of `text`, appended to `out`.
void appendByteLevel(text::TextView text, text::Text& out);

}  // namespace halvex
