#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace norvel::test {

// A model hub on 127.0.0.1 inside the test process, bound to an ephemeral port. It serves
// repository listings, HEAD metadata, redirects, ranged downloads (honouring If-Range) and
// LFS-style entity tags, and misbehaves on request. Repositories live in memory; every request
// is recorded.
//
// Routes (the shapes the hub client uses):
//   GET  /api/{models|datasets|spaces}/{owner}/{name}/revision/{rev}   listing
//   HEAD /{owner}/{name}/resolve/{rev}/{path}                          metadata
//   GET  /{owner}/{name}/resolve/{rev}/{path}                          content or redirect
//   (datasets and spaces are prefixed with /datasets or /spaces)
class HubServer {
public:
    enum class Redirect {
        none,      // resolve answers with the content itself
        relative,  // 307 to a Location without host (/moved/...), carrying a query
        absolute,  // 302 to http://127.0.0.1:port/cdn/..., as the real hub does for LFS files
    };

    struct FileOptions {
        // LFS-style: the entity tag is the content's SHA-256, sent as X-Linked-Etag beside
        // X-Linked-Size; otherwise a weak 40-digit ETag and Content-Length.
        bool lfs = true;
        Redirect redirect = Redirect::none;
        // Advertise this entity tag instead of the real one (for instance a wrong hash).
        std::optional<std::string> etag;
        // Metadata headers left out of HEAD answers (for instance "X-Repo-Commit").
        std::vector<std::string> omittedHeaders;

        static FileOptions lfsFile(Redirect redirect = Redirect::none) {
            FileOptions options;
            options.redirect = redirect;
            return options;
        }
        static FileOptions plainFile(Redirect redirect = Redirect::none) {
            FileOptions options = lfsFile(redirect);
            options.lfs = false;
            return options;
        }
        FileOptions withEtag(std::string tag) const {
            FileOptions options = *this;
            options.etag = std::move(tag);
            return options;
        }
        FileOptions without(std::string header) const {
            FileOptions options = *this;
            options.omittedHeaders.push_back(std::move(header));
            return options;
        }
    };

    // One misbehaviour, consumed by the next content request of its file.
    struct Fault {
        enum class Kind { dropAfter, stallAfter, ignoreRange, status, shortBody, claimLonger };
        Kind kind = Kind::status;
        std::int64_t bytes = 0;
        int statusCode = 0;

        // Sends `bytes` bytes of the body, then closes the connection.
        static Fault dropAfter(std::int64_t bytes) { return {Kind::dropAfter, bytes, 0}; }
        // Sends `bytes` bytes, then sends nothing more until the client gives up.
        static Fault stallAfter(std::int64_t bytes) { return {Kind::stallAfter, bytes, 0}; }
        // Answers a ranged request with 200 and the whole file.
        static Fault ignoreRange() { return {Kind::ignoreRange, 0, 0}; }
        static Fault status(int code) { return {Kind::status, 0, code}; }
        // Sends only `bytes` bytes of the body, announced as the whole answer.
        static Fault shortBody(std::int64_t bytes) { return {Kind::shortBody, bytes, 0}; }
        // Announces a body `bytes` longer than it is, sends the whole body, then closes.
        static Fault claimLonger(std::int64_t bytes) { return {Kind::claimLonger, bytes, 0}; }
    };

    struct RecordedRequest {
        std::string method;
        std::string path;                            // decoded path, without the query
        std::string target;                          // path and query as sent
        std::map<std::string, std::string> headers;  // names in lower case

        std::optional<std::string> header(const std::string& lowerCaseName) const;
    };

    HubServer();
    ~HubServer();
    HubServer(const HubServer&) = delete;
    HubServer& operator=(const HubServer&) = delete;

    // http://127.0.0.1:PORT
    std::string endpoint() const;
    int port() const { return port_; }

    // Adds or replaces a file of a model repository ("owner/name"). Listing order is the
    // order of first addition.
    void addFile(const std::string& repoId, const std::string& path, std::string content, FileOptions options);
    void addFile(const std::string& repoId, const std::string& path, std::string content) {
        addFile(repoId, path, std::move(content), FileOptions());
    }
    // Adds every regular file below `folder` with its relative path.
    void addDirectory(const std::string& repoId, const std::filesystem::path& folder, FileOptions options);
    void addDirectory(const std::string& repoId, const std::filesystem::path& folder) {
        addDirectory(repoId, folder, FileOptions());
    }
    void removeFile(const std::string& repoId, const std::string& path);
    // Lists a name that has no content (for hostile or broken listings).
    void addListingEntry(const std::string& repoId, const std::string& name);

    // Every repository starts at a fixed 40-digit commit; changing it is a new version.
    void setCommit(const std::string& repoId, const std::string& commit);
    std::string commit(const std::string& repoId) const;
    // The entity tag HEAD advertises for a file (normalized, without quotes).
    std::string etag(const std::string& repoId, const std::string& path) const;
    static std::string sha256(const std::string& content);

    void addFault(const std::string& repoId, const std::string& path, Fault fault);
    // Answers every listing of the repository (or HEAD of the file) with this status.
    void setListingStatus(const std::string& repoId, std::optional<int> status);
    void setMetadataStatus(const std::string& repoId, const std::string& path, std::optional<int> status);

    std::vector<RecordedRequest> requests() const;
    // Requests of that method whose path contains `pathPart`.
    std::size_t countRequests(const std::string& method, const std::string& pathPart = "") const;
    void clearRequests();

private:
    struct File {
        std::string content;
        FileOptions options;
    };
    struct Repository {
        std::string commit;
        std::vector<std::string> listing;
        std::map<std::string, File> files;
        std::map<std::string, std::deque<Fault>> faults;
        std::map<std::string, int> metadataStatus;
        std::optional<int> listingStatus;
    };

    void record(const httplib::Request& request);
    void serveListing(const httplib::Request& request, httplib::Response& response);
    void serveResolve(const httplib::Request& request, httplib::Response& response, const std::string& repoId,
                      const std::string& path, bool allowRedirect);
    void serveContent(const httplib::Request& request, httplib::Response& response, const std::string& repoId,
                      const std::string& path);
    std::string etagLocked(const Repository& repository, const std::string& path, const File& file) const;

    mutable std::mutex mutex_;
    std::map<std::string, Repository> repositories_;
    std::vector<RecordedRequest> requests_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::shared_ptr<std::atomic<bool>> stopping_;
    int port_ = 0;
};

}  // namespace norvel::test
