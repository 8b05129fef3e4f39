#pragma once

#include <stdexcept>
#include <string>

namespace halvex {

// A failure of the URL-loading layer itself: the request could not be sent, the connection
// broke, the transfer stalled past its idle limit or was cancelled. HTTP status codes are not
// URL errors; the hub client maps them to its own errors.
class UrlError : public std::runtime_error {
public:
    enum class Code {
        unknown,
        cancelled,
        badURL,
        timedOut,
        unsupportedURL,
        cannotFindHost,
        cannotConnectToHost,
        networkConnectionLost,
        notConnectedToInternet,
        resourceUnavailable,
        badServerResponse,
        secureConnectionFailed,
        tooManyRedirects,
        cannotWriteToFile,
    };

    UrlError(Code code, std::string description, int transportCode = 0);

    Code code() const noexcept { return code_; }
    // The transport library's own result code (0 when the error did not come from it).
    int transportCode() const noexcept { return transportCode_; }
    // The localized description: what() without decoration.
    std::string localizedDescription() const { return what(); }

    static UrlError cancelledError();

private:
    Code code_;
    int transportCode_;
};

const char* toString(UrlError::Code code) noexcept;

}  // namespace halvex
