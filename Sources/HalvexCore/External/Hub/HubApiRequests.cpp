#include "HalvexCore/CollectionHelpers.h"
#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"
#include "HalvexCore/External/Hub/HubApi.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "HalvexCore/FileContents.h"
#include "Platform/IO/FileBytes.h"
#include "Platform/IO/FileHandle.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <set>
#include <system_error>

namespace halvex {

namespace {

constexpr auto requestIdleTimeout = std::chrono::seconds(60);
constexpr int maximumRedirects = 20;

std::string percentDecoded(std::string_view text) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                decoded.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        decoded.push_back(text[i]);
    }
    return decoded;
}

// The URL's path: after the authority, before any query or fragment.
std::string_view urlPath(std::string_view url) {
    auto scheme = url.find("://");
    std::size_t start = scheme == std::string_view::npos ? 0 : url.find('/', scheme + 3);
    if (start == std::string_view::npos) {
        return {};
    }
    auto end = url.find_first_of("?#", start);
    return url.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// The last path component of a URL, percent-decoded.
std::string lastPathComponent(std::string_view url) {
    auto path = urlPath(url);
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    auto slash = path.rfind('/');
    return percentDecoded(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// scheme://authority of a URL.
std::string urlOrigin(std::string_view url) {
    auto scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return {};
    }
    auto end = url.find_first_of("/?#", scheme + 3);
    return std::string(url.substr(0, end));
}

// A Location without scheme or authority names a place on the same host.
bool isRelativeLocation(std::string_view location) {
    if (location.substr(0, 2) == "//") {
        return false;
    }
    auto colon = location.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        return true;
    }
    auto isSchemeCharacter = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
               c == '.';
    };
    auto scheme = location.substr(0, colon);
    bool looksLikeScheme = ((scheme[0] >= 'a' && scheme[0] <= 'z') || (scheme[0] >= 'A' && scheme[0] <= 'Z')) &&
                           std::all_of(scheme.begin(), scheme.end(), isSchemeCharacter);
    auto slash = location.find('/');
    return !(looksLikeScheme && (slash == std::string_view::npos || slash > colon));
}

std::string joinedURL(const std::string& endpoint, const std::string& path) {
    std::string base = endpoint;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    return base + path;
}

std::optional<std::int64_t> parseSignedDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

void throwForStatus(long status, const std::string& url) {
    if (status == 401 || status == 403) {
        throw Hub::HubClientError::authorizationRequired(static_cast<int>(status));
    }
    if (status == 404) {
        throw Hub::HubClientError::fileNotFound(lastPathComponent(url));
    }
    throw Hub::HubClientError::httpStatusCode(static_cast<int>(status));
}

// The whole content of a file of at most `limit` bytes; throws std::filesystem::filesystem_error
// when it cannot be read or is larger (EFBIG), without reading more than `limit` + 1 bytes.
std::string readBoundedFile(const std::filesystem::path& path, std::size_t limit) {
    auto fail = [&](const char* what, int error) {
        throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
    };
    const platform::FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0) {
        fail("The file couldn't be opened", errno);
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) > limit) {
        fail("The file couldn't be read", EFBIG);
    }
    std::string data;
    if (const int error = platform::readAll(fd, data, limit); error != 0) {
        fail("The file couldn't be read", error);
    }
    return data;
}

}  // namespace

HttpResponse HubApi::httpGet(const std::string& url, std::string& body, std::stop_token stop) const {
    HttpRequest request;
    request.url = url;
    request.followRedirects = true;
    request.idleTimeout = requestIdleTimeout;
    if (hfToken_ && !hfToken_->empty()) {
        request.headers.set("Authorization", "Bearer " + *hfToken_);
    }
    HttpResponse response;
    try {
        response = HttpClient::fetch(request, body, std::move(stop), maximumResponseBodySize);
    } catch (const Hub::HubClientError&) {
        throw;
    } catch (const std::exception& error) {
        throw Hub::HubClientError::downloadError(error.what());
    }
    if (response.statusCode < 200 || response.statusCode > 299) {
        throwForStatus(response.statusCode, url);
    }
    return response;
}

