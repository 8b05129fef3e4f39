#pragma once

#include <QString>

#include <exception>
#include <string>

namespace norvel {

// The application's only error type: every problem the user sees is one of these. `message`
// is one or two sentences for the user (also `what()`); `details` is the technical reason,
// possibly empty, shown under "Show Details".
class NorvelError : public std::exception {
public:
    enum class Kind { general, noNetwork, diskFull, noAudio, unsupported, corruptModel, cancelled };

    NorvelError(Kind kind, QString message, QString details = {});

    Kind kind() const { return kind_; }
    const QString& message() const { return message_; }
    const QString& details() const { return details_; }
    const char* what() const noexcept override { return utf8_.c_str(); }

    // The single mapping of any failure to what the user is told:
    //  1. a NorvelError stays as it is;
    //  2. a cancellation (of a task, a download or a transfer) is kind `cancelled`, "Cancelled.";
    //  3. anything else is described by its domain, code and description, which become the
    //     details; then, looking through the error and the errors it wraps:
    //  4. a URL error for a missing, lost or timed-out connection, or a host name that cannot
    //     be found, is `noNetwork`; a connection the server did not accept is not (the network
    //     reached the server: a mirror that is down is no lack of a network, and the transport
    //     layer reports a connection that failed for want of one as offline);
    //  5. so is a description that mentions "internet connection" or "offline";
    //  6. a POSIX error 28 (no space left on device) is `diskFull`;
    //  7. everything else is `general`: "Something went wrong: " and the description.
    // Never fails; a null pointer counts as an unknown error.
    static NorvelError from(std::exception_ptr error);

    // A cancellation of the user's own making, by rule 2 above.
    static NorvelError cancelledError();

    friend bool operator==(const NorvelError& a, const NorvelError& b) {
        return a.kind_ == b.kind_ && a.message_ == b.message_ && a.details_ == b.details_;
    }

private:
    Kind kind_;
    QString message_;
    QString details_;
    std::string utf8_;
};

// "general", "noNetwork", …: the kind's name as written in the code.
const char* kindName(NorvelError::Kind kind);

}  // namespace norvel
