#pragma once

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Hub/HttpClient.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/External/Hub/HubLogger.h"
#include "HalvexCore/External/Hub/NetworkMonitor.h"
#include "HalvexCore/External/Hub/Progress.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace halvex {

// The model hub client: requests to the hub, the local cache of repositories with its
// metadata records, and snapshots of repositories into that cache. A plain value; copies
// may be used from any thread. Every operation blocks on the calling thread and stops early
// (with a cancellation error) when its stop token is triggered.
class HubApi {
public:
    using EnvironmentError = HubEnvironmentError;
    using NetworkMonitor = halvex::NetworkMonitor;
    using NetworkStateActor = halvex::NetworkStateActor;

    enum class RepoType { models, datasets, spaces };

    struct Repo {
        std::string id;  // owner/name
        RepoType type = RepoType::models;
        bool operator==(const Repo&) const = default;
    };

    // What the hub says about one file.
    struct FileMetadata {
        std::optional<std::string> commitHash;
        std::optional<std::string> etag;  // normalized
        std::string location;
        std::optional<std::int64_t> size;
    };

    struct Sibling {
        std::string rfilename;
    };
    struct SiblingsResponse {
        std::vector<Sibling> siblings;
    };

    using Timestamp = std::chrono::sys_time<std::chrono::duration<double>>;

    // A metadata record read back from the cache.
    struct LocalDownloadFileMetadata {
        std::string commitHash;
        std::string etag;
        std::string filename;  // the record's file name without ".metadata"
        Timestamp timestamp;
    };

    using ProgressHandler = std::function<void(const Progress&)>;

    static constexpr const char* defaultEndpoint = "https://huggingface.co";

    explicit HubApi(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                    std::optional<std::string> hfToken = std::nullopt,
                    std::optional<std::string> endpoint = std::nullopt, bool useBackgroundSession = false,
                    std::optional<bool> useOfflineMode = std::nullopt);

    const std::filesystem::path& downloadBase() const noexcept { return downloadBase_; }
    const std::optional<std::string>& hfToken() const noexcept { return hfToken_; }
    const std::string& endpoint() const noexcept { return endpoint_; }
    bool useBackgroundSession() const noexcept { return useBackgroundSession_; }
    const std::optional<bool>& useOfflineMode() const noexcept { return useOfflineMode_; }
    // The client watches the network through the process-wide monitor.
    NetworkMonitor& networkMonitor() const noexcept { return NetworkMonitor::shared(); }
    const std::string& sha256Pattern() const noexcept { return sha256Pattern_; }
    const std::string& commitHashPattern() const noexcept { return commitHashPattern_; }

    // HF_TOKEN, then HUGGING_FACE_HUB_TOKEN: the first one set and not empty.
    static std::optional<std::string> hfTokenFromEnv();
    // HF_ENDPOINT when set (even empty), otherwise the hub's base URL.
    static std::string hfEndpointfromEnv();
    // $XDG_DOCUMENTS_DIR, else $HOME/Documents, then "huggingface".
    static std::filesystem::path defaultDownloadBase();

    // Whether `text` matches one of the two hash patterns above.
    static bool matchesPattern(const std::string& text, const std::string& pattern);

    // The system logger of the cache-record reader.
    static HubLogger& logger();

    // ---- Requests ----

    // The largest body a GET gathers in memory (a repository listing), and the largest JSON
    // file configuration() reads.
    static constexpr std::size_t maximumResponseBodySize = std::size_t{32} << 20;
    static constexpr std::size_t maximumConfigurationFileSize = std::size_t{256} << 20;

    // GET following redirects. Status 200–299 returns; 401/403 authorizationRequired, 404
    // fileNotFound (last path component), others httpStatusCode; transport failures, and a
    // body longer than maximumResponseBodySize, become downloadError.
    HttpResponse httpGet(const std::string& url, std::string& body, std::stop_token stop = {}) const;
    // HEAD following only relative redirects. Status 200–399 returns; transport failures are
    // thrown as UrlError.
    HttpResponse httpHead(const std::string& url, std::stop_token stop = {}) const;

    // The repository's files at `revision` that match at least one glob (all with no globs),
    // in listing order, each once.
    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision,
                                          const std::vector<std::string>& globs = {}, std::stop_token stop = {}) const;
    FileMetadata getFileMetadata(const std::string& url, std::stop_token stop = {}) const;
    static std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag);

    // Reads a local JSON file into a Config; the top level must be an object. A file larger
    // than maximumConfigurationFileSize fails like a read error (EFBIG).
    Config configuration(const std::filesystem::path& fileURL) const;

    // ---- Local cache ----

    // downloadBase / type / owner / name
    std::filesystem::path localRepoLocation(const Repo& repo) const;
    // repository folder / .cache / huggingface / download
    static std::filesystem::path metadataFolder(const std::filesystem::path& repoFolder);

    void writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                               const std::filesystem::path& metadataPath) const;
    // Absent when there is no record. A damaged record is logged, deleted and read as absent.
    std::optional<LocalDownloadFileMetadata> readDownloadMetadata(const std::filesystem::path& metadataPath) const;
    // Lower-case hexadecimal SHA-256 of the file's content.
    std::string computeFileHash(const std::filesystem::path& file) const;

    // ---- Snapshot ----

    // Brings every repository file matching the globs up to date in the local repository
    // folder and returns that folder. Offline (by override or network monitor) it only checks
    // the local copy.
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision,
                                   const std::vector<std::string>& globs = {},
                                   const ProgressHandler& progressHandler = {}, std::stop_token stop = {}) const;

private:
    std::filesystem::path offlineSnapshot(const std::filesystem::path& repoFolder,
                                          const std::filesystem::path& metadataFolder,
                                          const std::vector<std::string>& globs) const;

    std::filesystem::path downloadBase_;
    std::optional<std::string> hfToken_;
    std::string endpoint_;
    bool useBackgroundSession_ = false;
    std::optional<bool> useOfflineMode_;
    std::string sha256Pattern_;
    std::string commitHashPattern_;
};

const char* toString(HubApi::RepoType type) noexcept;
std::optional<HubApi::RepoType> repoTypeFromString(std::string_view text) noexcept;
std::ostream& operator<<(std::ostream& os, const HubApi::Repo& repo);

void to_json(nlohmann::json& json, HubApi::RepoType type);
void from_json(const nlohmann::json& json, HubApi::RepoType& type);
void to_json(nlohmann::json& json, const HubApi::Repo& repo);
void from_json(const nlohmann::json& json, HubApi::Repo& repo);
void to_json(nlohmann::json& json, const HubApi::Sibling& sibling);
void from_json(const nlohmann::json& json, HubApi::Sibling& sibling);
void to_json(nlohmann::json& json, const HubApi::SiblingsResponse& response);
void from_json(const nlohmann::json& json, HubApi::SiblingsResponse& response);

// The regular, non-hidden files below `folder`, recursively, never entering hidden folders.
// Empty when the folder cannot be read; an entry whose type cannot be read throws.
std::vector<std::filesystem::path> getFileUrls(const std::filesystem::path& folder);

}  // namespace halvex

template <>
struct std::hash<halvex::HubApi::Repo> {
    std::size_t operator()(const halvex::HubApi::Repo& repo) const noexcept {
        return std::hash<std::string>()(repo.id) * 31 + static_cast<std::size_t>(repo.type);
    }
};
