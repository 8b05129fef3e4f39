#include "HalvexCore/External/Hub/LanguageModelConfigurationFromHub.h"

#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "Platform/IO/FileBytes.h"
#include "Platform/IO/FileHandle.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <fcntl.h>
#include <unistd.h>

#include <thread>

namespace halvex {

namespace {

bool fileExists(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        char32_t value = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (next & 0x3F);
        }
        static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// The whole file as UTF-8 text; absent when it cannot be read or is not UTF-8.
std::optional<std::string> readUtf8Text(const std::filesystem::path& path) {
    const platform::FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    if (platform::readAll(fd, text) != 0 || !isValidUtf8(text)) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> chatTemplate(const std::filesystem::path& folder, const HubApi& hub) {
    const auto jinja = folder / "chat_template.jinja";
    if (fileExists(jinja)) {
        return readUtf8Text(jinja);  // an unreadable template means none; the JSON file is not tried
    }
    const auto json = folder / "chat_template.json";
    if (fileExists(json)) {
        try {
            return hub.configuration(json)["chatTemplate"].string();
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

const std::vector<std::string>& LanguageModelConfigurationFromHub::fileNames() {
    static const std::vector<std::string> names = {"config.json", "tokenizer_config.json", "chat_template.jinja",
                                                   "chat_template.json", "tokenizer.json"};
    return names;
}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(std::string modelName, std::string revision,
                                                                     HubApiWrapper hubApi, std::stop_token stop) {
    std::promise<Configurations> promise;
    configPromise_ = promise.get_future().share();
    std::thread([promise = std::move(promise), modelName = std::move(modelName), revision = std::move(revision),
                 hubApi = std::move(hubApi), stop = std::move(stop)]() mutable {
        try {
            auto folder =
                hubApi.snapshot({modelName, HubApiWrapper::RepoType::models}, revision, fileNames(), {}, stop);
            promise.set_value(loadConfig(folder, hubApi));
        } catch (...) {
            promise.set_exception(translateFetchError(std::current_exception(), modelName));
        }
    }).detach();
}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(std::filesystem::path modelFolder,
                                                                     HubApiWrapper hubApi) {
    std::promise<Configurations> promise;
    configPromise_ = promise.get_future().share();
    std::thread([promise = std::move(promise), modelFolder = std::move(modelFolder),
                 hubApi = std::move(hubApi)]() mutable {
        try {
            promise.set_value(loadConfig(modelFolder, hubApi));
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    }).detach();
}

std::exception_ptr LanguageModelConfigurationFromHub::translateFetchError(std::exception_ptr error,
                                                                          const std::string& modelName) {
    try {
        std::rethrow_exception(error);
    } catch (const UrlError& urlError) {
        if (urlError.code() == UrlError::Code::resourceUnavailable) {
            return std::make_exception_ptr(Hub::HubClientError::resourceNotFound(modelName));
        }
        return std::make_exception_ptr(Hub::HubClientError::networkError(error));
    } catch (...) {
        return error;
    }
}

LanguageModelConfigurationFromHub::Configurations LanguageModelConfigurationFromHub::loadConfig(
    const std::filesystem::path& modelFolder, const HubApiWrapper& hubApi) {
    const HubApi& hub = hubApi.impl();
    Configurations configurations;
    try {
        if (fileExists(modelFolder / "config.json")) {
            configurations.modelConfig = hub.configuration(modelFolder / "config.json");
        }
        if (!fileExists(modelFolder / "tokenizer.json")) {
            throw Hub::HubClientError::configurationMissing("tokenizer.json");
        }
        configurations.tokenizerData = hub.configuration(modelFolder / "tokenizer.json");
        if (fileExists(modelFolder / "tokenizer_config.json")) {
            configurations.tokenizerConfig = hub.configuration(modelFolder / "tokenizer_config.json");
        }
    } catch (const Hub::HubClientError&) {
        throw;
    } catch (...) {
        throw Hub::HubClientError::fileSystemError(std::current_exception());
    }

    if (auto text = chatTemplate(modelFolder, hub)) {
        Config::Dictionary entries;
        if (configurations.tokenizerConfig) {
            if (const auto* dictionary = configurations.tokenizerConfig->dictionary()) {
                entries = *dictionary;
            }
        }
        entries[BinaryDistinctString("chat_template")] = Config(*text);
        configurations.tokenizerConfig = Config(std::move(entries));
    }
    return configurations;
}

std::optional<Config> LanguageModelConfigurationFromHub::tokenizerConfig() const {
    const auto& configurations = configPromise_.get();
    if (!configurations.tokenizerConfig) {
        return std::nullopt;
    }
    const Config& config = *configurations.tokenizerConfig;
    if (config.dictionary() != nullptr && config["tokenizerClass"].string()) {
        return config;
    }
    auto type = modelType();
    if (!type) {
        return config;
    }
    Config::Dictionary entries;
    if (const auto* dictionary = config.dictionary()) {
        entries = *dictionary;
    }
    entries[BinaryDistinctString("tokenizer_class")] = Config(capitalized(*type) + "Tokenizer");
    return Config(std::move(entries));
}

std::optional<std::string> LanguageModelConfigurationFromHub::modelType() const {
    const auto& configurations = configPromise_.get();
    if (!configurations.modelConfig) {
        return std::nullopt;
    }
    return (*configurations.modelConfig)["modelType"].string();
}

std::string LanguageModelConfigurationFromHub::capitalized(const std::string& text) {
    auto unicode = icu::UnicodeString::fromUTF8(text);
    unicode.toTitle(nullptr, icu::Locale::getRoot());
    std::string result;
    unicode.toUTF8String(result);
    return result;
}

}  // namespace halvex
