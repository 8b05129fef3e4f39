#include "App/Services/Exporter.h"

#include "App/Model/Fmt.h"
#include "App/Services/FileWriteError.h"
#include "App/Texts.h"
#include "HalvexCore/FileContents.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string_view>

namespace norvel {

QString rawValue(ExportFormat format) {
    switch (format) {
        case ExportFormat::txt: return QStringLiteral("txt");
        case ExportFormat::srt: return QStringLiteral("srt");
        case ExportFormat::vtt: return QStringLiteral("vtt");
        case ExportFormat::md: return QStringLiteral("md");
    }
    return QStringLiteral("txt");
}

std::optional<ExportFormat> exportFormatFromRawValue(const QString& text) {
    for (ExportFormat format : allExportFormats) {
        if (rawValue(format) == text) return format;
    }
    return std::nullopt;
}

QString menuTitle(ExportFormat format) {
    switch (format) {
        case ExportFormat::txt: return Texts::q(Texts::exportTxt);
        case ExportFormat::srt: return Texts::q(Texts::exportSrt);
        case ExportFormat::vtt: return Texts::q(Texts::exportVtt);
        case ExportFormat::md: return Texts::q(Texts::exportMd);
    }
    return {};
}

namespace {

// Milliseconds of a time, rounded half away from zero; negative and not-a-number times are 0,
// and times beyond the 64-bit range are held at its end.
std::int64_t milliseconds(double seconds) {
    const double ms = std::round(seconds * 1000.0);
    if (std::isnan(ms) || ms <= 0) return 0;
    if (ms >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(ms);
}

QString stamp(double seconds, char separator) {
    const std::int64_t ms = milliseconds(seconds);
    return QString::asprintf("%02lld:%02d:%02d%c%03d", static_cast<long long>(ms / 3600000), int((ms / 60000) % 60),
                             int((ms / 1000) % 60), separator, int(ms % 1000));
}

}  // namespace

QString Exporter::render(const std::vector<TranscriptSegment>& segments, const QString& title, ExportFormat format) {
    struct Kept {
        double start;
        double end;
        QString text;
    };
    std::vector<Kept> kept;
    for (const auto& segment : segments) {
        QString text = segment.text.trimmed();
        if (!text.isEmpty()) kept.push_back({segment.start, segment.end, std::move(text)});
    }

    QString out;
    switch (format) {
        case ExportFormat::txt: {
            for (std::size_t i = 0; i < kept.size(); ++i) {
                if (i > 0) out += QStringLiteral("\n\n");
                out += kept[i].text;
            }
            out += QLatin1Char('\n');
            break;
        }
        case ExportFormat::srt:
        case ExportFormat::vtt: {
            const bool srt = format == ExportFormat::srt;
            if (!srt) out += QStringLiteral("WEBVTT\n\n");
            int number = 0;
            for (const auto& cue : kept) {
                if (srt) out += QString::number(++number) + QLatin1Char('\n');
                // A cue that would end before it starts gets no length. NaN ends count as the start.
                const double end = cue.end > cue.start ? cue.end : cue.start;
                out += stamp(cue.start, srt ? ',' : '.') + QStringLiteral(" --> ") + stamp(end, srt ? ',' : '.') +
                       QLatin1Char('\n') + cue.text + QStringLiteral("\n\n");
            }
            break;
        }
        case ExportFormat::md: {
            out += QStringLiteral("# ") + title + QStringLiteral("\n\n");
            for (const auto& cue : kept) {
                out += QStringLiteral("## ") + Fmt::clock(cue.start) + QStringLiteral("\n\n") + cue.text +
                       QStringLiteral("\n\n");
            }
            break;
        }
    }
    return out;
}

void Exporter::write(const QString& text, const QString& path) {
    try {
        const QByteArray bytes = text.toUtf8();
        halvex::writeFileAtomically(std::filesystem::path(QFile::encodeName(path).toStdString()),
                                    std::string_view(bytes.constData(), std::size_t(bytes.size())));
    } catch (...) {
        const QFileInfo file(path);
        throw fileWriteError(std::current_exception(), [&](const QString& reason) {
            return Texts::exportNotWritten(file.fileName(), QDir::toNativeSeparators(file.absolutePath()), reason);
        });
    }
}

}  // namespace norvel
