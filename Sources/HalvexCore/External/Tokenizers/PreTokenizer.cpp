#include "HalvexCore/External/Tokenizers/PreTokenizer.h"

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/ByteLevelAlphabet.h"
#include "HalvexCore/External/Tokenizers/ComponentConfig.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"

namespace halvex {

using text::Text;
using text::TextView;

namespace {

constexpr const char16_t* kBertExpression =
    u"[^\\s\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+|"
    u"[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]";
constexpr const char16_t* kPunctuationExpression =
    u"[^\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+|"
    u"[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+";
constexpr const char16_t* kWhitespaceExpression = u"\\S+";
constexpr const char16_t* kDigitsExpression = u"[^\\d]+|\\d+";
constexpr const char16_t* kIndividualDigitsExpression = u"[^\\d]+|\\d";

text::SearchPattern compileOrFault(TextView expression) {
    auto pattern = text::SearchPattern::make(expression, text::SearchOptions::regularExpression);
    if (!pattern) throw TokenizerFileError("Cannot build regexp from " + text::toUtf8(expression));
    return std::move(*pattern);
}

}  // namespace

void appendByteLevel(TextView text, Text& out) {
    const auto& encoder = byteEncoder();
    text::forEachUtf8Byte(text, [&](unsigned char byte) { out.push_back(encoder[byte]); });
}

std::vector<Text> PreTokenizer::preTokenize(const std::vector<Text>& texts, PreTokenizerOptions options) const {
    std::vector<Text> result;
    for (const Text& t : texts) {
        auto pieces = preTokenize(TextView(t), options);
        result.insert(result.end(), std::make_move_iterator(pieces.begin()), std::make_move_iterator(pieces.end()));
    }
    return result;
}

std::optional<PreTokenizerType> preTokenizerType(TextView name) {
    static const std::pair<const char16_t*, PreTokenizerType> table[] = {
        {u"Sequence", PreTokenizerType::Sequence},
        {u"ByteLevel", PreTokenizerType::ByteLevel},
        {u"Punctuation", PreTokenizerType::Punctuation},
        {u"Digits", PreTokenizerType::Digits},
        {u"Split", PreTokenizerType::Split},
        {u"Whitespace", PreTokenizerType::Whitespace},
        {u"WhitespaceSplit", PreTokenizerType::WhitespaceSplit},
        {u"Metaspace", PreTokenizerType::Metaspace},
        {u"BertPreTokenizer", PreTokenizerType::BertPreTokenizer},
        {u"", PreTokenizerType::None},
    };
    for (const auto& [text, type] : table)
        if (name == text) return type;
    return std::nullopt;
}

std::unique_ptr<PreTokenizer> PreTokenizerFactory::fromConfig(const Config& config) {
    auto typeName = component::typeOf(config);
    if (!typeName) return nullptr;
    auto type = preTokenizerType(*typeName);
    if (!type || *type == PreTokenizerType::None)
        throw TokenizerFileError("Unsupported PreTokenizer type: " + text::toUtf8(*typeName));
    switch (*type) {
        case PreTokenizerType::Sequence: return std::make_unique<PreTokenizerSequence>(config);
        case PreTokenizerType::ByteLevel: return std::make_unique<ByteLevelPreTokenizer>(config);
        case PreTokenizerType::Punctuation: return std::make_unique<PunctuationPreTokenizer>(config);
        case PreTokenizerType::Digits: return std::make_unique<DigitsPreTokenizer>(config);
        case PreTokenizerType::Split: return std::make_unique<SplitPreTokenizer>(config);
        case PreTokenizerType::Whitespace:
        case PreTokenizerType::WhitespaceSplit: return std::make_unique<WhitespacePreTokenizer>(config);
        case PreTokenizerType::Metaspace: return std::make_unique<MetaspacePreTokenizer>(config);
        case PreTokenizerType::BertPreTokenizer: return std::make_unique<BertPreTokenizer>(config);
        case PreTokenizerType::None: break;
    }
    return nullptr;
}

std::optional<StringSplitPattern> StringSplitPattern::from(const Config& config) {
    Config pattern = config["pattern"];
    if (auto literal = component::textMember(pattern, "String")) return StringSplitPattern(Literal{*literal});
    if (auto expression = component::textMember(pattern, "Regex"))
        return StringSplitPattern(RegularExpression{*expression});
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------

PreTokenizerSequence::PreTokenizerSequence(const Config& config) {
    const auto* members = config["pretokenizers"].array();
    if (!members) throw TokenizerFileError("No pretokenizers in Sequence");
    for (const Config& member : *members) {
        if (auto preTokenizer = PreTokenizerFactory::fromConfig(member))
            preTokenizers_.push_back(std::move(preTokenizer));
    }
}

std::vector<Text> PreTokenizerSequence::preTokenize(TextView text, PreTokenizerOptions options) const {
    std::vector<Text> pieces{Text(text)};
    for (const auto& preTokenizer : preTokenizers_) pieces = preTokenizer->preTokenize(pieces, options);
    return pieces;
}

MatchingPreTokenizer::MatchingPreTokenizer(TextView expression) : pattern_(compileOrFault(expression)) {}

std::vector<Text> MatchingPreTokenizer::preTokenize(TextView text, PreTokenizerOptions) const {
    std::vector<Text> pieces;
    for (const text::Range& r : text::ranges(text, pattern_))
        pieces.emplace_back(text.substr(static_cast<size_t>(r.lower), static_cast<size_t>(r.upper - r.lower)));
    return pieces;
}

BertPreTokenizer::BertPreTokenizer(const Config&) : MatchingPreTokenizer(kBertExpression) {}

WhitespacePreTokenizer::WhitespacePreTokenizer(const Config&) : MatchingPreTokenizer(kWhitespaceExpression) {}

PunctuationPreTokenizer::PunctuationPreTokenizer(const Config&) : MatchingPreTokenizer(kPunctuationExpression) {}

DigitsPreTokenizer::DigitsPreTokenizer(const Config& config)
    : MatchingPreTokenizer(component::flagMember(config, "individualDigits", false) ? kIndividualDigitsExpression
                                                                                    : kDigitsExpression) {}

// ---------------------------------------------------------------------------------------------

MetaspacePreTokenizer::MetaspacePreTokenizer(const Config& config)
    : addPrefixSpace_(component::flagMember(config, "addPrefixSpace", false)),
      replacement_(component::textMember(config, "replacement").value_or(u" ")),
      prependScheme_(PrependScheme::always) {
    stringReplacement_ = component::textMember(config, "strRep").value_or(replacement_);
    if (auto scheme = component::textMember(config, "prependScheme")) {
        if (*scheme == u"first")
            prependScheme_ = PrependScheme::first;
        else if (*scheme == u"never")
            prependScheme_ = PrependScheme::never;
    }
    splitPattern_ = compileOrFault(replacement_);
}

std::vector<Text> MetaspacePreTokenizer::preTokenize(TextView text, PreTokenizerOptions options) const {
    Text normalized = text::replacingOccurrences(text, u" ", stringReplacement_);
    Text prefixed;
    if (addPrefixSpace_ && !text::hasPrefix(normalized, replacement_)) {
        if (prependScheme_ == PrependScheme::always ||
            (prependScheme_ == PrependScheme::first && options.contains(PreTokenizerOption::firstSection)))
            prefixed = stringReplacement_;
    }
    prefixed += normalized;
    return text::split(prefixed, *splitPattern_, text::SplitDelimiterBehavior::mergedWithNext);
}

// ---------------------------------------------------------------------------------------------

ByteLevelPreTokenizer::ByteLevelPreTokenizer(const Config& config)
    : addPrefixSpace_(component::flagMember(config, "addPrefixSpace", false)),
      trimOffsets_(component::flagMember(config, "trimOffsets", true)),
      useRegex_(component::flagMember(config, "useRegex", true)) {}

std::vector<Text> ByteLevelPreTokenizer::preTokenize(TextView text, PreTokenizerOptions) const {
    std::vector<Text> pieces;
    auto emit = [&](TextView piece) {
        Text out;
        out.reserve(piece.size() + 1);
        if (addPrefixSpace_ && (piece.empty() || piece.front() != u' ')) out.push_back(byteEncoder()[' ']);
        appendByteLevel(piece, out);
        pieces.push_back(std::move(out));
    };
    if (!useRegex_) {
        emit(text);
        return pieces;
    }
    static const text::SearchPattern pattern = text::SearchPattern::regularExpression(byteLevelSplitRegex());
    for (const text::Range& r : text::ranges(text, pattern))
        emit(text.substr(static_cast<size_t>(r.lower), static_cast<size_t>(r.upper - r.lower)));
    return pieces;
}

// ---------------------------------------------------------------------------------------------

SplitPreTokenizer::SplitPreTokenizer(const Config& config)
    : pattern_(StringSplitPattern::from(config)), invert_(component::flagMember(config, "invert", false)) {
    if (!pattern_) return;
    if (const auto* literal = std::get_if<StringSplitPattern::Literal>(&pattern_->value()))
        search_ = text::SearchPattern::literal(literal->text);
    else
        search_ = compileOrFault(std::get<StringSplitPattern::RegularExpression>(pattern_->value()).pattern);
}

std::vector<Text> SplitPreTokenizer::preTokenize(TextView text, PreTokenizerOptions) const {
    if (!search_) return {Text(text)};
    bool includeSeparators = search_->isRegularExpression() ? true : !invert_;
    return text::split(text, *search_, includeSeparators);
}

}  // namespace halvex
