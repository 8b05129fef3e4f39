#include "Support/HubServer.h"

#include "Support/Files.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>

namespace norvel::test {

namespace {

constexpr const char* defaultCommit = "0123456789abcdef0123456789abcdef01234567";

std::string lowerCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string jsonEscaped(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            escaped.push_back('\\');
        }
        escaped.push_back(c);
    }
    return escaped;
}

// The start of a "bytes=N-" range, when the request has one of that form.
std::optional<std::size_t> rangeStart(const httplib::Request& request) {
    std::string range = request.get_header_value("Range");
    const std::string prefix = "bytes=";
    if (range.rfind(prefix, 0) != 0 || range.back() != '-') {
        return std::nullopt;
    }
    try {
        return static_cast<std::size_t>(std::stoull(range.substr(prefix.size())));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::string> HubServer::RecordedRequest::header(const std::string& lowerCaseName) const {
    auto found = headers.find(lowerCaseName);
    if (found == headers.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::string HubServer::sha256(const std::string& content) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(content.data(), content.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0x0F]);
    }
    return text;
}

HubServer::HubServer()
    : server_(std::make_unique<httplib::Server>()), stopping_(std::make_shared<std::atomic<bool>>(false)) {
    auto& server = *server_;
    server.set_keep_alive_timeout(1);
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        record(request);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // HEAD requests reach the Get handlers too.
    server.Get(
        R"(/api/(models|datasets|spaces)/([^/]+/[^/]+)/revision/(.+))",
        [this](const httplib::Request& request, httplib::Response& response) { serveListing(request, response); });
    server.Get(R"(/(?:(?:datasets|spaces)/)?([^/]+/[^/]+)/resolve/([^/]+)/(.+))",
               [this](const httplib::Request& request, httplib::Response& response) {
                   serveResolve(request, response, request.matches[1], request.matches[3], true);
               });
    server.Get(R"(/moved/([^/]+/[^/]+)/resolve/([^/]+)/(.+))",
               [this](const httplib::Request& request, httplib::Response& response) {
                   serveResolve(request, response, request.matches[1], request.matches[3], false);
               });
    server.Get(R"(/cdn/([^/]+/[^/]+)/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
        serveContent(request, response, request.matches[1], request.matches[2]);
    });

    port_ = server.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("the test hub server could not bind to 127.0.0.1");
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    for (int attempt = 0; attempt < 500 && !server_->is_running(); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

HubServer::~HubServer() {
    stopping_->store(true);
    server_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string HubServer::endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

void HubServer::addFile(const std::string& repoId, const std::string& path, std::string content, FileOptions options) {
    std::lock_guard lock(mutex_);
    auto& repository = repositories_[repoId];
    if (repository.commit.empty()) {
        repository.commit = defaultCommit;
    }
    if (std::find(repository.listing.begin(), repository.listing.end(), path) == repository.listing.end()) {
        repository.listing.push_back(path);
    }
    repository.files[path] = File{std::move(content), std::move(options)};
}

void HubServer::addDirectory(const std::string& repoId, const std::filesystem::path& folder, FileOptions options) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        addFile(repoId, std::filesystem::relative(file, folder).generic_string(), readText(file), options);
    }
}

void HubServer::removeFile(const std::string& repoId, const std::string& path) {
    std::lock_guard lock(mutex_);
    auto& repository = repositories_[repoId];
    repository.files.erase(path);
    std::erase(repository.listing, path);
}

void HubServer::addListingEntry(const std::string& repoId, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto& repository = repositories_[repoId];
    if (repository.commit.empty()) {
        repository.commit = defaultCommit;
    }
    repository.listing.push_back(name);
}

void HubServer::setCommit(const std::string& repoId, const std::string& commit) {
    std::lock_guard lock(mutex_);
    repositories_[repoId].commit = commit;
}

std::string HubServer::commit(const std::string& repoId) const {
    std::lock_guard lock(mutex_);
    auto found = repositories_.find(repoId);
    return found == repositories_.end() || found->second.commit.empty() ? defaultCommit : found->second.commit;
}

std::string HubServer::etagLocked(const Repository&, const std::string&, const File& file) const {
    if (file.options.etag) {
        return *file.options.etag;
    }
    auto digest = sha256(file.content);
    return file.options.lfs ? digest : digest.substr(0, 40);
}

std::string HubServer::etag(const std::string& repoId, const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto& repository = repositories_.at(repoId);
    return etagLocked(repository, path, repository.files.at(path));
}

void HubServer::addFault(const std::string& repoId, const std::string& path, Fault fault) {
    std::lock_guard lock(mutex_);
    repositories_[repoId].faults[path].push_back(fault);
}

void HubServer::setListingStatus(const std::string& repoId, std::optional<int> status) {
    std::lock_guard lock(mutex_);
    repositories_[repoId].listingStatus = status;
}

void HubServer::setMetadataStatus(const std::string& repoId, const std::string& path, std::optional<int> status) {
    std::lock_guard lock(mutex_);
    auto& statuses = repositories_[repoId].metadataStatus;
    if (status) {
        statuses[path] = *status;
    } else {
        statuses.erase(path);
    }
}

std::vector<HubServer::RecordedRequest> HubServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t HubServer::countRequests(const std::string& method, const std::string& pathPart) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(), [&](const auto& request) {
        return request.method == method && request.path.find(pathPart) != std::string::npos;
    }));
}

void HubServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

void HubServer::record(const httplib::Request& request) {
    RecordedRequest recorded;
    recorded.method = request.method;
    recorded.path = request.path;
    recorded.target = request.target;
    for (const auto& [name, value] : request.headers) {
        recorded.headers[lowerCased(name)] = value;
    }
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(recorded));
}

void HubServer::serveListing(const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(mutex_);
    auto found = repositories_.find(request.matches[2]);
    if (found == repositories_.end()) {
        response.status = 404;
        response.set_content(R"({"error":"Repository not found"})", "application/json");
        return;
    }
    if (found->second.listingStatus) {
        response.status = *found->second.listingStatus;
        response.set_content(R"({"error":"refused"})", "application/json");
        return;
    }
    std::string body =
        R"({"id":")" + jsonEscaped(found->first) + R"(","sha":")" + found->second.commit + R"(","siblings":[)";
    bool first = true;
    // Asked with its blob details, the listing gives each file's size, as the hub does.
    const bool blobs = request.get_param_value("blobs") == "true";
    for (const auto& name : found->second.listing) {
        body += (first ? "" : ",") + std::string(R"({"rfilename":")") + jsonEscaped(name) + "\"";
        const auto file = found->second.files.find(name);
        if (blobs && file != found->second.files.end()) {
            body += R"(,"size":)" + std::to_string(file->second.content.size());
        }
        body += "}";
        first = false;
    }
    body += "]}";
    response.status = 200;
    response.set_content(body, "application/json");
}

void HubServer::serveResolve(const httplib::Request& request, httplib::Response& response, const std::string& repoId,
                             const std::string& path, bool allowRedirect) {
    std::unique_lock lock(mutex_);
    auto repository = repositories_.find(repoId);
    if (repository == repositories_.end()) {
        response.status = 404;
        response.set_header("X-Error-Code", "RepoNotFound");
        return;
    }
    if (auto status = repository->second.metadataStatus.find(path);
        request.method == "HEAD" && status != repository->second.metadataStatus.end()) {
        response.status = status->second;
        return;
    }
    auto file = repository->second.files.find(path);
    if (file == repository->second.files.end()) {
        response.status = 404;
        response.set_header("X-Error-Code", "EntryNotFound");
        return;
    }
    const auto& options = file->second.options;
    const std::string etag = etagLocked(repository->second, path, file->second);
    auto setHeader = [&](const std::string& name, const std::string& value) {
        if (std::find(options.omittedHeaders.begin(), options.omittedHeaders.end(), name) ==
            options.omittedHeaders.end()) {
            response.set_header(name, value);
        }
    };
    setHeader("X-Repo-Commit", repository->second.commit);

    if (allowRedirect && options.redirect == Redirect::relative) {
        response.status = 307;
        setHeader("Location",
                  "/moved/" + repoId + "/resolve/" + std::string(request.matches[2]) + "/" + path + "?source=relative");
        return;
    }
    if (options.lfs) {
        setHeader("X-Linked-Etag", "\"" + etag + "\"");
        setHeader("X-Linked-Size", std::to_string(file->second.content.size()));
    }
    if (allowRedirect && options.redirect == Redirect::absolute) {
        response.status = 302;
        setHeader("Location", endpoint() + "/cdn/" + repoId + "/" + path);
        if (!options.lfs) {
            setHeader("ETag", "W/\"" + etag + "\"");
        }
        return;
    }
    if (request.method == "HEAD") {
        response.status = 200;
        setHeader("ETag", options.lfs ? "\"" + etag + "\"" : "W/\"" + etag + "\"");
        response.set_content(file->second.content, "application/octet-stream");
        return;
    }
    lock.unlock();
    serveContent(request, response, repoId, path);
}

