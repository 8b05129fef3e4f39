#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace halvex {

// HTTP header fields; names compare without regard to case. Each name is held once, so
// setting and looking up a field take constant time whatever the number of fields.
class HttpHeaders {
public:
    // Replaces the field of that name (keeping its place) or adds it at the end.
    void set(std::string name, std::string value);
    void remove(std::string_view name);
    std::optional<std::string> value(std::string_view name) const;
    bool contains(std::string_view name) const { return index_.count(lowerCased(name)) != 0; }
    const std::vector<std::pair<std::string, std::string>>& fields() const noexcept { return fields_; }
    void clear() noexcept {
        fields_.clear();
        index_.clear();
    }

private:
    static std::string lowerCased(std::string_view text);

    std::vector<std::pair<std::string, std::string>> fields_;
    std::unordered_map<std::string, std::size_t> index_;  // lower-cased name → place in fields_
};

struct HttpRequest {
    std::string method = "GET";  // "GET" or "HEAD"
    std::string url;
    HttpHeaders headers;
    bool followRedirects = false;
    // Idle limit: the transfer fails with UrlError::timedOut when nothing arrives for this long
    // (also while connecting), and also when the head of a response (its status line and
    // headers) takes longer than this to arrive in full, so that a server cannot keep a request
    // open by dripping headers. There is deliberately no limit on the duration of a body.
    std::chrono::milliseconds idleTimeout{60000};
};

struct HttpResponse {
    long statusCode = 0;
    std::string url;  // the URL that answered
    HttpHeaders headers;
};

// Blocking HTTP transfers over libcurl, run on the calling thread.
class HttpClient {
public:
    struct Handlers {
        // Called once the head of the final response is in, before its first body byte.
        // It may throw to abort the transfer; the exception reaches the caller unchanged.
        std::function<void(const HttpResponse&)> onResponse;
        // Called with each piece of the body, in order; may throw like onResponse.
        std::function<void(const char* data, std::size_t size)> onBody;
    };

    // The most header bytes one response may send; more fails with badServerResponse.
    static constexpr std::size_t maximumHeaderBytes = 256 * 1024;

    // Runs one request. Transport failures throw UrlError (code cancelled once `stop` fires);
    // exceptions of the handlers pass through. HTTP status codes are not errors here.
    static HttpResponse perform(const HttpRequest& request, const Handlers& handlers, std::stop_token stop = {});

    // Runs one request and gathers its body in memory. A body longer than `maximumBodySize`
    // stops the transfer with UrlError badServerResponse.
    static HttpResponse fetch(const HttpRequest& request, std::string& body, std::stop_token stop = {},
                              std::size_t maximumBodySize = static_cast<std::size_t>(-1));

    // Percent-encodes one URL path component; with keepSlashes, "/" stays a separator.
    static std::string escapePathComponent(std::string_view text, bool keepSlashes = false);
};

}  // namespace halvex
