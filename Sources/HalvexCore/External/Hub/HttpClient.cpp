#include "HalvexCore/External/Hub/HttpClient.h"

#include "HalvexCore/External/Hub/NetworkMonitor.h"
#include "HalvexCore/External/Hub/UrlError.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace halvex {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

void ensureGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw std::runtime_error("libcurl could not be initialised");
        }
    });
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// State shared with the libcurl callbacks of one transfer.
struct Transfer {
    CURL* easy = nullptr;
    const HttpRequest* request = nullptr;
    const HttpClient::Handlers* handlers = nullptr;
    HttpResponse response;
    long currentStatus = 0;
    bool delivered = false;
    std::exception_ptr failure;
    std::size_t headerBytes = 0;  // of the response head being received
    std::chrono::steady_clock::time_point headStarted = std::chrono::steady_clock::now();

    // Hands the response head to the caller once; false when the caller aborted.
    bool deliver() {
        if (delivered) {
            return true;
        }
        delivered = true;
        response.statusCode = currentStatus;
        char* effective = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective != nullptr) {
            response.url = effective;
        } else {
            response.url = request->url;
        }
        if (handlers->onResponse) {
            try {
                handlers->onResponse(response);
            } catch (...) {
                failure = std::current_exception();
                return false;
            }
        }
        return true;
    }
};

bool isFollowedRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* context) {
    auto& transfer = *static_cast<Transfer*>(context);
    std::size_t length = size * count;
    std::string_view line(data, length);
    transfer.headerBytes += length;
    if (transfer.headerBytes > HttpClient::maximumHeaderBytes) {
        transfer.failure = std::make_exception_ptr(
            UrlError(UrlError::Code::badServerResponse, "The server returned a bad response (headers too large)."));
        return 0;
    }
    if (line.rfind("HTTP/", 0) == 0) {
        // A new response begins (a redirect's or an interim one's head came before).
        transfer.response.headers.clear();
        transfer.currentStatus = 0;
        transfer.headerBytes = length;
        auto space = line.find(' ');
        if (space != std::string_view::npos) {
            auto code = trimmed(line.substr(space + 1)).substr(0, 3);
            std::from_chars(code.data(), code.data() + code.size(), transfer.currentStatus);
        }
        return length;
    }
    if (trimmed(line).empty()) {
        long status = transfer.currentStatus;
        bool interim = status >= 100 && status < 200;
        bool redirectFollowed = transfer.request->followRedirects && isFollowedRedirect(status) &&
                                transfer.response.headers.contains("Location");
        if (!interim && !redirectFollowed && !transfer.deliver()) {
            return 0;
        }
        // The next head (after a redirect or an interim answer) has its own deadline.
        transfer.headStarted = std::chrono::steady_clock::now();
        return length;
    }
    auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        transfer.response.headers.set(std::string(trimmed(line.substr(0, colon))),
                                      std::string(trimmed(line.substr(colon + 1))));
    }
    return length;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto& transfer = *static_cast<Transfer*>(context);
    std::size_t length = size * count;
    if (!transfer.deliver()) {
        return 0;
    }
    if (transfer.handlers->onBody) {
        try {
            transfer.handlers->onBody(data, length);
        } catch (...) {
            transfer.failure = std::current_exception();
            return 0;
        }
    }
    return length;
}