void HubServer::serveContent(const httplib::Request& request, httplib::Response& response, const std::string& repoId,
                             const std::string& path) {
    std::optional<Fault> fault;
    std::shared_ptr<std::string> content;
    std::string strongEtag;  // empty for a file with a weak entity tag
    {
        std::lock_guard lock(mutex_);
        auto repository = repositories_.find(repoId);
        if (repository == repositories_.end()) {
            response.status = 404;
            return;
        }
        auto file = repository->second.files.find(path);
        if (file == repository->second.files.end()) {
            response.status = 404;
            return;
        }
        content = std::make_shared<std::string>(file->second.content);
        if (file->second.options.lfs) {
            strongEtag = "\"" + etagLocked(repository->second, path, file->second) + "\"";
        }
        auto& faults = repository->second.faults[path];
        if (!faults.empty()) {
            fault = faults.front();
            faults.pop_front();
        }
    }
    // Ranges are answered here, exactly as asked (or ignored on purpose), so the library's own
    // range handling must not cut the body a second time. The request object is not const
    // where the library made it; only the handler's view of it is.
    const_cast<httplib::Request&>(request).ranges.clear();

    if (fault && fault->kind == Fault::Kind::status) {
        response.status = fault->statusCode;
        return;
    }
    std::size_t start = 0;
    auto range = rangeStart(request);
    // If-Range: the range holds only while the file is the version the client names (a weak
    // tag never matches); otherwise the whole file is sent.
    if (request.has_header("If-Range") && (strongEtag.empty() || request.get_header_value("If-Range") != strongEtag)) {
        range.reset();
    }
    if (range && !(fault && fault->kind == Fault::Kind::ignoreRange)) {
        if (*range >= content->size()) {
            response.status = 416;
            response.set_header("Content-Range", "bytes */" + std::to_string(content->size()));
            return;
        }
        start = *range;
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(start) + "-" +
                                                 std::to_string(content->size() - 1) + "/" +
                                                 std::to_string(content->size()));
    } else {
        response.status = 200;
    }
    auto body = std::make_shared<std::string>(content->substr(start));
    if (fault && fault->kind == Fault::Kind::shortBody) {
        body->resize(std::min(body->size(), static_cast<std::size_t>(std::max<std::int64_t>(0, fault->bytes))));
    }
    if (fault && fault->kind == Fault::Kind::claimLonger) {
        const std::size_t extra = static_cast<std::size_t>(std::max<std::int64_t>(0, fault->bytes));
        response.set_content_provider(body->size() + extra, "application/octet-stream",
                                      [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                          if (offset >= body->size()) return false;  // closes, short of the claim
                                          sink.write(body->data() + offset, std::min(length, body->size() - offset));
                                          return true;
                                      });
        return;
    }
    if (!fault || (fault->kind != Fault::Kind::dropAfter && fault->kind != Fault::Kind::stallAfter)) {
        response.set_content(*body, "application/octet-stream");
        return;
    }
    auto limit = static_cast<std::size_t>(std::max<std::int64_t>(0, fault->bytes));
    limit = std::min(limit, body->size());
    bool stall = fault->kind == Fault::Kind::stallAfter;
    auto stopping = stopping_;
    response.set_content_provider(
        body->size(), "application/octet-stream",
        [body, limit, stall, stopping](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (offset < limit) {
                std::size_t count = std::min({length, limit - offset, std::size_t{16384}});
                sink.write(body->data() + offset, count);
                return true;
            }
            if (stall) {
                // Hold the connection open without sending anything until the server stops
                // (the client gives up on its own through its idle limit).
                auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (!stopping->load() && std::chrono::steady_clock::now() < until) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
            return false;  // closes the connection with the body unfinished
        });
}

}  // namespace norvel::test
