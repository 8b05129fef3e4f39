#include "HalvexCore/External/Hub/HubErrors.h"

namespace halvex {

namespace Hub {

HubClientError::HubClientError(Kind kind, std::string message)
    : std::runtime_error(std::move(message)), kind_(kind), underlying_(std::current_exception()) {}

HubClientError HubClientError::authorizationRequired(std::optional<int> statusCode) {
    HubClientError error(Kind::authorizationRequired,
                         statusCode ? "Authentication failed with status code: " + std::to_string(*statusCode) +
                                          ". Please check your Hugging Face token."
                                    : "Authentication required. Please provide a valid Hugging Face token.");
    error.statusCode_ = statusCode;
    return error;
}

HubClientError HubClientError::httpStatusCode(int statusCode) {
    HubClientError error(Kind::httpStatusCode, "HTTP error with status code: " + std::to_string(statusCode));
    error.statusCode_ = statusCode;
    return error;
}

HubClientError HubClientError::jsonSerialization(std::string fileURL, std::string message) {
    HubClientError error(Kind::jsonSerialization, message);
    error.fileURL_ = std::move(fileURL);
    error.text_ = std::move(message);
    return error;
}

HubClientError HubClientError::downloadError(std::string text) {
    HubClientError error(Kind::downloadError, "Download failed: " + text);
    error.text_ = std::move(text);
    return error;
}

HubClientError HubClientError::fileNotFound(std::string name) {
    HubClientError error(Kind::fileNotFound, "File not found: " + name);
    error.text_ = std::move(name);
    return error;
}

HubClientError HubClientError::networkError(std::exception_ptr urlError) {
    HubClientError error(Kind::networkError, "Network error: " + localizedDescription(urlError));
    error.underlying_ = std::move(urlError);
    return error;
}

HubClientError HubClientError::resourceNotFound(std::string text) {
    HubClientError error(Kind::resourceNotFound, "Resource not found: " + text);
    error.text_ = std::move(text);
    return error;
}

HubClientError HubClientError::configurationMissing(std::string name) {
    HubClientError error(Kind::configurationMissing, "Required configuration file missing: " + name);
    error.text_ = std::move(name);
    return error;
}

HubClientError HubClientError::fileSystemError(std::exception_ptr underlying) {
    HubClientError error(Kind::fileSystemError, "File system error: " + localizedDescription(underlying));
    error.underlying_ = std::move(underlying);
    return error;
}

HubClientError HubClientError::parseError(std::string text) {
    HubClientError error(Kind::parseError, "Parse error: " + text);
    error.text_ = std::move(text);
    return error;
}

HubClientError HubClientError::parse() { return HubClientError(Kind::parse, "Failed to parse server response."); }

HubClientError HubClientError::unexpectedError() {
    return HubClientError(Kind::unexpectedError, "An unexpected error occurred.");
}

}  // namespace Hub

HubEnvironmentError::HubEnvironmentError(Kind kind, std::string text)
    : std::runtime_error([&] {
          switch (kind) {
              case Kind::invalidMetadataError: return "Invalid metadata: " + text;
              case Kind::offlineModeError: return "Offline mode error: " + text;
              case Kind::fileIntegrityError: return "File integrity check failed: " + text;
              case Kind::fileWriteError: return "Failed to write file: " + text;
          }
          return text;
      }()),
      kind_(kind),
      text_(std::move(text)) {}

HubEnvironmentError HubEnvironmentError::invalidMetadataError(std::string text) {
    return HubEnvironmentError(Kind::invalidMetadataError, std::move(text));
}
HubEnvironmentError HubEnvironmentError::offlineModeError(std::string text) {
    return HubEnvironmentError(Kind::offlineModeError, std::move(text));
}
HubEnvironmentError HubEnvironmentError::fileIntegrityError(std::string text) {
    return HubEnvironmentError(Kind::fileIntegrityError, std::move(text));
}
HubEnvironmentError HubEnvironmentError::fileWriteError(std::string text) {
    return HubEnvironmentError(Kind::fileWriteError, std::move(text));
}

std::string localizedDescription(const std::exception_ptr& error) {
    if (!error) {
        return "The operation couldn't be completed.";
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "The operation couldn't be completed.";
    }
}

}  // namespace halvex
