#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvex {

// HTTP header fields; names compare without regard to case.
class HttpHeaders {
public:
    // Replaces every field of that name.
    void set(std::string name, std::string value);
    void remove(std::string_view name);
    std::optional<std::string> value(std::string_view name) const;
    bool contains(std::string_view name) const { return value(name).has_value(); }
    const std::vector<std::pair<std::string, std::string>>& fields() const noexcept { return fields_; }
    void clear() noexcept { fields_.clear(); }

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

struct HttpRequest {
    std::string method = "GET";  // "GET" or "HEAD"
    std::string url;
    HttpHeaders headers;
    bool followRedirects = false;
    // Idle limit: the transfer fails with UrlError::timedOut when nothing arrives for this long
    // (also while connecting). There is deliberately no limit on the total duration.
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

    // Runs one request. Transport failures throw UrlError (code cancelled once `stop` fires);
    // exceptions of the handlers pass through. HTTP status codes are not errors here.
    static HttpResponse perform(const HttpRequest& request, const Handlers& handlers, std::stop_token stop = {});

    // Runs one request and gathers its body in memory.
    static HttpResponse fetch(const HttpRequest& request, std::string& body, std::stop_token stop = {});

    // Percent-encodes one URL path component; with keepSlashes, "/" stays a separator.
    static std::string escapePathComponent(std::string_view text, bool keepSlashes = false);
};

}  // namespace halvex
