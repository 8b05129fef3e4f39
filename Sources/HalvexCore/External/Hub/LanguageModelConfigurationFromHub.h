#pragma once

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/HubApiWrapper.h"

#include <exception>
#include <filesystem>
#include <future>
#include <optional>
#include <stop_token>
#include <string>

namespace halvex {

// Gathers a model's configuration and tokenizer files, from the hub or from a local folder.
// The one load starts at construction, on a thread of its own; every reader waits for that
// load and sees its one result or its one error.
class LanguageModelConfigurationFromHub {
public:
    struct Configurations {
        std::optional<Config> modelConfig;      // config.json
        std::optional<Config> tokenizerConfig;  // tokenizer_config.json with the chat template merged in
        Config tokenizerData;                   // tokenizer.json
    };

    // The files fetched from a model repository, which are also the snapshot's patterns.
    static const std::vector<std::string>& fileNames();

    // Fetches the files of the model repository `modelName` at `revision` into the cache. A stop
    // request ends the fetch; readers then see its cancellation error.
    LanguageModelConfigurationFromHub(std::string modelName, std::string revision, HubApiWrapper hubApi,
                                      std::stop_token stop = {});
    // Reads the files from a local folder.
    LanguageModelConfigurationFromHub(std::filesystem::path modelFolder, HubApiWrapper hubApi);

    // The load's outcome; get() rethrows its error.
    std::shared_future<Configurations> configPromise() const { return configPromise_; }

    // The tokenizer configuration, with "tokenizer_class" filled in from the model type when
    // it names none.
    std::optional<Config> tokenizerConfig() const;
    // config.json's model_type when it is a string.
    std::optional<std::string> modelType() const;

    static Configurations loadConfig(const std::filesystem::path& modelFolder, const HubApiWrapper& hubApi);

    // How errors of the hub fetch reach readers: URL-loading errors become hub client errors
    // (resourceNotFound naming the repository, networkError otherwise); others pass unchanged.
    static std::exception_ptr translateFetchError(std::exception_ptr error, const std::string& modelName);

    // Each word's first letter upper-case, the others lower-case ("whisper" → "Whisper").
    static std::string capitalized(const std::string& text);

private:
    std::shared_future<Configurations> configPromise_;
};

}  // namespace halvex
