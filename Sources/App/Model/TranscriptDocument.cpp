#include "App/Model/TranscriptDocument.h"

#include "HalvexCore/UUID.h"

#include <nlohmann/json.hpp>

#include <QRegularExpression>
#include <QTimeZone>

#include <cmath>

namespace norvel {

namespace {

using Json = nlohmann::ordered_json;

[[noreturn]] void fail(const std::string& what) { throw DocumentFormatError(what); }

std::string utf8(const QString& text) { return text.toStdString(); }

QString fromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

std::string checkedId(const QUuid& id, const char* what) {
    if (id.isNull()) fail(std::string("The ") + what + " identifier is missing.");
    return utf8(uuidText(id));
}

double checkedNumber(double value, const char* member) {
    if (!std::isfinite(value)) fail(std::string("\"") + member + "\" is not a finite number.");
    return value;
}

const Json& member(const Json& object, const char* name) {
    auto it = object.find(name);
    if (it == object.end()) fail(std::string("Missing member \"") + name + "\".");
    return *it;
}

QString stringMember(const Json& object, const char* name) {
    const Json& value = member(object, name);
    if (!value.is_string()) fail(std::string("Member \"") + name + "\" is not a string.");
    return fromUtf8(value.get_ref<const std::string&>());
}

double numberMember(const Json& object, const char* name) {
    const Json& value = member(object, name);
    if (!value.is_number()) fail(std::string("Member \"") + name + "\" is not a number.");
    return value.get<double>();
}

bool boolMember(const Json& object, const char* name) {
    const Json& value = member(object, name);
    if (!value.is_boolean()) fail(std::string("Member \"") + name + "\" is not a Boolean.");
    return value.get<bool>();
}

QUuid uuidMember(const Json& object, const char* name) {
    const Json& value = member(object, name);
    if (!value.is_string()) fail(std::string("Member \"") + name + "\" is not a string.");
    const auto parsed = halvex::UUID::fromString(value.get_ref<const std::string&>());
    if (!parsed) fail(std::string("Member \"") + name + "\" is not a UUID.");
    QByteArray bytes(reinterpret_cast<const char*>(parsed->bytes().data()), 16);
    return QUuid::fromRfc4122(bytes);
}

}  // namespace

QString uuidText(const QUuid& id) { return id.toString(QUuid::WithoutBraces).toUpper(); }

QString isoDateText(const QDateTime& date) {
    return date.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QLatin1Char('Z');
}

QDateTime dateFromIsoText(const QString& text) {
    static const QRegularExpression form(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"));
    if (!form.match(text).hasMatch()) return {};
    const QDate day = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(11, 8), QStringLiteral("HH:mm:ss"));
    if (!day.isValid() || !time.isValid()) return {};
    return QDateTime(day, time, QTimeZone::utc());
}

QDateTime currentDateWholeSeconds() {
    const qint64 seconds = QDateTime::currentSecsSinceEpoch();
    return QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc());
}

QByteArray TranscriptDocument::toJson() const {
    Json document = Json::object();
    document["id"] = checkedId(id, "document");
    document["title"] = utf8(title);
    if (!date.isValid()) fail("The document date is not valid.");
    document["date"] = utf8(isoDateText(date));
    document["modelName"] = utf8(modelName);
    document["language"] = utf8(language);
    document["duration"] = checkedNumber(duration, "duration");
    document["partial"] = partial;
    Json list = Json::array();
    for (const auto& segment : segments) {
        Json item = Json::object();
        item["id"] = checkedId(segment.id, "segment");
        item["start"] = checkedNumber(segment.start, "start");
        item["end"] = checkedNumber(segment.end, "end");
        item["text"] = utf8(segment.text);
        list.push_back(std::move(item));
    }
    document["segments"] = std::move(list);
    const std::string text = document.dump(2, ' ', false, Json::error_handler_t::replace);
    return QByteArray(text.data(), qsizetype(text.size()));
}

TranscriptDocument TranscriptDocument::fromJson(const QByteArray& json) {
    Json root;
    try {
        root = Json::parse(json.constBegin(), json.constEnd());
    } catch (const Json::exception& error) {
        fail(std::string("Not valid JSON: ") + error.what());
    }
    if (!root.is_object()) fail("The document is not a JSON object.");
    TranscriptDocument document;
    document.id = uuidMember(root, "id");
    document.title = stringMember(root, "title");
    const QString dateText = stringMember(root, "date");
    document.date = dateFromIsoText(dateText);
    if (!document.date.isValid()) fail("Member \"date\" is not an ISO 8601 date in UTC with whole seconds.");
    document.modelName = stringMember(root, "modelName");
    document.language = stringMember(root, "language");
    document.duration = numberMember(root, "duration");
    document.partial = boolMember(root, "partial");
    const Json& list = member(root, "segments");
    if (!list.is_array()) fail("Member \"segments\" is not an array.");
    for (const Json& item : list) {
        if (!item.is_object()) fail("A segment is not a JSON object.");
        TranscriptSegment segment;
        segment.id = uuidMember(item, "id");
        segment.start = numberMember(item, "start");
        segment.end = numberMember(item, "end");
        segment.text = stringMember(item, "text");
        document.segments.push_back(std::move(segment));
    }
    return document;
}

}  // namespace norvel
