#pragma once

#include "App/Model/TranscriptDocument.h"

#include <QString>

#include <array>
#include <optional>
#include <vector>

namespace norvel {

// The four export formats, in the order of the "Save as…" menu. The raw value is also the
// file-name extension.
enum class ExportFormat { txt, srt, vtt, md };

inline constexpr std::array<ExportFormat, 4> allExportFormats = {ExportFormat::txt, ExportFormat::srt,
                                                                 ExportFormat::vtt, ExportFormat::md};

// "txt", "srt", "vtt" or "md".
QString rawValue(ExportFormat format);
// The format whose raw value is exactly `text` (so "SRT" is none).
std::optional<ExportFormat> exportFormatFromRawValue(const QString& text);
// The menu entry: "Plain text (.txt)", "Subtitles (.srt)", …
QString menuTitle(ExportFormat format);

// Renders transcript segments as the text of one export format.
struct Exporter {
    // Segments whose trimmed text is empty are left out; the others are written trimmed, in
    // the order given. Plain text joins the texts with an empty line; SubRip numbers the kept
    // cues from 1; WebVTT starts with its header; both write cue times as rounded
    // milliseconds, a cue ending no earlier than it starts. Markdown starts with the title as
    // a heading and heads each text with its start's clock time. Pure: no state, no error.
    static QString render(const std::vector<TranscriptSegment>& segments, const QString& title, ExportFormat format);
    // Writes `text` to the file at `path` as UTF-8, atomically: the file is whole or as it
    // was. Throws NorvelError saying which file could not be saved in which folder and why.
    static void write(const QString& text, const QString& path);
};

}  // namespace norvel
