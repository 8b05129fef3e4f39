#include "Murmex/Model/ModelUtilities.h"

#include <algorithm>
#include <iterator>
#include <unordered_set>

#include "HalvexCore/AutoTokenizerWrapper.h"
#include "HalvexCore/HubApiWrapper.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/MurmexLog.h"
#include "Murmex/Model/WhisperTokenizerWrapper.h"

namespace murmex {

ModelSupport ModelUtilities::modelSupport(const std::string& deviceIdentifier,
                                          const std::optional<ModelSupportConfig>& config) {
    return (config ? *config : Constants::fallbackModelSupportConfig()).modelSupport(deviceIdentifier);
}

namespace {

bool hasTokenizer(const std::filesystem::path& folder) {
    const std::filesystem::path file = folder / "tokenizer.json";
    std::error_code error;
    const bool found = std::filesystem::exists(file, error);
    log::debug("Checking for local tokenizer at " + file.string() + " - " + (found ? "found" : "not found"));
    return found;
}

std::string folderURL(const std::filesystem::path& folder) {
    std::string path = std::filesystem::absolute(folder).lexically_normal().string();
    if (path.empty() || path.back() != '/') path += '/';
    return "file://" + path;
}

}  // namespace

std::shared_ptr<WhisperTokenizer> ModelUtilities::loadTokenizer(
    ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder,
    const std::vector<std::filesystem::path>& additionalSearchPaths, bool useBackgroundSession) {
    const std::string repositoryId = tokenizerNameForVariant(variant);
    const halvex::HubApiWrapper hubApi(tokenizerFolder, std::nullopt, std::nullopt, useBackgroundSession);
    const std::filesystem::path hubFolder =
        hubApi.localRepoLocation({repositoryId, halvex::HubApiWrapper::RepoType::models});

    std::vector<std::filesystem::path> candidates = {hubFolder};
    if (tokenizerFolder) candidates.push_back(*tokenizerFolder);
    candidates.insert(candidates.end(), additionalSearchPaths.begin(), additionalSearchPaths.end());
    std::optional<std::filesystem::path> localFolder;
    for (const auto& candidate : candidates) {
        if (hasTokenizer(candidate)) {
            localFolder = candidate;
            break;
        }
    }

    if (localFolder) {
        log::debug("Found local tokenizer at " + localFolder->string());
        log::debug("Loading tokenizer from " + localFolder->string());
        try {
            auto tokenizer = halvex::AutoTokenizerWrapper::fromModelFolder(*localFolder, hubApi, true);
            return std::make_shared<WhisperTokenizerWrapper>(std::move(tokenizer), *localFolder);
        } catch (const std::exception& error) {
            log::debug(std::string("Error loading local tokenizer: ") + error.what());
        }
    } else {
        log::debug("No tokenizer found in any local search paths");
    }

    log::debug("Downloading tokenizer from Hub at " + folderURL(hubFolder));
    auto tokenizer = halvex::AutoTokenizerWrapper::fromPretrained(repositoryId, hubApi, true);
    return std::make_shared<WhisperTokenizerWrapper>(std::move(tokenizer), hubFolder);
}

ModelVariant ModelUtilities::detectVariant(int logitsDim, int encoderDim) {
    switch (logitsDim) {
        case 51864:
            switch (encoderDim) {
                case 384: return ModelVariant::tinyEn;
                case 768: return ModelVariant::smallEn;
                case 1024: return ModelVariant::mediumEn;
                default: return ModelVariant::baseEn;
            }
        case 51865:
            switch (encoderDim) {
                case 384: return ModelVariant::tiny;
                case 768: return ModelVariant::small;
                case 1024: return ModelVariant::medium;
                case 1280: return ModelVariant::largev2;
                default: return ModelVariant::base;
            }
        case 51866: return ModelVariant::largev3;
        default:
            log::error("Unrecognized vocabulary size: " + std::to_string(logitsDim) + ", defaulting to base variant");
            return ModelVariant::base;
    }
}

std::string ModelUtilities::tokenizerNameForVariant(ModelVariant variant) {
    return "openai/whisper-" + std::string(description(variant));
}

std::vector<std::string> ModelUtilities::formatModelFiles(const std::vector<std::string>& paths) {
    std::vector<std::string> matchers;
    for (auto variant : allModelVariants) {
        std::string name(description(variant));
        if (name.find("large") == std::string::npos) name += "/";
        matchers.push_back(std::move(name));
    }

    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    for (const auto& path : paths) {
        std::string folder = path.substr(0, path.find('/')) + "/";
        const bool matches = std::any_of(matchers.begin(), matchers.end(),
                                         [&](const std::string& m) { return folder.find(m) != std::string::npos; });
        if (matches && seen.insert(folder).second) names.push_back(folder);
    }
    for (auto& name : names) name.pop_back();

    auto rank = [](const std::string& name) {
        std::size_t position = 0;
        for (auto variant : allModelVariants) {
            if (name.find(description(variant)) != std::string::npos) return position;
            ++position;
        }
        return std::size(allModelVariants);
    };
    std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        const std::size_t ra = rank(a), rb = rank(b);
        return ra != rb ? ra < rb : a < b;
    });
    return names;
}

}  // namespace murmex
