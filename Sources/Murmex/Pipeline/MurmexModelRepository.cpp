#include <exception>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HalvexCore/CollectionHelpers.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/FileContents.h"
#include "HalvexCore/HubApiWrapper.h"
#include "HalvexCore/Logging.h"
#include "HalvexCore/ProcessInfo.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/JSONCoding.h"
#include "Murmex/Model/ModelCheckpoint.h"
#include "Murmex/Model/ModelUtilities.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/CheckpointDownload.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/Text/NumberText.h"

namespace murmex {

using halvex::HubApiWrapper;
using halvex::Logging;

namespace {

constexpr const char* mainRevision = "main";

std::string printed(const HubApiWrapper::Repo& repo) {
    std::ostringstream text;
    text << repo;
    return text.str();
}

std::string inQuotes(const std::string& text) { return "\"" + text + "\""; }

std::string quotedList(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += ", ";
        text += inQuotes(names[i]);
    }
    return text + "]";
}

// The distinct first path components of the listed names. A component that is not a plain
// folder name ("", ".", "..") would lead out of the local repository folder and is left out.
std::set<std::string> topLevelFolders(const std::vector<std::string>& names) {
    std::set<std::string> folders;
    for (const auto& name : names) {
        std::string folder = name.substr(0, name.find('/'));
        if (folder.empty() || folder == "." || folder == "..") continue;
        folders.insert(std::move(folder));
    }
    return folders;
}

// Whether a listed file name names a file inside the repository folder: relative, and never
// climbing above where it starts.
bool staysInside(const std::string& name) {
    const std::filesystem::path path(name);
    if (name.empty() || path.has_root_path()) return false;
    int depth = 0;
    for (const auto& part : path) {
        if (part == "..") {
            if (--depth < 0) return false;
        } else if (part != "." && !part.empty()) {
            ++depth;
        }
    }
    return depth > 0;
}

// A progress object as the debug log shows it.
std::string progressDescription(const halvex::Progress& progress) {
    const bool converting = progress.fileOperationKind() == halvex::Progress::FileOperationKind::converting;
    return std::string(converting ? "Conversion progress: " : "Progress: ") +
           std::to_string(progress.completedUnitCount()) + " of " + std::to_string(progress.totalUnitCount()) + " (" +
           platform::numbertext::shortestWithFraction(progress.fractionCompleted()) + ")";
}

// Whether a listing failure says that the repository is not there for this client (the hub
// answers "not found" or, to a client without a token, "unauthorized" for a repository that
// does not exist), as opposed to a network or server failure.
bool isMissingRepository(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const halvex::Hub::HubClientError& hubError) {
        using Kind = halvex::Hub::HubClientError::Kind;
        return hubError.kind() == Kind::fileNotFound || hubError.kind() == Kind::authorizationRequired ||
               hubError.kind() == Kind::resourceNotFound;
    } catch (...) {
        return false;
    }
}

}  // namespace

std::string Murmex::modelFamilyOrganisation() {
    const std::string folder = defaultBaseModelFolder;
    return folder.substr(0, folder.find('_'));
}

ModelSupport Murmex::recommendedModels() {
    const std::string identifier = deviceName();
    Logging::debug("Running on " + identifier);
    return Constants::fallbackModelSupportConfig().modelSupport(identifier);
}

ModelSupportConfig Murmex::fetchModelSupportConfig(const std::string& repo,
                                                   const std::optional<std::filesystem::path>& downloadBase,
                                                   const std::optional<std::string>& token,
                                                   const std::string& remoteConfigName, const std::string& endpoint,
                                                   bool useBackgroundSession) {
    const HubApiWrapper hub(downloadBase, token, endpoint, useBackgroundSession);
    const HubApiWrapper::Repo repository{repo, HubApiWrapper::RepoType::models};
    ModelSupportConfig config = Constants::fallbackModelSupportConfig();

    Logging::debug("Searching for config file matching " + inQuotes(remoteConfigName) + " in " + printed(repository));
    try {
        const std::vector<std::string> names = hub.getFilenames(repository, mainRevision, {remoteConfigName});
        if (names.empty()) {
            Logging::info("No config files found matching " + inQuotes(remoteConfigName) + " in " +
                          printed(repository) + ", using fallback");
            return config;
        }
        if (names.size() > 1) {
            Logging::info("Multiple config files found (" + std::to_string(names.size()) + "): " + quotedList(names) +
                          ". Using first matching file: " + names.front());
        }
        const std::string& name = names.front();
        if (!staysInside(name))
            throw std::runtime_error("The listed name \"" + name + "\" leads out of the repository.");
        const std::filesystem::path folder = hub.snapshot(repository, mainRevision, {name});
        config = Json::parse(halvex::readFileContents(folder / name)).get<ModelSupportConfig>();
    } catch (...) {
        Logging::error("Fetch model support config failed with error: " +
                       halvex::localizedDescription(std::current_exception()));
        return Constants::fallbackModelSupportConfig();
    }
    return config;
}

