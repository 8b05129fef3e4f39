#include "Murmex/Pipeline/CheckpointDownload.h"

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/HubApi.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/FileContents.h"
#include "HalvexCore/Logging.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/ModelFolder.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <string_view>
#include <system_error>

namespace murmex {

namespace {

namespace fs = std::filesystem;
using halvex::HubApiWrapper;
using halvex::Logging;

constexpr const char* mainRevision = "main";
constexpr const char* configName = "config.json";
constexpr const char* generationConfigName = "generation_config.json";
constexpr const char* weightsName = "model.safetensors";
constexpr const char* shardIndexName = "model.safetensors.index.json";

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// A glob that matches exactly `name`.
std::string exactGlob(const std::string& name) {
    std::string glob;
    for (char c : name) {
        if (c == '*' || c == '?' || c == '[' || c == '\\') glob.push_back('\\');
        glob.push_back(c);
    }
    return glob;
}

std::vector<std::string> exactGlobs(const std::vector<std::string>& names) {
    std::vector<std::string> globs;
    for (const auto& name : names) globs.push_back(exactGlob(name));
    return globs;
}

[[noreturn]] void unavailable(const std::string& message) { throw WhisperError::modelsUnavailable(message); }

// The shard files that the checkpoint's index names, each once, in the index's order; every
// one must be a plain file name that the repository lists.
std::vector<std::string> shardNames(const std::string& repository, const fs::path& index,
                                    const std::vector<std::string>& listed) {
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(halvex::readFileContents(index));
    } catch (const std::exception& error) {
        unavailable("The checkpoint " + repository + " has a " + shardIndexName +
                    " that cannot be read: " + error.what());
    }
    if (!document.is_object() || !document.contains("weight_map") || !document["weight_map"].is_object() ||
        document["weight_map"].empty()) {
        unavailable("The checkpoint " + repository + " has a " + shardIndexName + " without a \"weight_map\".");
    }
    std::vector<std::string> shards;
    std::set<std::string> seen;
    for (const auto& [tensor, shard] : document["weight_map"].items()) {
        const std::string name = shard.is_string() ? shard.get<std::string>() : std::string();
        const bool plain = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
                           name.find('\\') == std::string::npos;
        if (!plain || !contains(listed, name)) {
            unavailable("The checkpoint " + repository + " places tensor " + tensor + " in a shard (\"" + name +
                        "\") that the repository does not hold.");
        }
        if (seen.insert(name).second) shards.push_back(name);
    }
    return shards;
}

// Removes the raw checkpoint files with their cache records and any partial downloads of
// them, then the folders this leaves empty. The tokenizer files stay: the tokenizer loader
// keeps its own copies in this same repository folder.
void removeRawFiles(const fs::path& folder, const std::vector<std::string>& names) {
    std::error_code error;
    const fs::path metadata = halvex::HubApi::metadataFolder(folder);
    for (const auto& name : names) {
        if (contains(platform::ModelFolder::requiredTokenizerFiles(), name)) continue;
        fs::remove(folder / name, error);
        fs::remove(metadata / (name + ".metadata"), error);
        for (fs::directory_iterator entry(metadata, error), end; !error && entry != end; entry.increment(error)) {
            const std::string file = entry->path().filename().string();
            if (file.starts_with(name + ".") && file.ends_with(".incomplete")) fs::remove(entry->path(), error);
        }
        error.clear();
    }
    for (fs::path empty = metadata; empty != folder.parent_path() && !empty.empty(); empty = empty.parent_path()) {
        if (!fs::remove(empty, error)) break;  // not empty (or not there): the folders above are not either
    }
}

std::string withoutConverterPrefix(std::string message) {
    constexpr std::string_view prefix = "Cannot convert: ";
    if (message.starts_with(prefix)) message.erase(0, prefix.size());
    return message;
}

}  // namespace

