#pragma once

// Decoders: turn the token strings of a decoded id sequence back into display text pieces
// (the tokenizer's token-string decoder, not the speech model's text decoder).

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "HalvexCore/External/Tokenizers/Normalizer.h"
#include "HalvexCore/External/Tokenizers/TextOperations.h"

namespace halvex {

class Config;

class Decoder {
public:
    virtual ~Decoder() = default;
    virtual std::vector<text::Text> decode(const std::vector<text::Text>& tokens) const = 0;
    std::vector<text::Text> callAsFunction(const std::vector<text::Text>& tokens) const { return decode(tokens); }
};

enum class DecoderType { Sequence, WordPiece, ByteLevel, Replace, ByteFallback, Fuse, Strip, Metaspace, None };

std::optional<DecoderType> decoderType(text::TextView name);

class DecoderSequence : public Decoder {
public:
    explicit DecoderSequence(const Config& config);
    std::vector<text::Text> decode(const std::vector<text::Text>& tokens) const override;

private:
    std::vector<std::unique_ptr<Decoder>> decoders_;
};

class WordPieceDecoder : public Decoder {
public:
    explicit WordPieceDecoder(const Config& config);
    std::vector<text::Text> decode(const std::vector<text::Text>& tokens) const override;
    // Drops the whitespace before punctuation and contractions, and writes " do not" as " don't".
    text::Text cleanup(text::TextView token) const;

    const text::Text& prefix() const { return prefix_; }

private:
    text::Text prefix_;
    bool cleanup_;
    text::Regex re_;
};

class ByteLevelDecoder : public Decoder {
public:
    explicit ByteLevelDecoder(const Config& config);
    ByteLevelDecoder(const Config& config, const std::vector<text::Text>& addedTokens);
    std::vector<text::Text> decode(const std::vector<text::Text>& tokens) const override;

private:
    text::TextSet addedTokens_;  // canonical keys
};

class ReplaceDecoder : public Decoder {
public:
    explicit ReplaceDecoder(const Config& config);
    std::vector<text::Text> decode(const std::vector<text::Text>& tokens) const override;

private:
    std::optional<StringReplacePattern> pattern_;
};

class ByteFallbackDecoder : public Decoder {
public:
    explicit ByteFallbackDecoder(const Config&) {}
    std::vector<text::Text> decode(const std::vector<text::Text>& tokens) const override;
    // The byte of a token written "<0xHH>" with two hexadecimal digits; none for any other token.
    static std::optional<uint8_t> byteValue(text::TextView token);
};

class FuseDecoder : public Decoder {
public:
    explicit FuseDecoder(const Config&) {}
    std::vector<text::Text> decode(const std::vector<text::Text>& tokens) const override;
};

class StripDecoder : public Decoder {
public:
    explicit StripDecoder(const Config& config);
    std::vector<text::Text> decode(const std::vector<text::Text>& tokens) const override;

private:
    text::Text content_;
    int64_t start_;
    int64_t stop_;
};

class MetaspaceDecoder : public Decoder {
public:
    explicit MetaspaceDecoder(const Config& config);
    std::vector<text::Text> decode(const std::vector<text::Text>& tokens) const override;

private:
    bool addPrefixSpace_;
    text::Text replacement_;
};

struct DecoderFactory {
    // No decoder for a section without a text `type`. `addedTokens` reaches only a ByteLevel
    // decoder at the top level. Throws TokenizerFileError for an unsupported type or a
    // malformed section.
    static std::unique_ptr<Decoder> fromConfig(const Config& config,
                                               const std::vector<text::Text>* addedTokens = nullptr);
};

// The text with at most `upto` leading occurrences of the one-character `character` removed.
text::Text trimmingFromStart(text::TextView text, text::TextView character, int64_t upto);
// The text with at most `upto` trailing occurrences of the one-character `character` removed.
text::Text trimmingFromEnd(text::TextView text, text::TextView character, int64_t upto);

}  // namespace halvex
