#include "App/Model/NorvelError.h"

#include "App/Texts.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "Murmex/Audio/AudioFile.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/MLError.h"

#include <cxxabi.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <typeinfo>
#include <vector>

namespace norvel {

namespace {

// An error seen the way the user's details show it: where it comes from, its number, and
// its description.
struct ErrorView {
    QString domain;
    long long code = 0;
    QString localizedDescription;
    QString description;
};

constexpr const char* urlErrorDomain = "URLError";
constexpr const char* posixErrorDomain = "POSIX";

// The URL-loading layer's usual numbers for its error cases.
long long urlErrorNumber(halvex::UrlError::Code code) {
    using Code = halvex::UrlError::Code;
    switch (code) {
        case Code::unknown: return -1;
        case Code::cancelled: return -999;
        case Code::badURL: return -1000;
        case Code::timedOut: return -1001;
        case Code::unsupportedURL: return -1002;
        case Code::cannotFindHost: return -1003;
        case Code::cannotConnectToHost: return -1004;
        case Code::networkConnectionLost: return -1005;
        case Code::tooManyRedirects: return -1007;
        case Code::resourceUnavailable: return -1008;
        case Code::notConnectedToInternet: return -1009;
        case Code::badServerResponse: return -1011;
        case Code::secureConnectionFailed: return -1200;
        case Code::cannotWriteToFile: return -3003;
    }
    return -1;
}

QString typeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? QString::fromUtf8(name.get()) : QString::fromUtf8(type.name());
}

ErrorView viewOf(const std::exception_ptr& error) {
    ErrorView view;
    try {
        std::rethrow_exception(error);
    } catch (const halvex::UrlError& e) {
        view = {QString::fromLatin1(urlErrorDomain), urlErrorNumber(e.code()), QString::fromUtf8(e.what()),
                typeName(typeid(e)) + QStringLiteral(".") + QString::fromLatin1(halvex::toString(e.code()))};
    } catch (const std::system_error& e) {
        const auto& category = e.code().category();
        const bool posix = category == std::generic_category() || category == std::system_category();
        view = {posix ? QString::fromLatin1(posixErrorDomain) : QString::fromUtf8(category.name()), e.code().value(),
                QString::fromUtf8(e.what()), typeName(typeid(e))};
    } catch (const murmex::AudioFileError& e) {
        view = {QString::fromLatin1(murmex::AudioFileError::domain), e.code(), QString::fromUtf8(e.what()),
                typeName(typeid(e))};
    } catch (const halvex::Hub::HubClientError& e) {
        view = {typeName(typeid(e)), static_cast<long long>(e.kind()), QString::fromUtf8(e.what()),
                typeName(typeid(e))};
    } catch (const halvex::HubEnvironmentError& e) {
        view = {typeName(typeid(e)), static_cast<long long>(e.kind()), QString::fromUtf8(e.what()),
                typeName(typeid(e))};
    } catch (const murmex::WhisperError& e) {
        view = {typeName(typeid(e)), static_cast<long long>(e.kind()), QString::fromUtf8(e.what()),
                typeName(typeid(e)) + QStringLiteral(".") + QString::fromUtf8(std::string(e.kindName()))};
    } catch (const platform::MLError& e) {
        view = {typeName(typeid(e)), static_cast<long long>(e.code()), QString::fromUtf8(e.what()),
                typeName(typeid(e))};
    } catch (const std::exception& e) {
        view = {typeName(typeid(e)), 0, QString::fromUtf8(e.what()), typeName(typeid(e))};
    } catch (...) {
        view = {QStringLiteral("UnknownError"), 0, QStringLiteral("An unknown error occurred."),
                QStringLiteral("unknown exception")};
    }
    view.description += QStringLiteral(": ") + view.localizedDescription;
    return view;
}

// The error and every error it wraps, outermost first.
std::vector<std::exception_ptr> chainOf(std::exception_ptr error) {
    std::vector<std::exception_ptr> chain;
    while (error && chain.size() < 16) {
        chain.push_back(error);
        std::exception_ptr next;
        try {
            std::rethrow_exception(error);
        } catch (const halvex::Hub::HubClientError& e) {
            next = e.underlying();
        } catch (const std::nested_exception& e) {
            next = e.nested_ptr();
        } catch (...) {}
        error = next;
    }
    return chain;
}

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const halvex::CancellationError&) {
        return true;
    } catch (const halvex::UrlError& e) {
        return e.code() == halvex::UrlError::Code::cancelled;
    } catch (...) {
        return false;
    }
}

bool isNoNetwork(const ErrorView& view) {
    if (view.domain == QLatin1String(urlErrorDomain)) {
        switch (view.code) {
            case -1009:
            case -1005:
            case -1003:
            case -1001:
            case -1020:
            case -1006: return true;
            default: break;
        }
    }
    const QString lower = view.localizedDescription.toLower();
    return lower.contains(QStringLiteral("internet connection")) || lower.contains(QStringLiteral("offline"));
}

bool isDiskFull(const ErrorView& view) { return view.domain == QLatin1String(posixErrorDomain) && view.code == ENOSPC; }

}  // namespace

NorvelError::NorvelError(Kind kind, QString message, QString details)
    : kind_(kind), message_(std::move(message)), details_(std::move(details)), utf8_(message_.toStdString()) {}

NorvelError NorvelError::cancelledError() { return NorvelError(Kind::cancelled, Texts::q(Texts::cancelled)); }

NorvelError NorvelError::from(std::exception_ptr error) {
    if (!error) error = std::make_exception_ptr(std::runtime_error("An unknown error occurred."));
    try {
        std::rethrow_exception(error);
    } catch (const NorvelError& e) {
        return e;
    } catch (...) {}
    const std::vector<std::exception_ptr> chain = chainOf(error);
    for (const auto& link : chain) {
        if (isCancellation(link)) return cancelledError();
    }

    const ErrorView outer = viewOf(error);
    const QString details = outer.domain + QStringLiteral(" (") + QString::number(outer.code) + QStringLiteral(")\n") +
                            outer.localizedDescription + QLatin1Char('\n') + outer.description;
    std::vector<ErrorView> views;
    for (const auto& link : chain) views.push_back(viewOf(link));
    for (const auto& view : views) {
        if (isNoNetwork(view)) return NorvelError(Kind::noNetwork, Texts::q(Texts::noNetwork), details);
    }
    for (const auto& view : views) {
        if (isDiskFull(view)) return NorvelError(Kind::diskFull, Texts::q(Texts::diskFull), details);
    }
    return NorvelError(Kind::general, Texts::q(Texts::somethingWentWrongPrefix) + outer.localizedDescription, details);
}

const char* kindName(NorvelError::Kind kind) {
    switch (kind) {
        case NorvelError::Kind::general: return "general";
        case NorvelError::Kind::noNetwork: return "noNetwork";
        case NorvelError::Kind::diskFull: return "diskFull";
        case NorvelError::Kind::noAudio: return "noAudio";
        case NorvelError::Kind::unsupported: return "unsupported";
        case NorvelError::Kind::corruptModel: return "corruptModel";
        case NorvelError::Kind::cancelled: return "cancelled";
    }
    return "general";
}

}  // namespace norvel