ModelSupport Murmex::recommendedRemoteModels(const std::string& repo,
                                             const std::optional<std::filesystem::path>& downloadBase,
                                             const std::optional<std::string>& token,
                                             const std::string& remoteConfigName, const std::string& endpoint,
                                             bool useBackgroundSession) {
    return fetchModelSupportConfig(repo, downloadBase, token, remoteConfigName, endpoint, useBackgroundSession)
        .modelSupport(deviceName());
}

std::vector<std::string> Murmex::fetchAvailableModels(const std::string& repo, const std::vector<std::string>& matching,
                                                      const std::optional<std::filesystem::path>& downloadBase,
                                                      const std::optional<std::string>& token,
                                                      const std::string& remoteConfigName,
                                                      const std::string& endpoint) {
    const ModelSupport support = fetchModelSupportConfig(repo, downloadBase, token, remoteConfigName, endpoint, false)
                                     .modelSupport(deviceName());
    std::set<std::string> selected;
    for (const auto& pattern : matching) {
        for (const auto& name : halvex::matching(support.supported, pattern)) selected.insert(name);
    }
    return ModelUtilities::formatModelFiles(std::vector<std::string>(selected.begin(), selected.end()));
}

std::filesystem::path Murmex::download(const std::string& variant,
                                       const std::optional<std::filesystem::path>& downloadBase,
                                       bool useBackgroundSession, const std::string& repo,
                                       const std::optional<std::string>& token, const std::string& endpoint,
                                       const DownloadProgressCallback& progressCallback, std::stop_token stop) {
    const HubApiWrapper hub(downloadBase, token, endpoint, useBackgroundSession);
    const HubApiWrapper::Repo repository{repo, HubApiWrapper::RepoType::models};
    const auto logged = [&progressCallback](const halvex::Progress& progress) {
        Logging::debug(progressDescription(progress));
        if (progressCallback) progressCallback(progress);
    };

    // A variant that the repository does not hold in this library's format comes from its
    // published checkpoint, converted here into the folder the repository would have given.
    const std::optional<ModelCheckpoint> checkpoint = ModelCheckpoint::forVariant(variant);
    const auto convertedFolder = [&] { return hub.localRepoLocation(repository) / checkpoint->variantFolder; };
    if (checkpoint && CheckpointDownload::isInstalled(convertedFolder())) {
        Logging::debug("Found model " + checkpoint->variantFolder + " converted from " + checkpoint->repository);
        return convertedFolder();
    }
    const auto fromCheckpoint = [&]() -> std::filesystem::path {
        Logging::debug("Model " + checkpoint->variantFolder + " comes from checkpoint " + checkpoint->repository);
        return CheckpointDownload::run(*checkpoint, hub, convertedFolder(), logged, stop);
    };

    std::string pattern = "*" + variant + "/*";
    Logging::debug("Searching for models matching " + inQuotes(pattern) + " in " + printed(repository));
    try {
        std::set<std::string> folders;
        bool useCheckpoint = false;
        try {
            folders = topLevelFolders(hub.getFilenames(repository, mainRevision, {pattern}, stop));
            if (folders.size() != 1) {
                const char* count = folders.empty() ? "No" : "Multiple";
                Logging::debug(std::string(count) + " models found matching " + inQuotes(pattern));

                pattern = "*";
                pattern.append(modelFamilyOrganisation()).append("*").append(variant).append("/*");
                Logging::debug("Searching for models matching " + inQuotes(pattern) + " in " + printed(repository));
                folders = topLevelFolders(hub.getFilenames(repository, mainRevision, {pattern}, stop));
                useCheckpoint = folders.empty() && checkpoint;
                if (folders.empty() && !useCheckpoint)
                    throw WhisperError::modelsUnavailable(
                        WhisperErrorMessage::noModelsFound(pattern, printed(repository)));
                if (folders.size() > 1)
                    throw WhisperError::modelsUnavailable(
                        WhisperErrorMessage::multipleModelsFound(pattern, printed(repository)));
            }
        } catch (const halvex::Hub::HubClientError&) {
            if (!checkpoint || !isMissingRepository(std::current_exception())) throw;
            Logging::debug("The repository " + printed(repository) +
                           " cannot be listed: " + halvex::localizedDescription(std::current_exception()));
            useCheckpoint = true;
        }
        if (useCheckpoint) return fromCheckpoint();
        const std::string folderName = *folders.begin();

        Logging::debug("Downloading model " + folderName + "...");
        const std::filesystem::path local = hub.snapshot(repository, mainRevision, {pattern}, logged, stop);
        return local / folderName;
    } catch (...) {
        Logging::debug(halvex::localizedDescription(std::current_exception()));
        throw;
    }
}

}  // namespace murmex
