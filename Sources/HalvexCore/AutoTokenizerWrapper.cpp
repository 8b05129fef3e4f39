#include "HalvexCore/AutoTokenizerWrapper.h"

#include "HalvexCore/External/Hub/LanguageModelConfigurationFromHub.h"
#include "HalvexCore/External/Tokenizers/PreTrainedTokenizerClasses.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"
#include "HalvexCore/External/Tokenizers/TokenizerModel.h"

namespace halvex {

namespace {

TokenizerWrapper load(const LanguageModelConfigurationFromHub& loader, bool strict, bool chooseClass) {
    std::optional<Config> tokenizerConfig = loader.tokenizerConfig();
    if (!tokenizerConfig) throw TokenizerError::missingConfig();
    const Config tokenizerData = loader.configPromise().get().tokenizerData;
    if (chooseClass) {
        if (auto className = (*tokenizerConfig)["tokenizerClass"].string()) {
            if (const auto* make = PreTrainedTokenizerClasses::tokenizerClass(removingFast(*className)))
                return TokenizerWrapper((*make)(*tokenizerConfig, tokenizerData, strict));
        }
    }
    return TokenizerWrapper(std::make_shared<PreTrainedTokenizer>(*tokenizerConfig, tokenizerData, strict));
}

}  // namespace

TokenizerWrapper AutoTokenizerWrapper::fromPretrained(const std::string& pretrained, const HubApiWrapper& hubApi,
                                                      bool strict, std::stop_token stop) {
    LanguageModelConfigurationFromHub loader(pretrained, "main", hubApi, std::move(stop));
    return load(loader, strict, true);
}

TokenizerWrapper AutoTokenizerWrapper::fromModelFolder(const std::filesystem::path& modelFolder,
                                                       const HubApiWrapper& hubApi, bool strict) {
    LanguageModelConfigurationFromHub loader(modelFolder, hubApi);
    return load(loader, strict, false);
}

}  // namespace halvex
