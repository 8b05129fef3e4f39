#include "HalvexCore/External/Tokenizers/LlamaPreTrainedTokenizer.h"

#include "HalvexCore/External/Tokenizers/TokenizerError.h"

namespace halvex {

using text::Text;
using text::TextView;

namespace {

constexpr const char16_t* kMetaspace = u"\u2581";

Config textConfig(const Text& t) { return Config(BinaryDistinctString(t)); }

Config templateItem(const char* kind, const Config& id, int typeId) {
    return Config::makeDictionary({{kind, Config::makeDictionary({{"id", id}, {"type_id", Config(typeId)}})}});
}

}  // namespace

std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig, const Config& processorConfig) {
    auto current = PostProcessorFactory::fromConfig(processorConfig);
    if (dynamic_cast<const TemplateProcessing*>(current.get())) return std::nullopt;

    bool addBos = tokenizerConfig["addBosToken"].boolean().value_or(false);
    auto bos = addedTokenAsString(tokenizerConfig["bosToken"]);
    if (addBos && !bos) throw TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil");
    bool addEos = tokenizerConfig["addEosToken"].boolean().value_or(false);
    auto eos = addedTokenAsString(tokenizerConfig["eosToken"]);
    if (addEos && !eos) throw TokenizerError::mismatchedConfig("add_eos_token is True but eos_token is nil");

    Config::Array single;
    if (addBos) single.push_back(templateItem("SpecialToken", textConfig(*bos), 0));
    single.push_back(templateItem("Sequence", Config("A"), 0));
    if (addEos) single.push_back(templateItem("SpecialToken", textConfig(*eos), 0));
    Config::Array pair = single;
    if (addBos) pair.push_back(templateItem("SpecialToken", textConfig(*bos), 1));
    pair.push_back(templateItem("Sequence", Config("B"), 1));
    if (addEos) pair.push_back(templateItem("SpecialToken", textConfig(*eos), 1));
    return Config::makeDictionary({{"type", Config("TemplateProcessing")},
                                   {"single", Config(std::move(single))},
                                   {"pair", Config(std::move(pair))}});
}

Config LlamaPreTrainedTokenizer::editedTokenizerData(const Config& tokenizerConfig, const Config& tokenizerData) {
    bool legacy = tokenizerConfig["legacy"].boolean().value_or(true);
    Config::Dictionary data;
    if (const auto* entries = tokenizerData.dictionary()) data = *entries;
    if (!legacy) {
        data.erase(BinaryDistinctString("normalizer"));
        data.insert_or_assign(BinaryDistinctString("pre_tokenizer"),
                              Config::makeDictionary({{"type", Config("Metaspace")},
                                                      {"replacement", textConfig(kMetaspace)},
                                                      {"add_prefix_space", Config(true)},
                                                      {"prepend_scheme", Config("first")}}));
    }
    if (auto processor = maybeUpdatePostProcessor(tokenizerConfig, tokenizerData["postProcessor"]))
        data.insert_or_assign(BinaryDistinctString("post_processor"), *processor);
    return Config(std::move(data));
}

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                                   bool strict)
    : PreTrainedTokenizer(tokenizerConfig, editedTokenizerData(tokenizerConfig, tokenizerData), strict),
      isLegacy_(tokenizerConfig["legacy"].boolean().value_or(true)) {}

std::vector<Text> LlamaPreTrainedTokenizer::tokenize(TextView text) const {
    if (isLegacy_ || text.empty()) return PreTrainedTokenizer::tokenize(text);
    Text marked = kMetaspace;
    marked += text::replacingOccurrences(text, kMetaspace, u" ");
    std::vector<Text> tokens = PreTrainedTokenizer::tokenize(TextView(marked));
    if (tokens.size() > 1 && tokens[0] == kMetaspace && specialTokens().contains(tokens[1]))
        tokens.erase(tokens.begin());
    return tokens;
}

}  // namespace halvex
