// The application's value types: clock texts, model choices, language options, the error
// mapping and the stored form of a transcript.
#include "App/Model/AppPaths.h"
#include "App/Model/Fmt.h"
#include "App/Model/LanguageOption.h"
#include "App/Model/ModelChoice.h"
#include "App/Model/NorvelError.h"
#include "App/Model/TranscriptDocument.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "Murmex/Model/WhisperError.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>

namespace norvel {
namespace {

TEST(Fmt, ClockTexts) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "0:00"},           {59.9, "0:59"},    {75, "1:15"},      {3599, "59:59"},
        {3599.99, "59:59"},    {3600, "1:00:00"}, {3661, "1:01:01"}, {36000, "10:00:00"},
        {360000, "100:00:00"}, {-5, "0:00"},      {-0.5, "0:00"},    {std::nan(""), "0:00"},
    };
    for (const auto& c : cases) EXPECT_EQ(Fmt::clock(c.seconds), QString::fromUtf8(c.text)) << c.seconds;
    EXPECT_FALSE(Fmt::clock(std::numeric_limits<double>::infinity()).isEmpty());
}

TEST(ModelChoice, RawValuesNamesAndFolders) {
    const struct {
        ModelChoice choice;
        const char* raw;
        const char* name;
        const char* size;
        const char* folder;
    } cases[] = {
        // The sizes of the installed models, fixed: nothing is asked of the network for them.
        {ModelChoice::fast, "fast", "Fast (tiny)", "about 75 MB", "openai_whisper-tiny"},
        {ModelChoice::balanced, "balanced", "Balanced (base)", "about 147 MB", "openai_whisper-base"},
        {ModelChoice::accurate, "accurate", "Accurate (small)", "about 216 MB", "openai_whisper-small_216MB"},
        {ModelChoice::best, "best", "Best (large-v3 turbo)", "about 954 MB", "openai_whisper-large-v3_turbo_954MB"},
    };
    std::size_t index = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(allModelChoices[index++], c.choice);
        EXPECT_EQ(rawValue(c.choice), QString::fromUtf8(c.raw));
        EXPECT_EQ(modelChoiceFromRawValue(QString::fromUtf8(c.raw)), c.choice);
        EXPECT_EQ(displayName(c.choice), QString::fromUtf8(c.name));
        EXPECT_EQ(sizeLabel(c.choice), QString::fromUtf8(c.size));
        EXPECT_EQ(variantFolder(c.choice), QString::fromUtf8(c.folder));
    }
    EXPECT_EQ(modelChoiceFromRawValue(QStringLiteral("Fast")), std::nullopt);
    EXPECT_EQ(modelChoiceFromRawValue(QString()), std::nullopt);
}

TEST(LanguageOption, PickerListAndIdentity) {
    const auto& all = LanguageOption::all();
    ASSERT_EQ(all.size(), 18u);
    EXPECT_EQ(all.front().code, std::nullopt);
    EXPECT_EQ(all.front().name, QStringLiteral("Detect automatically"));
    EXPECT_EQ(all.front().id(), QStringLiteral("auto"));
    EXPECT_EQ(all[1].id(), QStringLiteral("en"));
    EXPECT_EQ(all[1].name, QStringLiteral("English"));
    EXPECT_EQ(all.back().id(), QStringLiteral("ko"));
    EXPECT_EQ(all[12].name, QStringLiteral("Ukrainian"));
    // Equality takes the code's absence into account.
    EXPECT_NE((LanguageOption{std::nullopt, QStringLiteral("x")}),
              (LanguageOption{QStringLiteral("auto"), QStringLiteral("x")}));
}

TEST(AppPaths, FoldersFollowTheUserDataFolder) {
    const QString base = qEnvironmentVariable("XDG_DATA_HOME");
    ASSERT_FALSE(base.isEmpty());
    EXPECT_EQ(AppPaths::root(), base + QStringLiteral("/Norvel"));
    EXPECT_EQ(AppPaths::models(), base + QStringLiteral("/Norvel/Models"));
    EXPECT_EQ(AppPaths::history(), base + QStringLiteral("/Norvel/History"));
    const QString nested = base + QStringLiteral("/a/b/c");
    AppPaths::ensure(nested);
    AppPaths::ensure(nested);  // already there: nothing reported
    EXPECT_TRUE(QFileInfo(nested).isDir());
}

// ---- NorvelError::from ----

template <class E>
NorvelError mapped(E error) {
    return NorvelError::from(std::make_exception_ptr(std::move(error)));
}

TEST(NorvelError, PassesThroughAndMapsCancellation) {
    const NorvelError own(NorvelError::Kind::corruptModel, QStringLiteral("m"), QString());
    EXPECT_EQ(mapped(own), own);

    for (const NorvelError& error : {mapped(halvex::CancellationError()), mapped(halvex::UrlError::cancelledError()),
                                     mapped(halvex::Hub::HubClientError::networkError(
                                         std::make_exception_ptr(halvex::UrlError::cancelledError())))}) {
        EXPECT_EQ(error.kind(), NorvelError::Kind::cancelled);
        EXPECT_EQ(error.message(), QStringLiteral("Cancelled."));
        EXPECT_TRUE(error.details().isEmpty());
    }
}