// `osError` is the system's error number of a failed connection (0 when there is none).
UrlError transportError(CURLcode code, const char* detail, long osError = 0) {
    std::string text = detail != nullptr && detail[0] != '\0' ? detail : curl_easy_strerror(code);
    auto error = [&](UrlError::Code kind, const char* base) {
        return UrlError(kind, std::string(base) + " (" + text + ")", static_cast<int>(code));
    };
    switch (code) {
        case CURLE_ABORTED_BY_CALLBACK: return UrlError(UrlError::Code::cancelled, "cancelled", static_cast<int>(code));
        case CURLE_OPERATION_TIMEDOUT: return error(UrlError::Code::timedOut, "The request timed out.");
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            if (!NetworkMonitor::currentPathIsSatisfied()) {
                return error(UrlError::Code::notConnectedToInternet, "The Internet connection appears to be offline.");
            }
            return error(UrlError::Code::cannotFindHost, "A server with the specified hostname could not be found.");
        case CURLE_COULDNT_CONNECT:
            // A refusal is the server's own answer: the network reached it.
            if (osError != ECONNREFUSED && !NetworkMonitor::currentPathIsSatisfied()) {
                return error(UrlError::Code::notConnectedToInternet, "The Internet connection appears to be offline.");
            }
            return error(UrlError::Code::cannotConnectToHost, "Could not connect to the server.");
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return error(UrlError::Code::networkConnectionLost, "The network connection was lost.");
        case CURLE_URL_MALFORMAT: return error(UrlError::Code::badURL, "unsupported URL");
        case CURLE_UNSUPPORTED_PROTOCOL: return error(UrlError::Code::unsupportedURL, "unsupported URL");
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
            return error(UrlError::Code::secureConnectionFailed, "A TLS error caused the secure connection to fail.");
        case CURLE_TOO_MANY_REDIRECTS: return error(UrlError::Code::tooManyRedirects, "too many HTTP redirects");
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return error(UrlError::Code::badServerResponse, "The server returned a bad response.");
        case CURLE_WRITE_ERROR: return error(UrlError::Code::cannotWriteToFile, "The file could not be written.");
        default: return error(UrlError::Code::unknown, "The request failed.");
    }
}

void check(CURLcode code) {
    if (code != CURLE_OK) {
        throw transportError(code, nullptr);
    }
}

}  // namespace

