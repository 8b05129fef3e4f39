#include "HalvexCore/External/Tokenizers/Decoder.h"

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/ByteLevelAlphabet.h"
#include "HalvexCore/External/Tokenizers/ComponentConfig.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"

namespace halvex {

using text::Text;
using text::TextView;
using Tokens = std::vector<Text>;

namespace {

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Reads the collected bytes as UTF-8 (each maximal ill-formed subpart becoming U+FFFD).
Text bytesAsText(const std::string& bytes) { return text::fromUtf8(bytes); }

// Appends the byte of one byte-level character, or the character's own UTF-8 when it is not
// in the alphabet, so that text outside the alphabet passes through unchanged.
void appendBytesOfCharacter(TextView character, std::string& bytes) {
    if (character.size() == 1) {
        int b = byteLevelByte(character[0]);
        if (b >= 0) {
            bytes.push_back(static_cast<char>(b));
            return;
        }
    } else {
        // A character canonically equal to one of the alphabet is that character.
        Text composed = text::nfc(character);
        if (composed.size() == 1) {
            int b = byteLevelByte(composed[0]);
            if (b >= 0) {
                bytes.push_back(static_cast<char>(b));
                return;
            }
        }
    }
    text::appendUtf8(character, bytes);
}

Text decodeByteLevel(const Text& joined) {
    std::string bytes;
    bytes.reserve(joined.size());
    if (text::isSimple(joined)) {
        for (char16_t c : joined) appendBytesOfCharacter(TextView(&c, 1), bytes);
    } else {
        std::vector<int32_t> b = text::characterBoundaries(joined);
        for (size_t i = 0; i + 1 < b.size(); ++i)
            appendBytesOfCharacter(
                TextView(joined).substr(static_cast<size_t>(b[i]), static_cast<size_t>(b[i + 1] - b[i])), bytes);
    }
    return bytesAsText(bytes);
}

// The length of the first character when it equals `character` (canonically), else 0.
size_t leadingCharacter(TextView text, TextView character) {
    if (text.empty()) return 0;
    auto next = static_cast<size_t>(text::nextCharacterBoundary(text, 0));
    return text::canonicallyEqual(text.substr(0, next), character) ? next : 0;
}

}  // namespace

Text trimmingFromStart(TextView text, TextView character, int64_t upto) {
    TextView rest = text;
    for (int64_t removed = 0; removed < upto; ++removed) {
        size_t length = leadingCharacter(rest, character);
        if (length == 0) break;
        rest.remove_prefix(length);
    }
    return Text(rest);
}

Text trimmingFromEnd(TextView text, TextView character, int64_t upto) {
    if (upto < 1 || text.empty()) return Text(text);
    // Whether a character boundary lies before a scalar depends only on the text up to that
    // scalar, so the boundaries of the whole text are those of every text that drops whole
    // characters from its end: they are found once, not once per character removed.
    const std::vector<int32_t> boundaries = text::characterBoundaries(text);
    size_t last = boundaries.size() - 1;
    for (int64_t removed = 0; removed < upto && last > 0; ++removed) {
        const auto lower = static_cast<size_t>(boundaries[last - 1]);
        const auto upper = static_cast<size_t>(boundaries[last]);
        if (!text::canonicallyEqual(text.substr(lower, upper - lower), character)) break;
        --last;
    }
    return Text(text.substr(0, static_cast<size_t>(boundaries[last])));
}

std::optional<DecoderType> decoderType(TextView name) {
    static const std::pair<const char16_t*, DecoderType> table[] = {
        {u"Sequence", DecoderType::Sequence},
        {u"WordPiece", DecoderType::WordPiece},
        {u"ByteLevel", DecoderType::ByteLevel},
        {u"Replace", DecoderType::Replace},
        {u"ByteFallback", DecoderType::ByteFallback},
        {u"Fuse", DecoderType::Fuse},
        {u"Strip", DecoderType::Strip},
        {u"Metaspace", DecoderType::Metaspace},
        {u"", DecoderType::None},
    };
    for (const auto& [text, type] : table)
        if (name == text) return type;
    return std::nullopt;
}

std::unique_ptr<Decoder> DecoderFactory::fromConfig(const Config& config, const std::vector<Text>* addedTokens) {
    auto typeName = component::typeOf(config);
    if (!typeName) return nullptr;
    auto type = decoderType(*typeName);
    if (!type || *type == DecoderType::None)
        throw TokenizerFileError("Unsupported Decoder type: " + text::toUtf8(*typeName));
    switch (*type) {
        case DecoderType::Sequence: return std::make_unique<DecoderSequence>(config);
        case DecoderType::WordPiece: return std::make_unique<WordPieceDecoder>(config);
        case DecoderType::ByteLevel:
            return addedTokens ? std::make_unique<ByteLevelDecoder>(config, *addedTokens)
                               : std::make_unique<ByteLevelDecoder>(config);
        case DecoderType::Replace: return std::make_unique<ReplaceDecoder>(config);
        case DecoderType::ByteFallback: return std::make_unique<ByteFallbackDecoder>(config);
        case DecoderType::Fuse: return std::make_unique<FuseDecoder>(config);
        case DecoderType::Strip: return std::make_unique<StripDecoder>(config);
        case DecoderType::Metaspace: return std::make_unique<MetaspaceDecoder>(config);
        case DecoderType::None: break;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------

DecoderSequence::DecoderSequence(const Config& config) {
    const auto* members = config["decoders"].array();
    if (!members) throw TokenizerFileError("No decoders in Sequence");
    for (const Config& member : *members) {
        if (auto decoder = DecoderFactory::fromConfig(member)) decoders_.push_back(std::move(decoder));
    }
}

Tokens DecoderSequence::decode(const Tokens& tokens) const {
    Tokens current = tokens;
    for (const auto& decoder : decoders_) current = decoder->decode(current);
    return current;
}

// ---------------------------------------------------------------------------------------------

WordPieceDecoder::WordPieceDecoder(const Config& config)
    : cleanup_(component::flagMember(config, "cleanup", false)),
      re_(*text::Regex::compile(u"\\s(\\.|\\?|\\!|\\,|'\\s|n't|'m|'s|'ve|'re)")) {
    auto prefix = component::textMember(config, "prefix");
    if (!prefix) throw TokenizerFileError("Missing `prefix` configuration for WordPieceDecoder.");
    prefix_ = std::move(*prefix);
}

Text WordPieceDecoder::cleanup(TextView token) const {
    return text::replacingOccurrences(re_.replaceAll(token, u"$1"), u" do not", u" don't");
}

Tokens WordPieceDecoder::decode(const Tokens& tokens) const {
    Tokens result;
    result.reserve(tokens.size());
    const text::SearchPattern prefix = text::SearchPattern::literal(prefix_);
    for (size_t i = 0; i < tokens.size(); ++i) {
        Text piece;
        if (i == 0) {
            piece = tokens[i];
        } else if (!prefix_.empty() && text::hasPrefix(tokens[i], prefix_)) {
            auto first = text::ranges(tokens[i], prefix);
            piece = tokens[i];
            if (!first.empty())
                piece.erase(static_cast<size_t>(first[0].lower), static_cast<size_t>(first[0].upper - first[0].lower));
        } else {
            piece = u" " + tokens[i];
        }
        result.push_back(cleanup_ ? cleanup(piece) : std::move(piece));
    }
    return result;
}

// ---------------------------------------------------------------------------------------------

ByteLevelDecoder::ByteLevelDecoder(const Config&) {}

ByteLevelDecoder::ByteLevelDecoder(const Config&, const std::vector<Text>& addedTokens) {
    for (const Text& token : addedTokens) addedTokens_.insert(text::canonicalKey(token));
}

Tokens ByteLevelDecoder::decode(const Tokens& tokens) const {
    Tokens result;
    Text pending;
    bool hasPending = false;
    auto flush = [&] {
        if (!hasPending) return;
        result.push_back(decodeByteLevel(pending));
        pending.clear();
        hasPending = false;
    };
    for (const Text& token : tokens) {
        bool added = !addedTokens_.empty() &&
                     (text::isCanonicalKey(token) ? addedTokens_.find(TextView(token)) != addedTokens_.end()
                                                  : addedTokens_.count(text::canonicalKey(token)) > 0);
        if (added) {
            flush();
            result.push_back(token);
        } else {
            pending += token;
            hasPending = true;
        }
    }
    flush();
    return result;
}

// ---------------------------------------------------------------------------------------------

ReplaceDecoder::ReplaceDecoder(const Config& config) : pattern_(StringReplacePattern::from(config)) {}

Tokens ReplaceDecoder::decode(const Tokens& tokens) const {
    if (!pattern_) return tokens;
    Tokens result;
    result.reserve(tokens.size());
    for (const Text& token : tokens) result.push_back(pattern_->replace(token));
    return result;
}

// ---------------------------------------------------------------------------------------------

std::optional<uint8_t> ByteFallbackDecoder::byteValue(TextView token) {
    if (token.size() != 6 || token.substr(0, 3) != u"<0x" || token[5] != u'>') return std::nullopt;
    int high = hexDigit(token[3]);
    int low = hexDigit(token[4]);
    if (high < 0 || low < 0) return std::nullopt;
    return static_cast<uint8_t>(high * 16 + low);
}

Tokens ByteFallbackDecoder::decode(const Tokens& tokens) const {
    Tokens result;
    std::string bytes;
    auto flush = [&] {
        if (bytes.empty()) return;
        result.push_back(bytesAsText(bytes));
        bytes.clear();
    };
    for (const Text& token : tokens) {
        if (auto byte = byteValue(token)) {
            bytes.push_back(static_cast<char>(*byte));
        } else {
            flush();
            result.push_back(token);
        }
    }
    flush();
    return result;
}

Tokens FuseDecoder::decode(const Tokens& tokens) const {
    Text joined;
    for (const Text& token : tokens) joined += token;
    return {joined};
}

// ---------------------------------------------------------------------------------------------

StripDecoder::StripDecoder(const Config& config) {
    auto content = component::textMember(config, "content");
    if (!content || text::characterCount(*content) != 1)
        throw TokenizerFileError("Incorrect StripDecoder configuration: can't parse `content`.");
    auto start = config["start"].integer();
    if (!start) throw TokenizerFileError("Incorrect StripDecoder configuration: can't parse `start`.");
    auto stop = config["stop"].integer();
    if (!stop) throw TokenizerFileError("Incorrect StripDecoder configuration: can't parse `stop`.");
    content_ = std::move(*content);
    start_ = *start;
    stop_ = *stop;
}

Tokens StripDecoder::decode(const Tokens& tokens) const {
    Tokens result;
    result.reserve(tokens.size());
    for (const Text& token : tokens)
        result.push_back(trimmingFromEnd(trimmingFromStart(token, content_, start_), content_, stop_));
    return result;
}

// ---------------------------------------------------------------------------------------------

MetaspaceDecoder::MetaspaceDecoder(const Config& config)
    : addPrefixSpace_(component::flagMember(config, "addPrefixSpace", false)),
      replacement_(component::textMember(config, "replacement").value_or(u"_")) {}

Tokens MetaspaceDecoder::decode(const Tokens& tokens) const {
    Tokens result;
    result.reserve(tokens.size());
    for (const Text& token : tokens) result.push_back(text::replacingOccurrences(token, replacement_, u" "));
    if (addPrefixSpace_ && !result.empty() && text::hasPrefix(result.front(), u" ")) {
        auto next = static_cast<size_t>(text::nextCharacterBoundary(result.front(), 0));
        result.front().erase(0, next);
    }
    return result;
}

}  // namespace halvex
