#include "HalvexCore/External/Tokenizers/TokenizerModel.h"

#include <cstdio>
#include <map>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/BPETokenizer.h"
#include "HalvexCore/External/Tokenizers/BertTokenizer.h"
#include "HalvexCore/External/Tokenizers/ComponentConfig.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"
#include "HalvexCore/External/Tokenizers/UnigramTokenizer.h"

namespace halvex {

namespace {

template <typename Model>
TokenizerModel::Factory factory() {
    return [](const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenTable& addedTokens) {
        return std::unique_ptr<PreTrainedTokenizerModel>(
            std::make_unique<Model>(tokenizerConfig, tokenizerData, addedTokens));
    };
}

const std::map<std::string, TokenizerModel::Factory>& registry() {
    static const std::map<std::string, TokenizerModel::Factory> table = {
        {"BertTokenizer", factory<BertTokenizer>()},          {"CodeGenTokenizer", factory<BPETokenizer>()},
        {"CodeLlamaTokenizer", factory<BPETokenizer>()},      {"CohereTokenizer", factory<BPETokenizer>()},
        {"DistilbertTokenizer", factory<BertTokenizer>()},    {"DistilBertTokenizer", factory<BertTokenizer>()},
        {"FalconTokenizer", factory<BPETokenizer>()},         {"GemmaTokenizer", factory<BPETokenizer>()},
        {"GPT2Tokenizer", factory<BPETokenizer>()},           {"LlamaTokenizer", factory<BPETokenizer>()},
        {"RobertaTokenizer", factory<BPETokenizer>()},        {"T5Tokenizer", factory<T5Tokenizer>()},
        {"TokenizersBackend", factory<BPETokenizer>()},       {"PreTrainedTokenizer", factory<BPETokenizer>()},
        {"Qwen2Tokenizer", factory<BPETokenizer>()},          {"WhisperTokenizer", factory<BPETokenizer>()},
        {"XLMRobertaTokenizer", factory<UnigramTokenizer>()},
    };
    return table;
}

}  // namespace

std::string removingFast(std::string className) {
    for (size_t pos; (pos = className.find("Fast")) != std::string::npos;) className.erase(pos, 4);
    return className;
}

const TokenizerModel::Factory* TokenizerModel::registered(const std::string& className) {
    const auto& table = registry();
    auto it = table.find(className);
    return it == table.end() ? nullptr : &it->second;
}

std::unique_ptr<PreTrainedTokenizerModel> TokenizerModel::from(const Config& tokenizerConfig,
                                                               const Config& tokenizerData,
                                                               const AddedTokenTable& addedTokens, bool strict) {
    auto className = tokenizerConfig["tokenizerClass"].string();
    if (!className) throw TokenizerError::missingTokenizerClassInConfig();
    std::string name = removingFast(*className);
    if (const Factory* make = registered(name)) return (*make)(tokenizerConfig, tokenizerData, addedTokens);
    if (strict) throw TokenizerError::unsupportedTokenizer(name);
    std::printf("Warning: Tokenizer model class %s is not registered, falling back to a standard BPE implementation.\n",
                name.c_str());
    std::fflush(stdout);
    return std::make_unique<BPETokenizer>(tokenizerConfig, tokenizerData, addedTokens);
}

std::optional<text::Text> TokenizerModel::unknownToken(const Config& tokenizerConfig) {
    Config unk = tokenizerConfig["unkToken"];
    if (unk.dictionary()) {
        if (auto content = component::textMember(unk, "content")) return content;
    }
    if (const auto* s = unk.binaryDistinctString()) return s->value;
    return std::nullopt;
}

}  // namespace halvex
