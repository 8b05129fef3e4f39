#pragma once

// The tokenizer classes the hub loader can choose by the configuration's class name.

#include <functional>
#include <memory>
#include <string>

#include "HalvexCore/External/Tokenizers/PreTrainedTokenizer.h"

namespace halvex {

class PreTrainedTokenizerClasses {
public:
    PreTrainedTokenizerClasses() = delete;

    using Factory = std::function<std::unique_ptr<PreTrainedTokenizer>(const Config& tokenizerConfig,
                                                                       const Config& tokenizerData, bool strict)>;

    // The class registered for a name (matched exactly, after the caller removed "Fast"), or
    // none. One row: "LlamaTokenizer".
    static const Factory* tokenizerClass(const std::string& className);
};

}  // namespace halvex
