#include "HalvexCore/External/Tokenizers/Normalizer.h"

#include <unicode/uchar.h>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/ComponentConfig.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"

namespace halvex {

using text::Text;
using text::TextView;

namespace {

// Walks a text character by character, handing each character and its first scalar to `f`.
template <typename F>
void forEachCharacter(TextView text, F&& f) {
    std::vector<int32_t> b = text::characterBoundaries(text);
    for (size_t i = 0; i + 1 < b.size(); ++i) {
        TextView character = text.substr(static_cast<size_t>(b[i]), static_cast<size_t>(b[i + 1] - b[i]));
        f(character, text::codePointAt(character, 0));
    }
}

}  // namespace

bool isChineseCharacter(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
           (c >= 0x2A700 && c <= 0x2CEAF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

// ---------------------------------------------------------------------------------------------
// StringReplacePattern

std::optional<StringReplacePattern> StringReplacePattern::from(const Config& config) {
    auto content = component::textMember(config, "content");
    if (!content) return std::nullopt;
    Config pattern = config["pattern"];
    if (auto literal = component::textMember(pattern, "String")) {
        return StringReplacePattern(Literal{*literal, *content});
    }
    if (auto expression = component::textMember(pattern, "Regex")) {
        auto regex = text::Regex::compile(*expression);
        if (!regex) throw TokenizerFileError("Cannot build regexp from " + text::toUtf8(*expression));
        return StringReplacePattern(RegularExpression{std::move(*regex), *content});
    }
    return std::nullopt;
}

Text StringReplacePattern::replace(TextView text) const {
    if (const auto* literal = std::get_if<Literal>(&value_)) {
        return text::replacingOccurrences(text, literal->pattern, literal->replacement);
    }
    const auto& expression = std::get<RegularExpression>(value_);
    return expression.regex.replaceAll(text, expression.replacementTemplate);
}

// ---------------------------------------------------------------------------------------------
// Types and factory

std::optional<NormalizerType> normalizerType(TextView name) {
    static const std::pair<const char16_t*, NormalizerType> table[] = {
        {u"Sequence", NormalizerType::Sequence},
        {u"Prepend", NormalizerType::Prepend},
        {u"Replace", NormalizerType::Replace},
        {u"Lowercase", NormalizerType::Lowercase},
        {u"NFD", NormalizerType::NFD},
        {u"NFC", NormalizerType::NFC},
        {u"NFKD", NormalizerType::NFKD},
        {u"NFKC", NormalizerType::NFKC},
        {u"Bert", NormalizerType::Bert},
        {u"BertNormalizer", NormalizerType::BertNormalizer},
        {u"Precompiled", NormalizerType::Precompiled},
        {u"StripAccents", NormalizerType::StripAccents},
        {u"Strip", NormalizerType::Strip},
        {u"", NormalizerType::None},
    };
    for (const auto& [text, type] : table)
        if (name == text) return type;
    return std::nullopt;
}

std::unique_ptr<Normalizer> NormalizerFactory::fromConfig(const Config& config) {
    auto typeName = component::typeOf(config);
    if (!typeName) return nullptr;
    auto type = normalizerType(*typeName);
    if (!type || *type == NormalizerType::None)
        throw TokenizerFileError("Unsupported Normalizer type: " + text::toUtf8(*typeName));
    switch (*type) {
        case NormalizerType::Sequence: return std::make_unique<NormalizerSequence>(config);
        case NormalizerType::Prepend: return std::make_unique<PrependNormalizer>(config);
        case NormalizerType::Replace: return std::make_unique<ReplaceNormalizer>(config);
        case NormalizerType::Lowercase: return std::make_unique<LowercaseNormalizer>(config);
        case NormalizerType::NFD: return std::make_unique<NFDNormalizer>(config);
        case NormalizerType::NFC: return std::make_unique<NFCNormalizer>(config);
        case NormalizerType::NFKD: return std::make_unique<NFKDNormalizer>(config);
        case NormalizerType::NFKC: return std::make_unique<NFKCNormalizer>(config);
        case NormalizerType::Bert:
        case NormalizerType::BertNormalizer: return std::make_unique<BertNormalizer>(config);
        case NormalizerType::Precompiled: return std::make_unique<PrecompiledNormalizer>(config);
        case NormalizerType::StripAccents: return std::make_unique<StripAccentsNormalizer>(config);
        case NormalizerType::Strip: return std::make_unique<StripNormalizer>(config);
        case NormalizerType::None: break;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Normalizers

NormalizerSequence::NormalizerSequence(const Config& config) {
    const auto* members = config["normalizers"].array();
    if (!members) throw TokenizerFileError("No normalizers in Sequence");
    for (const Config& member : *members) {
        if (auto normalizer = NormalizerFactory::fromConfig(member)) normalizers_.push_back(std::move(normalizer));
    }
}

Text NormalizerSequence::normalize(TextView text) const {
    Text current(text);
    for (const auto& normalizer : normalizers_) current = normalizer->normalize(current);
    return current;
}

PrependNormalizer::PrependNormalizer(const Config& config)
    : prepend_(component::textMember(config, "prepend").value_or(Text())) {}

Text PrependNormalizer::normalize(TextView text) const { return prepend_ + Text(text); }

ReplaceNormalizer::ReplaceNormalizer(const Config& config) : pattern_(StringReplacePattern::from(config)) {}

Text ReplaceNormalizer::normalize(TextView text) const { return pattern_ ? pattern_->replace(text) : Text(text); }

Text LowercaseNormalizer::normalize(TextView text) const { return text::lowercased(text); }

Text NFDNormalizer::normalize(TextView text) const { return text::nfd(text); }

Text NFCNormalizer::normalize(TextView text) const { return text::nfc(text); }

Text NFKDNormalizer::normalize(TextView text) const { return text::nfkd(text); }

Text NFKCNormalizer::normalize(TextView text) const { return text::nfkc(text); }

Text StripAccentsNormalizer::normalize(TextView text) const { return text::nfkc(text); }

BertNormalizer::BertNormalizer(const Config& config)
    : shouldCleanText_(component::flagMember(config, "cleanText", true)),
      shouldHandleChineseChars_(component::flagMember(config, "handleChineseChars", true)),
      shouldLowercase_(component::flagMember(config, "lowercase", true)) {
    shouldStripAccents_ = component::flagMember(config, "stripAccents", shouldLowercase_);
}

Text BertNormalizer::normalize(TextView text) const {
    Text current(text);
    if (shouldCleanText_) current = cleanText(current);
    if (shouldHandleChineseChars_) current = handleChineseChars(current);
    if (shouldStripAccents_) current = stripAccents(current);
    if (shouldLowercase_) current = text::lowercased(current);
    return current;
}

Text BertNormalizer::cleanText(TextView text) const {
    Text out;
    out.reserve(text.size());
    forEachCharacter(text, [&](TextView character, char32_t first) {
        if (first == U'\t' || first == U'\n' || first == U'\r') {
            out.push_back(u' ');
            return;
        }
        if (first == 0 || first == 0xFFFD) return;
        switch (u_charType(static_cast<UChar32>(first))) {
            case U_CONTROL_CHAR:
            case U_FORMAT_CHAR:
            case U_SURROGATE:
            case U_PRIVATE_USE_CHAR:
            case U_UNASSIGNED: return;
            default: out.append(character);
        }
    });
    return out;
}

Text spaceChineseCharacters(TextView text) {
    Text out;
    out.reserve(text.size());
    forEachCharacter(text, [&](TextView character, char32_t first) {
        if (isChineseCharacter(first)) {
            out.push_back(u' ');
            out.append(character);
            out.push_back(u' ');
        } else {
            out.append(character);
        }
    });
    return out;
}

Text BertNormalizer::handleChineseChars(TextView text) const { return spaceChineseCharacters(text); }

Text BertNormalizer::stripAccents(TextView text) const {
    Text decomposed = text::nfd(text);
    Text out;
    out.reserve(decomposed.size());
    for (char16_t c : decomposed)
        if (c < 0x300 || c > 0x36F) out.push_back(c);
    return out;
}

Text PrecompiledNormalizer::normalize(TextView text) const {
    Text rebuilt;
    rebuilt.reserve(text.size());
    bool holdsFullwidthTilde = false;
    for (size_t i = 0; i < text.size();) {
        char32_t c = text::codePointAt(text, i);
        size_t length = c >= 0x10000 ? 2 : 1;
        bool removed =
            (c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) || c == 0x7F || c == 0x8F || c == 0x9F;
        bool toSpace = c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x1680 ||
                       (c >= 0x200B && c <= 0x200F) || c == 0x2028 || c == 0x2029 || c == 0x2581 || c == 0xFEFF ||
                       c == 0xFFFD;
        if (c == 0xFF5E) holdsFullwidthTilde = true;
        if (toSpace)
            rebuilt.push_back(u' ');
        else if (!removed)
            rebuilt.append(text.substr(i, length));
        i += length;
    }
    if (!holdsFullwidthTilde) return text::nfkc(rebuilt);
    // Normalize the pieces between fullwidth tildes so that the tildes survive NFKC.
    static const text::SearchPattern tilde =
        *text::SearchPattern::make(u"\uFF5E", text::SearchOptions::regularExpression);
    Text out;
    bool first = true;
    for (const Text& piece : text::split(rebuilt, tilde, false)) {
        if (!first) out.push_back(u'\uFF5E');
        out += text::nfkc(piece);
        first = false;
    }
    return out;
}

StripNormalizer::StripNormalizer(const Config& config)
    : leftStrip_(component::flagMember(config, "stripLeft", true)),
      rightStrip_(component::flagMember(config, "stripRight", true)) {}

Text StripNormalizer::normalize(TextView text) const {
    std::vector<int32_t> b = text::characterBoundaries(text);
    size_t first = 0, last = b.size() - 1;  // characters [first, last)
    auto whiteAt = [&](size_t i) { return text::isWhiteSpace(text::codePointAt(text, static_cast<size_t>(b[i]))); };
    if (leftStrip_)
        while (first < last && whiteAt(first)) ++first;
    if (rightStrip_)
        while (last > first && whiteAt(last - 1)) --last;
    return Text(text.substr(static_cast<size_t>(b[first]), static_cast<size_t>(b[last] - b[first])));
}

}  // namespace halvex