TEST(NorvelError, MapsNetworkDiskAndEverythingElse) {
    using Code = halvex::UrlError::Code;
    const QString noNetwork = QStringLiteral(
        "There is no network connection, so the model could not be downloaded. Connect to the internet once to "
        "download it; after that Norvel works offline.");
    const QString diskFull = QStringLiteral("The disk is full. Free some space and try again.");
    const auto posix = [](int code, const char* what) {
        return std::make_exception_ptr(
            std::filesystem::filesystem_error(what, "/x", std::error_code(code, std::generic_category())));
    };
    const struct {
        const char* name;
        std::exception_ptr error;
        NorvelError::Kind kind;
    } cases[] = {
        {"not connected", std::make_exception_ptr(halvex::UrlError(Code::notConnectedToInternet, "offline?")),
         NorvelError::Kind::noNetwork},
        {"lost", std::make_exception_ptr(halvex::UrlError(Code::networkConnectionLost, "lost")),
         NorvelError::Kind::noNetwork},
        {"no host", std::make_exception_ptr(halvex::UrlError(Code::cannotFindHost, "h")), NorvelError::Kind::noNetwork},
        // The server (a mirror, say) was reached and did not accept: the network is there.
        {"refused", std::make_exception_ptr(halvex::UrlError(Code::cannotConnectToHost, "c")),
         NorvelError::Kind::general},
        {"timeout", std::make_exception_ptr(halvex::UrlError(Code::timedOut, "t")), NorvelError::Kind::noNetwork},
        {"bad response", std::make_exception_ptr(halvex::UrlError(Code::badServerResponse, "b")),
         NorvelError::Kind::general},
        {"wrapped by the hub",
         std::make_exception_ptr(halvex::Hub::HubClientError::networkError(
             std::make_exception_ptr(halvex::UrlError(Code::cannotFindHost, "h")))),
         NorvelError::Kind::noNetwork},
        {"description mentions offline", std::make_exception_ptr(std::runtime_error("Hub is in OFFLINE mode")),
         NorvelError::Kind::noNetwork},
        {"description mentions the connection",
         std::make_exception_ptr(std::runtime_error("The Internet Connection dropped")), NorvelError::Kind::noNetwork},
        {"http error", std::make_exception_ptr(halvex::Hub::HubClientError::httpStatusCode(503)),
         NorvelError::Kind::general},
        {"no space", posix(ENOSPC, "write failed"), NorvelError::Kind::diskFull},
        {"no space inside the hub",
         std::make_exception_ptr(halvex::Hub::HubClientError::fileSystemError(posix(ENOSPC, "w"))),
         NorvelError::Kind::diskFull},
        {"other posix", posix(EACCES, "denied"), NorvelError::Kind::general},
        {"model error", std::make_exception_ptr(murmex::WhisperError::modelsUnavailable()), NorvelError::Kind::general},
        {"not an exception", std::make_exception_ptr(42), NorvelError::Kind::general},
    };
    for (const auto& c : cases) {
        const NorvelError error = NorvelError::from(c.error);
        EXPECT_EQ(error.kind(), c.kind) << c.name;
        EXPECT_FALSE(error.details().isEmpty()) << c.name;
        if (c.kind == NorvelError::Kind::noNetwork) {
            EXPECT_EQ(error.message(), noNetwork) << c.name;
        }
        if (c.kind == NorvelError::Kind::diskFull) {
            EXPECT_EQ(error.message(), diskFull) << c.name;
        }
        if (c.kind == NorvelError::Kind::general) {
            EXPECT_TRUE(error.message().startsWith(QStringLiteral("Something went wrong: "))) << c.name;
        }
    }
}

TEST(NorvelError, DetailsNameDomainCodeAndDescription) {
    const NorvelError error = mapped(
        std::filesystem::filesystem_error("cannot write", "/tmp/x", std::error_code(EACCES, std::generic_category())));
    const QStringList lines = error.details().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("POSIX (%1)").arg(EACCES));
    EXPECT_TRUE(lines[1].contains(QStringLiteral("cannot write")));
    EXPECT_TRUE(lines[2].contains(QStringLiteral("filesystem_error")));
    EXPECT_EQ(error.message(), QStringLiteral("Something went wrong: ") + lines[1]);

    const NorvelError url = mapped(halvex::UrlError(halvex::UrlError::Code::notConnectedToInternet, "gone"));
    EXPECT_TRUE(url.details().startsWith(QStringLiteral("URLError (-1009)\ngone\n")));
}

// ---- Stored form of a transcript ----

