#pragma once

// The tokenizer loaders: from a repository on the model hub or from a local folder.

#include <filesystem>
#include <stop_token>
#include <string>

#include "HalvexCore/HubApiWrapper.h"
#include "HalvexCore/TokenizerWrapper.h"

namespace halvex {

struct AutoTokenizerWrapper {
    AutoTokenizerWrapper() = delete;

    // Fetches the tokenizer files of the repository (revision "main") and builds the tokenizer
    // class its configuration names ("LlamaTokenizer" gets the Llama variant), else the
    // pre-trained tokenizer. Throws TokenizerError::missingConfig without a tokenizer
    // configuration; errors of the configuration loader and of the tokenizer pass through. A
    // stop request ends the fetch with its cancellation error.
    static TokenizerWrapper fromPretrained(const std::string& pretrained, const HubApiWrapper& hubApi, bool strict,
                                           std::stop_token stop = {});

    // Reads the tokenizer files of a local folder and builds the pre-trained tokenizer, whatever
    // class the configuration names. Throws as fromPretrained.
    static TokenizerWrapper fromModelFolder(const std::filesystem::path& modelFolder, const HubApiWrapper& hubApi,
                                            bool strict);
};

}  // namespace halvex
