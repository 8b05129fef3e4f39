#include "HalvexCore/HubApiWrapper.h"

#include "HalvexCore/CollectionHelpers.h"
#include "HalvexCore/External/Hub/HttpClient.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>

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

std::vector<std::pair<std::string, std::int64_t>> HubApiWrapper::getFileSizes(const Repo& repo,
                                                                              const std::string& revision,
                                                                              const std::vector<std::string>& globs,
                                                                              std::stop_token stop) const {
    std::string base = impl_.endpoint();
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string url = base + "/api/" + rawValue(repo.type) + "/" +
                            HttpClient::escapePathComponent(repo.id, true) + "/revision/" +
                            HttpClient::escapePathComponent(revision) + "?blobs=true";
    std::string body;
    impl_.httpGet(url, body, std::move(stop));
    const auto listing = nlohmann::json::parse(body, nullptr, false);
    if (listing.is_discarded() || !listing.is_object() || !listing.contains("siblings") ||
        !listing["siblings"].is_array()) {
        throw Hub::HubClientError::parseError("The hub's listing of " + repo.id + " could not be read.");
    }
    std::vector<std::pair<std::string, std::int64_t>> files;
    std::set<std::string> seen;
    for (const auto& sibling : listing["siblings"]) {
        if (!sibling.is_object() || !sibling.contains("rfilename") || !sibling["rfilename"].is_string()) continue;
        const auto name = sibling["rfilename"].get<std::string>();
        const bool wanted = globs.empty() || std::any_of(globs.begin(), globs.end(), [&](const std::string& glob) {
                                return matchesGlob(name, glob);
                            });
        if (!wanted || !seen.insert(name).second) continue;
        std::int64_t size = 0;
        if (sibling.contains("size") && sibling["size"].is_number_integer()) size = sibling["size"].get<std::int64_t>();
        files.emplace_back(name, std::max<std::int64_t>(size, 0));
    }
    return files;
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