TranscriptDocument sampleDocument() {
    TranscriptDocument document;
    document.id = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
    document.title = QStringLiteral("Meeting \"notes\" – ünïcode");
    document.date = QDateTime(QDate(2024, 5, 1), QTime(9, 30, 15), QTimeZone::utc());
    document.modelName = QStringLiteral("Balanced (base)");
    document.language = QStringLiteral("en");
    document.duration = 12.345;
    document.partial = true;
    document.segments = {{QUuid::createUuid(), 0, 2.5, QStringLiteral("Hello")},
                         {QUuid::createUuid(), 2.5, 4.1, QStringLiteral("two\nlines")}};
    return document;
}

TEST(TranscriptDocument, RoundTripsInTheStoredForm) {
    const TranscriptDocument document = sampleDocument();
    const QByteArray json = document.toJson();
    EXPECT_EQ(TranscriptDocument::fromJson(json), document);

    const QJsonObject object = QJsonDocument::fromJson(json).object();
    EXPECT_EQ(object.keys().size(), 8);
    EXPECT_EQ(object.value(QStringLiteral("id")).toString(), QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
    EXPECT_EQ(object.value(QStringLiteral("date")).toString(), QStringLiteral("2024-05-01T09:30:15Z"));
    EXPECT_TRUE(object.value(QStringLiteral("partial")).isBool());
    EXPECT_TRUE(json.contains("\n  \"title\""));  // pretty-printed, one member per line
    const QString segmentId =
        object.value(QStringLiteral("segments")).toArray().at(0).toObject().value(QStringLiteral("id")).toString();
    EXPECT_EQ(segmentId, segmentId.toUpper());
}

TEST(TranscriptDocument, ReadingIsStrictAboutMembersAndDates) {
    const QByteArray good = sampleDocument().toJson();
    const auto edited = [&](auto change) {
        QJsonObject object = QJsonDocument::fromJson(good).object();
        change(object);
        return QJsonDocument(object).toJson();
    };
    EXPECT_NO_THROW(TranscriptDocument::fromJson(edited([](QJsonObject& o) { o.insert(QStringLiteral("extra"), 1); })));
    EXPECT_NO_THROW(TranscriptDocument::fromJson(edited([](QJsonObject& o) {
        o.insert(QStringLiteral("id"), QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
    })));

    const struct {
        const char* name;
        std::function<void(QJsonObject&)> change;
    } bad[] = {
        {"no partial", [](QJsonObject& o) { o.remove(QStringLiteral("partial")); }},
        {"no segments", [](QJsonObject& o) { o.remove(QStringLiteral("segments")); }},
        {"title not a string", [](QJsonObject& o) { o.insert(QStringLiteral("title"), 3); }},
        {"partial as text", [](QJsonObject& o) { o.insert(QStringLiteral("partial"), QStringLiteral("true")); }},
        {"duration as text", [](QJsonObject& o) { o.insert(QStringLiteral("duration"), QStringLiteral("1")); }},
        {"id not a uuid", [](QJsonObject& o) { o.insert(QStringLiteral("id"), QStringLiteral("E621E1F8")); }},
        {"fractional seconds",
         [](QJsonObject& o) { o.insert(QStringLiteral("date"), QStringLiteral("2024-05-01T09:30:15.5Z")); }},
        {"offset instead of Z",
         [](QJsonObject& o) { o.insert(QStringLiteral("date"), QStringLiteral("2024-05-01T09:30:15+02:00")); }},
        {"no zone", [](QJsonObject& o) { o.insert(QStringLiteral("date"), QStringLiteral("2024-05-01T09:30:15")); }},
        {"impossible day",
         [](QJsonObject& o) { o.insert(QStringLiteral("date"), QStringLiteral("2024-02-30T09:30:15Z")); }},
        {"date as number", [](QJsonObject& o) { o.insert(QStringLiteral("date"), 736000000); }},
        {"segment without text",
         [](QJsonObject& o) {
             QJsonArray list = o.value(QStringLiteral("segments")).toArray();
             QJsonObject first = list.at(0).toObject();
             first.remove(QStringLiteral("text"));
             list.replace(0, first);
             o.insert(QStringLiteral("segments"), list);
         }},
        {"segment not an object", [](QJsonObject& o) { o.insert(QStringLiteral("segments"), QJsonArray{1}); }},
    };
    for (const auto& c : bad) {
        EXPECT_THROW(TranscriptDocument::fromJson(edited(c.change)), DocumentFormatError) << c.name;
    }
    for (const char* text : {"", "not json", "[]", "{\"id\": 1", "\xff\xfe"}) {
        EXPECT_THROW(TranscriptDocument::fromJson(QByteArray(text)), DocumentFormatError) << text;
    }
}

TEST(TranscriptDocument, NonFiniteTimesAreNotWritten) {
    TranscriptDocument document = sampleDocument();
    document.segments[1].end = std::numeric_limits<double>::infinity();
    EXPECT_THROW(document.toJson(), DocumentFormatError);
    document = sampleDocument();
    document.duration = std::nan("");
    EXPECT_THROW(document.toJson(), DocumentFormatError);
}

}  // namespace
}  // namespace norvel