std::vector<std::string> CheckpointDownload::selectFiles(const std::string& repository,
                                                         const std::vector<std::string>& listed) {
    std::vector<std::string> files = {configName};
    const auto& tokenizerFiles = platform::ModelFolder::requiredTokenizerFiles();
    files.insert(files.end(), tokenizerFiles.begin(), tokenizerFiles.end());
    for (const auto& name : files) {
        if (!contains(listed, name)) unavailable("The checkpoint " + repository + " has no " + name + ".");
    }
    if (contains(listed, generationConfigName)) files.push_back(generationConfigName);
    if (contains(listed, weightsName)) {
        files.push_back(weightsName);
    } else if (contains(listed, shardIndexName)) {
        files.push_back(shardIndexName);
    } else {
        unavailable("The checkpoint " + repository + " has no weights in the safetensors format (" + weightsName +
                    " or " + shardIndexName + ").");
    }
    return files;
}

bool CheckpointDownload::isInstalled(const fs::path& folder) {
    std::error_code error;
    return platform::ModelFolder::isComplete(folder) && fs::is_regular_file(folder / markerName, error);
}

fs::path CheckpointDownload::run(const ModelCheckpoint& checkpoint, const HubApiWrapper& hub,
                                 const fs::path& destination, const ProgressCallback& progress, std::stop_token stop) {
    const HubApiWrapper::Repo repo{checkpoint.repository, HubApiWrapper::RepoType::models};
    Logging::debug("Downloading checkpoint " + checkpoint.repository + " to convert it into " +
                   destination.filename().string());
    std::vector<std::string> listed;
    try {
        listed = hub.getFilenames(repo, mainRevision, ModelCheckpoint::fileGlobs(), stop);
    } catch (const halvex::Hub::HubClientError& error) {
        using Kind = halvex::Hub::HubClientError::Kind;
        if (error.kind() != Kind::fileNotFound && error.kind() != Kind::authorizationRequired) throw;
        unavailable("The checkpoint " + checkpoint.repository + " is not available from the hub: " + error.what());
    }
    std::vector<std::string> files = selectFiles(checkpoint.repository, listed);
    const fs::path folder = hub.localRepoLocation(repo);

    if (contains(files, shardIndexName)) {
        hub.snapshot(repo, mainRevision, {exactGlob(shardIndexName)}, {}, stop);
        for (auto& shard : shardNames(checkpoint.repository, folder / shardIndexName, listed)) {
            files.push_back(std::move(shard));
        }
    }
    hub.snapshot(repo, mainRevision, exactGlobs(files), progress, stop);
    if (stop.stop_requested()) throw halvex::CancellationError();
    // Another download of this model (in another process, say) may have converted and
    // installed it while this one waited for the files it was fetching.
    if (isInstalled(destination)) {
        Logging::debug("Model " + destination.filename().string() + " was installed meanwhile");
        removeRawFiles(folder, files);
        return destination;
    }

    Logging::debug("Converting checkpoint " + checkpoint.repository + " into " + destination.string());
    halvex::Progress conversion(1000);
    conversion.setFileOperationKind(halvex::Progress::FileOperationKind::converting);
    platform::conversion::ConversionOptions options;
    options.stop = stop;
    options.progress = [&](double fraction) {
        conversion.setCompletedUnitCount(static_cast<std::int64_t>(std::lround(std::clamp(fraction, 0.0, 1.0) * 1000)));
        if (progress) progress(conversion);
    };
    if (progress) progress(conversion);
    platform::conversion::InstallOutcome outcome;
    try {
        outcome = platform::conversion::installConvertedModel(folder, destination, options);
    } catch (const platform::conversion::ConversionCancelled&) {
        throw halvex::CancellationError();
    } catch (const platform::MLError& error) {
        unavailable("The checkpoint " + checkpoint.repository +
                    " could not be converted: " + withoutConverterPrefix(error.what()));
    }
    if (outcome == platform::conversion::InstallOutcome::installedByAnother)
        Logging::debug("Another conversion installed " + destination.string() + " meanwhile");

    std::error_code error;
    if (!fs::is_regular_file(destination / markerName, error)) {
        std::ofstream marker(destination / markerName, std::ios::trunc);
        marker << checkpoint.repository << '\n';
    }
    removeRawFiles(folder, files);
    return destination;
}

}  // namespace murmex
