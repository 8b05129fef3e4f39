#include "HalvexCore/HubApiWrapper.h"

#include <nlohmann/json.hpp>

namespace halvex {

HubApiWrapper::HubApiWrapper(std::optional<std::filesystem::path> downloadBase, std::optional<std::string> hfToken,
                             std::optional<std::string> endpoint, bool useBackgroundSession)
    : impl_(std::move(downloadBase), std::move(hfToken), std::move(endpoint), useBackgroundSession) {}

const HubApiWrapper& HubApiWrapper::shared() {
    static const HubApiWrapper wrapper;
    return wrapper;
}

HubApi::Repo HubApiWrapper::hubRepo(const Repo& repo) {
    switch (repo.type) {
        case RepoType::models: return {repo.id, HubApi::RepoType::models};
        case RepoType::datasets: return {repo.id, HubApi::RepoType::datasets};
        case RepoType::spaces: return {repo.id, HubApi::RepoType::spaces};
    }
    return {repo.id, HubApi::RepoType::models};
}

std::vector<std::string> HubApiWrapper::getFilenames(const Repo& repo, const std::string& revision,
                                                     const std::vector<std::string>& globs,
                                                     std::stop_token stop) const {
    return impl_.getFilenames(hubRepo(repo), revision, globs, std::move(stop));
}

std::filesystem::path HubApiWrapper::snapshot(const Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs,
                                              const ProgressHandler& progressHandler, std::stop_token stop) const {
    return impl_.snapshot(hubRepo(repo), revision, globs, progressHandler, std::move(stop));
}

std::filesystem::path HubApiWrapper::localRepoLocation(const Repo& repo) const {
    return impl_.downloadBase() / rawValue(repo.type) / repo.id;
}

const char* rawValue(HubApiWrapper::RepoType type) noexcept {
    switch (type) {
        case HubApiWrapper::RepoType::models: return "models";
        case HubApiWrapper::RepoType::datasets: return "datasets";
        case HubApiWrapper::RepoType::spaces: return "spaces";
    }
    return "models";
}

std::optional<HubApiWrapper::RepoType> hubApiWrapperRepoType(std::string_view text) noexcept {
    if (text == "models") return HubApiWrapper::RepoType::models;
    if (text == "datasets") return HubApiWrapper::RepoType::datasets;
    if (text == "spaces") return HubApiWrapper::RepoType::spaces;
    return std::nullopt;
}

std::ostream& operator<<(std::ostream& os, const HubApiWrapper::Repo& repo) {
    return os << "Repo(id: \"" << repo.id << "\", type: " << rawValue(repo.type) << ")";
}

void to_json(nlohmann::json& json, HubApiWrapper::RepoType type) { json = rawValue(type); }

void from_json(const nlohmann::json& json, HubApiWrapper::RepoType& type) {
    auto text = json.get<std::string>();
    auto parsed = hubApiWrapperRepoType(text);
    if (!parsed) {
        throw nlohmann::json::other_error::create(501, "Cannot initialize RepoType from invalid String value " + text,
                                                  &json);
    }
    type = *parsed;
}

void to_json(nlohmann::json& json, const HubApiWrapper::Repo& repo) {
    json = nlohmann::json::object();
    json["id"] = repo.id;
    json["type"] = repo.type;
}

void from_json(const nlohmann::json& json, HubApiWrapper::Repo& repo) {
    repo.id = json.at("id").get<std::string>();
    repo.type = json.at("type").get<HubApiWrapper::RepoType>();
}

}  // namespace halvex