std::string HttpHeaders::lowerCased(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

void HttpHeaders::set(std::string name, std::string value) {
    auto [place, added] = index_.try_emplace(lowerCased(name), fields_.size());
    if (added) {
        fields_.emplace_back(std::move(name), std::move(value));
    } else {
        fields_[place->second] = {std::move(name), std::move(value)};
    }
}

void HttpHeaders::remove(std::string_view name) {
    auto found = index_.find(lowerCased(name));
    if (found == index_.end()) {
        return;
    }
    const std::size_t place = found->second;
    fields_.erase(fields_.begin() + static_cast<std::ptrdiff_t>(place));
    index_.erase(found);
    for (auto& entry : index_) {
        if (entry.second > place) {
            --entry.second;
        }
    }
}

std::optional<std::string> HttpHeaders::value(std::string_view name) const {
    auto found = index_.find(lowerCased(name));
    if (found == index_.end()) {
        return std::nullopt;
    }
    return fields_[found->second].second;
}

HttpResponse HttpClient::perform(const HttpRequest& request, const Handlers& handlers, std::stop_token stop) {
    ensureGlobalInit();
    if (stop.stop_requested()) {
        throw UrlError::cancelledError();
    }
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) {
        throw UrlError(UrlError::Code::unknown, "The request could not be created.");
    }
    Transfer transfer;
    transfer.easy = easy.get();
    transfer.request = &request;
    transfer.handlers = &handlers;

    std::unique_ptr<curl_slist, SlistDeleter> headerList;
    for (const auto& [name, value] : request.headers.fields()) {
        // "Name;" is libcurl's way of sending a header whose value is empty.
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist* extended = curl_slist_append(headerList.get(), line.c_str());
        if (extended == nullptr) {
            throw UrlError(UrlError::Code::unknown, "The request could not be created.");
        }
        headerList.release();
        headerList.reset(extended);
    }

    char errorText[CURL_ERROR_SIZE] = {0};
    const auto idle = std::max(request.idleTimeout, std::chrono::milliseconds(1));
    CURL* handle = easy.get();
    check(curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str()));
    check(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L));
    check(curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText));
    check(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https"));
    check(curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    check(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L));
    check(curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 20L));
    check(curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(idle.count())));
    check(curl_easy_setopt(handle, CURLOPT_USERAGENT, "HalvexCore/1.0"));
    check(curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get()));
    check(curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &onHeader));
    check(curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer));
    check(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &onBody));
    check(curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer));
    if (request.method == "HEAD") {
        check(curl_easy_setopt(handle, CURLOPT_NOBODY, 1L));
    } else if (request.method != "GET") {
        throw UrlError(UrlError::Code::unsupportedURL, "unsupported request method " + request.method);
    }

    if (curl_multi_add_handle(multi.get(), handle) != CURLM_OK) {
        throw UrlError(UrlError::Code::unknown, "The request could not be started.");
    }
    bool cancelled = false;
    bool idledOut = false;
    transfer.headStarted = std::chrono::steady_clock::now();
    CURLcode result = CURLE_OK;
    {
        // A stop request wakes the poll below at once instead of after its timeout.
        std::stop_callback wake(stop, [&multi] { curl_multi_wakeup(multi.get()); });
        // The idle limit is kept here rather than with libcurl's low-speed limit, whose speed is
        // averaged over several seconds and so notices a stall late.
        auto lastActivity = std::chrono::steady_clock::now();
        curl_off_t lastBodyBytes = 0;
        long lastHeaderBytes = 0;
        int running = 1;
        while (true) {
            CURLMcode status = curl_multi_perform(multi.get(), &running);
            if (status != CURLM_OK) {
                result = CURLE_RECV_ERROR;
                break;
            }
            if (running == 0) {
                int queued = 0;
                while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
                    if (message->msg == CURLMSG_DONE) {
                        result = message->data.result;
                    }
                }
                break;
            }
            if (stop.stop_requested()) {
                cancelled = true;
                break;
            }
            auto now = std::chrono::steady_clock::now();
            curl_off_t bodyBytes = 0;
            long headerBytes = 0;
            curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &bodyBytes);
            curl_easy_getinfo(handle, CURLINFO_HEADER_SIZE, &headerBytes);
            if (bodyBytes != lastBodyBytes || headerBytes != lastHeaderBytes) {
                lastBodyBytes = bodyBytes;
                lastHeaderBytes = headerBytes;
                lastActivity = now;
            }
            auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastActivity);
            if (quiet >= idle) {
                idledOut = true;
                break;
            }
            auto left = idle - quiet;
            if (!transfer.delivered) {
                // A head that arrives a little at a time still has to be complete in time.
                auto receiving = std::chrono::duration_cast<std::chrono::milliseconds>(now - transfer.headStarted);
                if (receiving >= idle) {
                    idledOut = true;
                    break;
                }
                left = std::min(left, idle - receiving);
            }
            auto wait = std::clamp(left, std::chrono::milliseconds(1), std::chrono::milliseconds(1000));
            curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
            if (stop.stop_requested()) {
                cancelled = true;
                break;
            }
        }
    }
    curl_multi_remove_handle(multi.get(), handle);

    if (transfer.failure) {
        std::rethrow_exception(transfer.failure);
    }
    if (cancelled) {
        throw UrlError::cancelledError();
    }
    if (idledOut) {
        throw UrlError(UrlError::Code::timedOut, "The request timed out.", static_cast<int>(CURLE_OPERATION_TIMEDOUT));
    }
    if (result != CURLE_OK) {
        long osError = 0;
        curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osError);
        throw transportError(result, errorText, osError);
    }
    if (!transfer.deliver()) {
        std::rethrow_exception(transfer.failure);
    }
    return transfer.response;
}

HttpResponse HttpClient::fetch(const HttpRequest& request, std::string& body, std::stop_token stop,
                               std::size_t maximumBodySize) {
    body.clear();
    Handlers handlers;
    handlers.onBody = [&body, maximumBodySize](const char* data, std::size_t size) {
        if (size > maximumBodySize - body.size()) {
            throw UrlError(UrlError::Code::badServerResponse, "The server returned a bad response (more than " +
                                                                  std::to_string(maximumBodySize) + " bytes).");
        }
        body.append(data, size);
    };
    return perform(request, handlers, std::move(stop));
}

std::string HttpClient::escapePathComponent(std::string_view text, bool keepSlashes) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (unsigned char c : text) {
        bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        bool plain = alphanumeric || c == '-' || c == '.' || c == '_' || c == '~' || c == '!' || c == '$' || c == '&' ||
                     c == '\'' || c == '(' || c == ')' || c == '*' || c == '+' || c == ',' || c == ';' || c == '=' ||
                     c == ':' || c == '@' || (keepSlashes && c == '/');
        if (plain) {
            escaped.push_back(static_cast<char>(c));
        } else {
            escaped.push_back('%');
            escaped.push_back(hex[c >> 4]);
            escaped.push_back(hex[c & 0x0F]);
        }
    }
    return escaped;
}

}  // namespace halvex
