#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

namespace halvex {

namespace Hub {

// Errors of the network side of the hub client. what() is the message shown to users.
class HubClientError : public std::runtime_error {
public:
    enum class Kind {
        authorizationRequired,
        httpStatusCode,
        jsonSerialization,
        downloadError,
        fileNotFound,
        networkError,
        resourceNotFound,
        configurationMissing,
        fileSystemError,
        parseError,
        parse,
        unexpectedError,
    };

    static HubClientError authorizationRequired(std::optional<int> statusCode);
    static HubClientError httpStatusCode(int statusCode);
    static HubClientError jsonSerialization(std::string fileURL, std::string message);
    static HubClientError downloadError(std::string text);
    static HubClientError fileNotFound(std::string name);
    // Carries a UrlError (or any other exception) in `underlying()`.
    static HubClientError networkError(std::exception_ptr urlError);
    static HubClientError resourceNotFound(std::string text);
    static HubClientError configurationMissing(std::string name);
    static HubClientError fileSystemError(std::exception_ptr error);
    static HubClientError parseError(std::string text);
    static HubClientError parse();
    static HubClientError unexpectedError();

    Kind kind() const noexcept { return kind_; }
    // The text payload (file name, message, description…); empty for cases without one.
    const std::string& text() const noexcept { return text_; }
    const std::optional<int>& statusCode() const noexcept { return statusCode_; }
    // The URL payload of jsonSerialization.
    const std::string& fileURL() const noexcept { return fileURL_; }
    // The error this one wraps: the one given to networkError and fileSystemError; for the
    // other cases the error being handled when this one was made (like std::nested_exception
    // does), so that a transport failure turned into downloadError keeps its code. Null when
    // there was none.
    const std::exception_ptr& underlying() const noexcept { return underlying_; }

    std::string errorDescription() const { return what(); }

private:
    HubClientError(Kind kind, std::string message);

    Kind kind_;
    std::string text_;
    std::string fileURL_;
    std::optional<int> statusCode_;
    std::exception_ptr underlying_;
};

}  // namespace Hub

// Errors of the local side of the hub client: cache records, offline mode, integrity.
class HubEnvironmentError : public std::runtime_error {
public:
    enum class Kind { invalidMetadataError, offlineModeError, fileIntegrityError, fileWriteError };

    static HubEnvironmentError invalidMetadataError(std::string text);
    static HubEnvironmentError offlineModeError(std::string text);
    static HubEnvironmentError fileIntegrityError(std::string text);
    static HubEnvironmentError fileWriteError(std::string text);

    Kind kind() const noexcept { return kind_; }
    const std::string& text() const noexcept { return text_; }
    std::string errorDescription() const { return what(); }

private:
    HubEnvironmentError(Kind kind, std::string text);

    Kind kind_;
    std::string text_;
};

// The description of any error as a user would read it: what() of a standard exception,
// a fixed text for anything else.
std::string localizedDescription(const std::exception_ptr& error);

}  // namespace halvex
