#pragma once

// Normalizers: rewrite the raw text of one section of input before it is pre-tokenized.

#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "HalvexCore/External/Tokenizers/TextOperations.h"

namespace halvex {

class Config;

class Normalizer {
public:
    virtual ~Normalizer() = default;
    virtual text::Text normalize(text::TextView text) const = 0;
    text::Text callAsFunction(text::TextView text) const { return normalize(text); }
    text::Text operator()(text::TextView text) const { return normalize(text); }
};

// A pattern and its replacement, shared by the replacing normalizer and decoder.
class StringReplacePattern {
public:
    struct RegularExpression {
        text::Regex regex;
        text::Text replacementTemplate;
    };
    struct Literal {
        text::Text pattern;
        text::Text replacement;
    };

    // Reads `content` and `pattern` (`String` or `Regex`). No value without a text `content`
    // or without either kind of pattern; throws TokenizerFileError "Cannot build regexp from …"
    // when the expression does not compile.
    static std::optional<StringReplacePattern> from(const Config& config);

    explicit StringReplacePattern(RegularExpression value) : value_(std::move(value)) {}
    explicit StringReplacePattern(Literal value) : value_(std::move(value)) {}

    // Every occurrence (plain search) or every match (template replacement) replaced.
    text::Text replace(text::TextView text) const;

    const std::variant<RegularExpression, Literal>& value() const { return value_; }

private:
    std::variant<RegularExpression, Literal> value_;
};

enum class NormalizerType {
    Sequence,
    Prepend,
    Replace,
    Lowercase,
    NFD,
    NFC,
    NFKD,
    NFKC,
    Bert,
    BertNormalizer,
    Precompiled,
    StripAccents,
    Strip,
    None,  // the empty type text
};

std::optional<NormalizerType> normalizerType(text::TextView name);

class NormalizerSequence : public Normalizer {
public:
    explicit NormalizerSequence(const Config& config);
    text::Text normalize(text::TextView text) const override;
    const std::vector<std::unique_ptr<Normalizer>>& normalizers() const { return normalizers_; }

private:
    std::vector<std::unique_ptr<Normalizer>> normalizers_;
};

class PrependNormalizer : public Normalizer {
public:
    explicit PrependNormalizer(const Config& config);
    text::Text normalize(text::TextView text) const override;

private:
    text::Text prepend_;
};

class ReplaceNormalizer : public Normalizer {
public:
    explicit ReplaceNormalizer(const Config& config);
    text::Text normalize(text::TextView text) const override;

private:
    std::optional<StringReplacePattern> pattern_;
};

class LowercaseNormalizer : public Normalizer {
public:
    explicit LowercaseNormalizer(const Config&) {}
    text::Text normalize(text::TextView text) const override;
};

class NFDNormalizer : public Normalizer {
public:
    explicit NFDNormalizer(const Config&) {}
    text::Text normalize(text::TextView text) const override;
};

class NFCNormalizer : public Normalizer {
public:
    explicit NFCNormalizer(const Config&) {}
    text::Text normalize(text::TextView text) const override;
};

class NFKDNormalizer : public Normalizer {
public:
    explicit NFKDNormalizer(const Config&) {}
    text::Text normalize(text::TextView text) const override;
};

class NFKCNormalizer : public Normalizer {
public:
    explicit NFKCNormalizer(const Config&) {}
    text::Text normalize(text::TextView text) const override;
};

class BertNormalizer : public Normalizer {
public:
    explicit BertNormalizer(const Config& config);
    text::Text normalize(text::TextView text) const override;

    text::Text cleanText(text::TextView text) const;
    text::Text handleChineseChars(text::TextView text) const;
    text::Text stripAccents(text::TextView text) const;

    bool shouldCleanText() const { return shouldCleanText_; }
    bool shouldHandleChineseChars() const { return shouldHandleChineseChars_; }
    bool shouldStripAccents() const { return shouldStripAccents_; }
    bool shouldLowercase() const { return shouldLowercase_; }

private:
    bool shouldCleanText_;
    bool shouldHandleChineseChars_;
    bool shouldStripAccents_;
    bool shouldLowercase_;
};

class PrecompiledNormalizer : public Normalizer {
public:
    explicit PrecompiledNormalizer(const Config&) {}
    text::Text normalize(text::TextView text) const override;
};

// Unicode NFKC, exactly as the "NFKC" normalizer: it removes no accents.
class StripAccentsNormalizer : public Normalizer {
public:
    explicit StripAccentsNormalizer(const Config&) {}
    text::Text normalize(text::TextView text) const override;
};

class StripNormalizer : public Normalizer {
public:
    explicit StripNormalizer(const Config& config);
    text::Text normalize(text::TextView text) const override;

private:
    bool leftStrip_;
    bool rightStrip_;
};

struct NormalizerFactory {
    // No normalizer for a section without a text `type`. Throws TokenizerFileError for an
    // unsupported type or a malformed section.
    static std::unique_ptr<Normalizer> fromConfig(const Config& config);
};

// True when the first scalar of a character lies in the CJK ideograph blocks that the
// WordPiece tokenizers space out.
bool isChineseCharacter(char32_t c);
// `text` with a space before and after each such character.
text::Text spaceChineseCharacters(text::TextView text);

}  // namespace halvex
