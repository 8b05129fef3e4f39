#include "HalvexCore/External/Hub/HubApi.h"

#include <nlohmann/json.hpp>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <regex>

namespace halvex {

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace

HubApi::HubApi(std::optional<std::filesystem::path> downloadBase, std::optional<std::string> hfToken,
               std::optional<std::string> endpoint, bool useBackgroundSession, std::optional<bool> useOfflineMode)
    : sha256Pattern_("^[0-9a-f]{64}$"), commitHashPattern_("^[0-9a-f]{40}$") {
    hfToken_ = hfToken ? std::move(hfToken) : hfTokenFromEnv();
    if (environment("CI_DISABLE_NETWORK_MONITOR") == std::optional<std::string>("1")) {
        std::cout << (hfToken_ ? "✅ got token" : "🔴 NO TOKEN **") << std::endl;
    }
    downloadBase_ = downloadBase ? std::move(*downloadBase) : defaultDownloadBase();
    endpoint_ = endpoint ? std::move(*endpoint) : hfEndpointfromEnv();
    useBackgroundSession_ = useBackgroundSession;
    useOfflineMode_ = useOfflineMode;
    NetworkMonitor::shared().startMonitoring();
}

std::optional<std::string> HubApi::hfTokenFromEnv() {
    for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN"}) {
        if (auto value = environment(name); value && !value->empty()) {
            return value;
        }
    }
    return std::nullopt;
}

std::string HubApi::hfEndpointfromEnv() { return environment("HF_ENDPOINT").value_or(defaultEndpoint); }

std::filesystem::path HubApi::defaultDownloadBase() {
    if (auto documents = environment("XDG_DOCUMENTS_DIR"); documents && !documents->empty()) {
        return std::filesystem::path(*documents) / "huggingface";
    }
    std::string home = environment("HOME").value_or("");
    if (home.empty()) {
        if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
            home = entry->pw_dir;
        }
    }
    if (home.empty()) {
        home = std::filesystem::temp_directory_path().string();
    }
    return std::filesystem::path(home) / "Documents" / "huggingface";
}

bool HubApi::matchesPattern(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

HubLogger& HubApi::logger() {
    static HubLogger logger;
    return logger;
}

std::filesystem::path HubApi::localRepoLocation(const Repo& repo) const {
    return downloadBase_ / toString(repo.type) / repo.id;
}

std::filesystem::path HubApi::metadataFolder(const std::filesystem::path& repoFolder) {
    return repoFolder / ".cache" / "huggingface" / "download";
}

const char* toString(HubApi::RepoType type) noexcept {
    switch (type) {
        case HubApi::RepoType::models: return "models";
        case HubApi::RepoType::datasets: return "datasets";
        case HubApi::RepoType::spaces: return "spaces";
    }
    return "models";
}

std::optional<HubApi::RepoType> repoTypeFromString(std::string_view text) noexcept {
    if (text == "models") return HubApi::RepoType::models;
    if (text == "datasets") return HubApi::RepoType::datasets;
    if (text == "spaces") return HubApi::RepoType::spaces;
    return std::nullopt;
}

std::ostream& operator<<(std::ostream& os, const HubApi::Repo& repo) {
    return os << "Repo(id: \"" << repo.id << "\", type: " << toString(repo.type) << ")";
}

void to_json(nlohmann::json& json, HubApi::RepoType type) { json = toString(type); }

void from_json(const nlohmann::json& json, HubApi::RepoType& type) {
    auto parsed = repoTypeFromString(json.get<std::string>());
    if (!parsed) {
        throw nlohmann::json::other_error::create(
            501, "Cannot initialize RepoType from invalid String value " + json.get<std::string>(), &json);
    }
    type = *parsed;
}

void to_json(nlohmann::json& json, const HubApi::Repo& repo) {
    json = nlohmann::json::object();
    json["id"] = repo.id;
    json["type"] = repo.type;
}

void from_json(const nlohmann::json& json, HubApi::Repo& repo) {
    repo.id = json.at("id").get<std::string>();
    repo.type = json.at("type").get<HubApi::RepoType>();
}

void to_json(nlohmann::json& json, const HubApi::Sibling& sibling) {
    json = nlohmann::json{{"rfilename", sibling.rfilename}};
}

void from_json(const nlohmann::json& json, HubApi::Sibling& sibling) {
    sibling.rfilename = json.at("rfilename").get<std::string>();
}

void to_json(nlohmann::json& json, const HubApi::SiblingsResponse& response) {
    json = nlohmann::json{{"siblings", response.siblings}};
}

void from_json(const nlohmann::json& json, HubApi::SiblingsResponse& response) {
    response.siblings = json.at("siblings").get<std::vector<HubApi::Sibling>>();
}

}  // namespace halvex
