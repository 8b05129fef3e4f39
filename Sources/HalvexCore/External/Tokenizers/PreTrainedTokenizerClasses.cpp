#include "HalvexCore/External/Tokenizers/PreTrainedTokenizerClasses.h"

#include <map>

#include "HalvexCore/External/Tokenizers/LlamaPreTrainedTokenizer.h"

namespace halvex {

const PreTrainedTokenizerClasses::Factory* PreTrainedTokenizerClasses::tokenizerClass(const std::string& className) {
    static const std::map<std::string, Factory> tokenizerClasses = {
        {"LlamaTokenizer",
         [](const Config& tokenizerConfig, const Config& tokenizerData,
            bool strict) -> std::unique_ptr<PreTrainedTokenizer> {
             return std::make_unique<LlamaPreTrainedTokenizer>(tokenizerConfig, tokenizerData, strict);
         }},
    };
    auto it = tokenizerClasses.find(className);
    return it == tokenizerClasses.end() ? nullptr : &it->second;
}

}  // namespace halvex
