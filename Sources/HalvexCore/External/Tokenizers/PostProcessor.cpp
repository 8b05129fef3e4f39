#include "HalvexCore/External/Tokenizers/PostProcessor.h"

#include "HalvexCore/External/Tokenizers/ComponentConfig.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"

namespace halvex {

using text::Text;
using text::TextView;
using Tokens = std::vector<Text>;
using OptionalTokens = std::optional<std::vector<Text>>;

namespace {

ProcessorToken requiredToken(const Config& config, const char* key, const char* fault) {
    auto token = config[key].token();
    if (!token) throw TokenizerFileError(fault);
    return ProcessorToken{token->id, token->text.value};
}

void append(Tokens& to, const Tokens& from) { to.insert(to.end(), from.begin(), from.end()); }

}  // namespace

std::optional<PostProcessorType> postProcessorType(TextView name) {
    static const std::pair<const char16_t*, PostProcessorType> table[] = {
        {u"TemplateProcessing", PostProcessorType::TemplateProcessing},
        {u"ByteLevel", PostProcessorType::ByteLevel},
        {u"RobertaProcessing", PostProcessorType::RobertaProcessing},
        {u"BertProcessing", PostProcessorType::BertProcessing},
        {u"Sequence", PostProcessorType::Sequence},
    };
    for (const auto& [text, type] : table)
        if (name == text) return type;
    return std::nullopt;
}

std::unique_ptr<PostProcessor> PostProcessorFactory::fromConfig(const Config& config) {
    auto typeName = component::typeOf(config);
    if (!typeName) return nullptr;
    auto type = postProcessorType(*typeName);
    if (!type) throw TokenizerFileError("Unsupported PostProcessor type: " + text::toUtf8(*typeName));
    switch (*type) {
        case PostProcessorType::TemplateProcessing: return std::make_unique<TemplateProcessing>(config);
        case PostProcessorType::ByteLevel: return std::make_unique<ByteLevelPostProcessor>(config);
        case PostProcessorType::RobertaProcessing: return std::make_unique<RobertaProcessing>(config);
        case PostProcessorType::BertProcessing: return std::make_unique<BertProcessing>(config);
        case PostProcessorType::Sequence: return std::make_unique<SequenceProcessing>(config);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------

TemplateProcessing::TemplateProcessing(const Config& config) {
    const auto* single = config["single"].array();
    if (!single) throw TokenizerFileError("Missing `single` processor configuration");
    const auto* pair = config["pair"].array();
    if (!pair) throw TokenizerFileError("Missing `pair` processor configuration");
    single_ = *single;
    pair_ = *pair;
}

Tokens TemplateProcessing::postProcess(const Tokens& tokens, const OptionalTokens& tokensPair,
                                       bool addSpecialTokens) const {
    const auto& items = tokensPair ? pair_ : single_;
    Tokens result;
    result.reserve(tokens.size() + (tokensPair ? tokensPair->size() : 0) + items.size());
    for (const Config& item : items) {
        if (auto special = component::textMember(item["SpecialToken"], "id")) {
            if (addSpecialTokens) result.push_back(*special);
        } else if (auto sequence = component::textMember(item["Sequence"], "id")) {
            if (*sequence == u"A")
                append(result, tokens);
            else if (*sequence == u"B" && tokensPair)
                append(result, *tokensPair);
        }
    }
    return result;
}

Tokens ByteLevelPostProcessor::postProcess(const Tokens& tokens, const OptionalTokens&, bool) const { return tokens; }

// ---------------------------------------------------------------------------------------------

RobertaProcessing::RobertaProcessing(const Config& config)
    : sep_(requiredToken(config, "sep", "Missing `sep` processor configuration")),
      cls_(requiredToken(config, "cls", "Missing `cls` processor configuration")),
      trimOffset_(component::flagMember(config, "trimOffsets", true)),
      addPrefixSpace_(component::flagMember(config, "addPrefixSpace", true)) {}

size_t RobertaProcessing::findSuffixIndex(TextView text) {
    std::vector<int32_t> b = text::characterBoundaries(text);
    size_t run = 0;
    for (size_t i = b.size() - 1; i > 0; --i) {
        if (!text::isWhiteSpace(text::codePointAt(text, static_cast<size_t>(b[i - 1])))) break;
        ++run;
    }
    return run == 0 ? 0 : run - 1;
}

Text RobertaProcessing::trim(const Text& token) const {
    std::vector<int32_t> b = text::characterBoundaries(token);
    const size_t count = b.size() - 1;
    auto firstScalar = [&](size_t i) { return text::codePointAt(token, static_cast<size_t>(b[i])); };
    size_t first = 0, last = count;
    if (addPrefixSpace_) {
        size_t lead = 0;
        while (lead < count && text::isWhiteSpace(firstScalar(lead))) ++lead;
        if (lead > 0) first = lead - 1;
        size_t trail = 0;
        while (trail < count - first && text::isWhiteSpace(firstScalar(count - 1 - trail))) ++trail;
        if (trail > 0) last = count - (trail - 1);
    } else {
        while (first < last && text::isSpaceSeparatorOrTab(firstScalar(first))) ++first;
        while (last > first && text::isSpaceSeparatorOrTab(firstScalar(last - 1))) --last;
    }
    if (last < first) last = first;
    return token.substr(static_cast<size_t>(b[first]), static_cast<size_t>(b[last] - b[first]));
}

Tokens RobertaProcessing::postProcess(const Tokens& tokens, const OptionalTokens& tokensPair, bool) const {
    Tokens a = tokens;
    OptionalTokens b = tokensPair;
    if (trimOffset_) {
        for (auto& t : a) t = trim(t);
        if (b)
            for (auto& t : *b) t = trim(t);
    }
    Tokens result;
    result.push_back(cls_.text);
    append(result, a);
    result.push_back(sep_.text);
    if (b && !b->empty()) {
        result.push_back(sep_.text);
        append(result, *b);
        result.push_back(sep_.text);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------

BertProcessing::BertProcessing(const Config& config)
    : sep_(requiredToken(config, "sep", "Missing `sep` processor configuration")),
      cls_(requiredToken(config, "cls", "Missing `cls` processor configuration")) {}

Tokens BertProcessing::postProcess(const Tokens& tokens, const OptionalTokens& tokensPair,
                                   bool addSpecialTokens) const {
    Tokens result;
    if (!addSpecialTokens) {
        result = tokens;
        if (tokensPair) append(result, *tokensPair);
        return result;
    }
    result.push_back(cls_.text);
    append(result, tokens);
    result.push_back(sep_.text);
    if (tokensPair && !tokensPair->empty()) {
        append(result, *tokensPair);
        result.push_back(sep_.text);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------

SequenceProcessing::SequenceProcessing(const Config& config) {
    const auto* members = config["processors"].array();
    if (!members) throw TokenizerFileError("Missing `processors` configuration");
    for (const Config& member : *members) {
        if (auto processor = PostProcessorFactory::fromConfig(member)) processors_.push_back(std::move(processor));
    }
}

Tokens SequenceProcessing::postProcess(const Tokens& tokens, const OptionalTokens& tokensPair,
                                       bool addSpecialTokens) const {
    if (processors_.empty()) return tokens;
    Tokens current = processors_.front()->postProcess(tokens, tokensPair, addSpecialTokens);
    for (size_t i = 1; i < processors_.size(); ++i)
        current = processors_[i]->postProcess(current, std::nullopt, addSpecialTokens);
    return current;
}

}  // namespace halvex
