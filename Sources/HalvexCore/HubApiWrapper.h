#pragma once

#include "HalvexCore/External/Hub/HubApi.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvex {

// The hub client as the rest of the system sees it: repository listings, snapshots into the
// local download base, and the local folder of a repository. It forwards to HubApi.
class HubApiWrapper {
public:
    enum class RepoType { models, datasets, spaces };

    struct Repo {
        std::string id;  // owner/name
        RepoType type = RepoType::models;
        bool operator==(const Repo&) const = default;
    };

    using ProgressHandler = HubApi::ProgressHandler;

    // Defaults: the download base "huggingface" in the user's Documents folder, the token from
    // HF_TOKEN or HUGGING_FACE_HUB_TOKEN, the endpoint from HF_ENDPOINT or the hub's base URL.
    explicit HubApiWrapper(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                           std::optional<std::string> hfToken = std::nullopt,
                           std::optional<std::string> endpoint = std::nullopt, bool useBackgroundSession = false);

    // A wrapper with every default, built on first use.
    static const HubApiWrapper& shared();

    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision,
                                          const std::vector<std::string>& globs, std::stop_token stop = {}) const;
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                                   const ProgressHandler& progressHandler = {}, std::stop_token stop = {}) const;
    // downloadBase / type / owner / name; touches no file.
    std::filesystem::path localRepoLocation(const Repo& repo) const;

    const HubApi& impl() const noexcept { return impl_; }

    static HubApi::Repo hubRepo(const Repo& repo);

private:
    HubApi impl_;
};

const char* rawValue(HubApiWrapper::RepoType type) noexcept;
// The type whose raw text is exactly `text` (case-sensitive).
std::optional<HubApiWrapper::RepoType> hubApiWrapperRepoType(std::string_view text) noexcept;
std::ostream& operator<<(std::ostream& os, const HubApiWrapper::Repo& repo);

void to_json(nlohmann::json& json, HubApiWrapper::RepoType type);
void from_json(const nlohmann::json& json, HubApiWrapper::RepoType& type);
void to_json(nlohmann::json& json, const HubApiWrapper::Repo& repo);
void from_json(const nlohmann::json& json, HubApiWrapper::Repo& repo);

}  // namespace halvex

template <>
struct std::hash<halvex::HubApiWrapper::Repo> {
    std::size_t operator()(const halvex::HubApiWrapper::Repo& repo) const noexcept {
        std::size_t seed = std::hash<std::string>()(repo.id);
        return seed ^ (std::hash<std::string_view>()(halvex::rawValue(repo.type)) + 0x9e3779b97f4a7c15ULL +
                       (seed << 6) + (seed >> 2));
    }
};