HttpResponse HubApi::httpHead(const std::string& url, std::stop_token stop) const {
    HttpRequest request;
    request.method = "HEAD";
    request.url = url;
    request.idleTimeout = requestIdleTimeout;
    if (hfToken_ && !hfToken_->empty()) {
        request.headers.set("Authorization", "Bearer " + *hfToken_);
    }
    request.headers.set("Accept-Encoding", "identity");

    HttpResponse response;
    for (int hop = 0;; ++hop) {
        response = HttpClient::perform(request, {}, stop);
        auto location = response.headers.value("Location");
        if (response.statusCode < 300 || response.statusCode > 399 || !location || !isRelativeLocation(*location)) {
            break;
        }
        // Only a redirect on the same host is followed: the original scheme, host and port with
        // the new path and query. An absolute redirect (to a CDN) answers the request itself.
        std::string_view relative = *location;
        relative = relative.substr(0, relative.find('#'));
        auto question = relative.find('?');
        std::string_view path = relative.substr(0, question);
        if (path.empty() || path.front() != '/') {
            break;
        }
        if (hop >= maximumRedirects) {
            throw UrlError(UrlError::Code::tooManyRedirects, "too many HTTP redirects");
        }
        std::string next = urlOrigin(url) + std::string(path);
        if (question != std::string_view::npos) {
            next += std::string(relative.substr(question));
        }
        request.url = next;
        request.headers.set("Location", next);
    }
    response.url = request.url;
    if (response.statusCode < 200 || response.statusCode > 399) {
        throwForStatus(response.statusCode, url);
    }
    return response;
}

std::vector<std::string> HubApi::getFilenames(const Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs, std::stop_token stop) const {
    std::string url = joinedURL(endpoint_, "/api/" + std::string(toString(repo.type)) + "/" +
                                               HttpClient::escapePathComponent(repo.id, true) + "/revision/" +
                                               HttpClient::escapePathComponent(revision));
    std::string body;
    httpGet(url, body, std::move(stop));
    SiblingsResponse response;
    try {
        response = nlohmann::json::parse(body).get<SiblingsResponse>();
    } catch (const nlohmann::json::exception&) {
        // The parser's own words mean nothing to the user.
        throw Hub::HubClientError::parseError("The hub's listing of " + repo.id + " could not be read.");
    }

    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const auto& sibling : response.siblings) {
        bool wanted = globs.empty() || std::any_of(globs.begin(), globs.end(), [&](const std::string& glob) {
                          return matchesGlob(sibling.rfilename, glob);
                      });
        if (wanted && seen.insert(sibling.rfilename).second) {
            names.push_back(sibling.rfilename);
        }
    }
    return names;
}

HubApi::FileMetadata HubApi::getFileMetadata(const std::string& url, std::stop_token stop) const {
    auto response = httpHead(url, std::move(stop));
    FileMetadata metadata;
    if (response.statusCode == 302) {
        metadata.location = response.headers.value("Location").value_or("");
    } else {
        metadata.location = response.url;
    }
    if (metadata.location.empty()) {
        metadata.location = url;
    }
    metadata.commitHash = response.headers.value("X-Repo-Commit");
    auto etag = response.headers.value("X-Linked-Etag");
    metadata.etag = normalizeEtag(etag ? etag : response.headers.value("Etag"));
    auto size = response.headers.value("X-Linked-Size");
    if (!size) {
        size = response.headers.value("Content-Length");
    }
    if (size) {
        metadata.size = parseSignedDecimal(*size);
    }
    return metadata;
}

std::optional<std::string> HubApi::normalizeEtag(const std::optional<std::string>& etag) {
    if (!etag) {
        return std::nullopt;
    }
    std::string_view text = *etag;
    if (text.substr(0, 2) == "W/") {
        text.remove_prefix(2);
    }
    while (!text.empty() && text.front() == '"') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == '"') {
        text.remove_suffix(1);
    }
    return std::string(text);
}

Config HubApi::configuration(const std::filesystem::path& fileURL) const {
    std::string data = readBoundedFile(fileURL, maximumConfigurationFileSize);
    Config parsed;
    try {
        parsed = JSONSerialization::bomPreservingConfig(data);
    } catch (const nlohmann::json::exception&) {
        std::string url = "file://" + std::filesystem::absolute(fileURL).string();
        throw Hub::HubClientError::jsonSerialization(
            url, "JSON Serialization failed for " + url +
                     ". Please verify that you have set the HF_TOKEN environment variable.");
    }
    if (parsed.kind() != Config::Kind::dictionary) {
        throw Hub::HubClientError::parse();
    }
    return parsed;
}

}  // namespace halvex
