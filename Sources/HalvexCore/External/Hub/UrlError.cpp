#include "HalvexCore/External/Hub/UrlError.h"

namespace halvex {

UrlError::UrlError(Code code, std::string description, int transportCode)
    : std::runtime_error(std::move(description)), code_(code), transportCode_(transportCode) {}

UrlError UrlError::cancelledError() { return UrlError(Code::cancelled, "cancelled"); }

const char* toString(UrlError::Code code) noexcept {
    switch (code) {
        case UrlError::Code::unknown: return "unknown";
        case UrlError::Code::cancelled: return "cancelled";
        case UrlError::Code::badURL: return "badURL";
        case UrlError::Code::timedOut: return "timedOut";
        case UrlError::Code::unsupportedURL: return "unsupportedURL";
        case UrlError::Code::cannotFindHost: return "cannotFindHost";
        case UrlError::Code::cannotConnectToHost: return "cannotConnectToHost";
        case UrlError::Code::networkConnectionLost: return "networkConnectionLost";
        case UrlError::Code::notConnectedToInternet: return "notConnectedToInternet";
        case UrlError::Code::resourceUnavailable: return "resourceUnavailable";
        case UrlError::Code::badServerResponse: return "badServerResponse";
        case UrlError::Code::secureConnectionFailed: return "secureConnectionFailed";
        case UrlError::Code::tooManyRedirects: return "tooManyRedirects";
        case UrlError::Code::cannotWriteToFile: return "cannotWriteToFile";
    }
    return "unknown";
}

}  // namespace halvex
