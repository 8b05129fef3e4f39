#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUuid>

#include <stdexcept>
#include <vector>

namespace norvel {

// One timed piece of a transcript; identified by `id`.
struct TranscriptSegment {
    QUuid id;
    double start = 0;  // seconds from the beginning of the audio
    double end = 0;    // seconds
    QString text;      // trimmed when the segment was made

    friend bool operator==(const TranscriptSegment&, const TranscriptSegment&) = default;
};

// A stored document that cannot be read or written; `what()` says which member is wrong.
class DocumentFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One stored transcript; identified by `id`, which also names its file in the history.
struct TranscriptDocument {
    QUuid id;
    QString title;         // the source's name without extension, or "Recording"
    QDateTime date;        // when the transcription finished (UTC, whole seconds when stored)
    QString modelName;     // the display name of the model choice that produced it
    QString language;      // the recognizer's language code, or "auto"
    double duration = 0;   // seconds of transcribed audio
    bool partial = false;  // the run was cancelled; only the text until then is kept
    std::vector<TranscriptSegment> segments;

    friend bool operator==(const TranscriptDocument&, const TranscriptDocument&) = default;

    // The stored form: a pretty-printed JSON object with the members "id", "title", "date",
    // "modelName", "language", "duration", "partial" and "segments" (each segment "id",
    // "start", "end", "text"). Identifiers are upper-case canonical UUID text; the date is
    // "yyyy-MM-ddTHH:mm:ssZ" in UTC. Throws DocumentFormatError for a time or duration that
    // is not finite (JSON has no form for it) or an identifier that is null.
    QByteArray toJson() const;
    // Reads the stored form. Every member is required and must have its type; members not
    // named above are ignored; dates are accepted only in the form the writer produces.
    // Throws DocumentFormatError otherwise.
    static TranscriptDocument fromJson(const QByteArray& json);
};

// Upper-case 8-4-4-4-12 text of an identifier, as stored and as history file names use it.
QString uuidText(const QUuid& id);
// The date as stored: "2024-05-01T09:30:00Z" (UTC, fraction dropped).
QString isoDateText(const QDateTime& date);
// The date read back from that exact form; an invalid QDateTime for any other text.
QDateTime dateFromIsoText(const QString& text);
// Now, in UTC, with the fraction of the second dropped so that the value equals its stored form.
QDateTime currentDateWholeSeconds();

}  // namespace norvel
