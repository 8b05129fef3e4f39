// Export rendering: the four formats over a worked example and over the edges that matter
// (blank segments, rounding against truncation, negative, reversed and very long times).
#include "App/Model/NorvelError.h"
#include "App/Services/Exporter.h"
#include "App/Services/FileWriteError.h"
#include "App/Texts.h"
#include "AppTestSupport.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <system_error>

namespace norvel {
namespace {

TranscriptSegment seg(double start, double end, const char* text) {
    return {QUuid::createUuid(), start, end, QString::fromUtf8(text)};
}

TEST(Exporter, FormatsAndRawValues) {
    const char* raw[] = {"txt", "srt", "vtt", "md"};
    const char* menu[] = {"Plain text (.txt)", "Subtitles (.srt)", "Web subtitles (.vtt)", "Markdown (.md)"};
    for (std::size_t i = 0; i < allExportFormats.size(); ++i) {
        EXPECT_EQ(rawValue(allExportFormats[i]), QString::fromUtf8(raw[i]));
        EXPECT_EQ(menuTitle(allExportFormats[i]), QString::fromUtf8(menu[i]));
        EXPECT_EQ(exportFormatFromRawValue(QString::fromUtf8(raw[i])), allExportFormats[i]);
    }
    EXPECT_EQ(exportFormatFromRawValue(QStringLiteral("SRT")), std::nullopt);
}

TEST(Exporter, WorkedExample) {
    const std::vector<TranscriptSegment> segments = {seg(0, 2.5, " Good morning. "), seg(2.5, 2.0, "   "),
                                                     seg(4.25, 3.0, "See you."), seg(3725.5, 3730.125, "Two\nlines")};
    const struct {
        ExportFormat format;
        const char* text;
    } cases[] = {
        {ExportFormat::txt, "Good morning.\n\nSee you.\n\nTwo\nlines\n"},
        {ExportFormat::srt,
         "1\n00:00:00,000 --> 00:00:02,500\nGood morning.\n\n"
         "2\n00:00:04,250 --> 00:00:04,250\nSee you.\n\n"
         "3\n01:02:05,500 --> 01:02:10,125\nTwo\nlines\n\n"},
        {ExportFormat::vtt,
         "WEBVTT\n\n"
         "00:00:00.000 --> 00:00:02.500\nGood morning.\n\n"
         "00:00:04.250 --> 00:00:04.250\nSee you.\n\n"
         "01:02:05.500 --> 01:02:10.125\nTwo\nlines\n\n"},
        {ExportFormat::md,
         "# Notes\n\n## 0:00\n\nGood morning.\n\n## 0:04\n\nSee you.\n\n## 1:02:05\n\nTwo\nlines\n\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Exporter::render(segments, QStringLiteral("Notes"), c.format), QString::fromUtf8(c.text))
            << rawValue(c.format).toStdString();
    }
}

TEST(Exporter, EdgeCases) {
    const struct {
        const char* name;
        std::vector<TranscriptSegment> segments;
        const char* title;
        ExportFormat format;
        const char* text;
    } cases[] = {
        {"nothing, txt", {}, "T", ExportFormat::txt, "\n"},
        {"only blanks, srt", {seg(0, 1, " \n\t")}, "T", ExportFormat::srt, ""},
        {"nothing, vtt", {}, "T", ExportFormat::vtt, "WEBVTT\n\n"},
        {"nothing, md", {}, "T", ExportFormat::md, "# T\n\n"},
        {"empty title", {}, "", ExportFormat::md, "# \n\n"},
        {"title kept as written", {}, "#1\nx", ExportFormat::md, "# #1\nx\n\n"},
        {"numbers skip blanks",
         {seg(0, 1, "a"), seg(1, 2, ""), seg(2, 3, "b"), seg(3, 4, "c")},
         "T",
         ExportFormat::srt,
         "1\n00:00:00,000 --> 00:00:01,000\na\n\n2\n00:00:02,000 --> 00:00:03,000\nb\n\n"
         "3\n00:00:03,000 --> 00:00:04,000\nc\n\n"},
        {"milliseconds rounded",
         {seg(3599.9996, 3600, "x")},
         "T",
         ExportFormat::srt,
         "1\n01:00:00,000 --> 01:00:00,000\nx\n\n"},
        {"seconds truncated", {seg(3599.9996, 3600, "x")}, "T", ExportFormat::md, "# T\n\n## 59:59\n\nx\n\n"},
        {"half a millisecond rounds up",
         {seg(0.0125, 0.0135, "x")},
         "T",
         ExportFormat::vtt,
         "WEBVTT\n\n00:00:00.013 --> 00:00:00.014\nx\n\n"},
        {"negative start, srt", {seg(-3, 1, "x")}, "T", ExportFormat::srt, "1\n00:00:00,000 --> 00:00:01,000\nx\n\n"},
        {"negative start, vtt",
         {seg(-3, -1, "x")},
         "T",
         ExportFormat::vtt,
         "WEBVTT\n\n00:00:00.000 --> 00:00:00.000\nx\n\n"},
        {"negative start, md", {seg(-3, 1, "x")}, "T", ExportFormat::md, "# T\n\n## 0:00\n\nx\n\n"},
        {"hours not wrapped",
         {seg(360000, 360001, "x")},
         "T",
         ExportFormat::srt,
         "1\n100:00:00,000 --> 100:00:01,000\nx\n\n"},
        {"order kept, not sorted", {seg(5, 6, "late"), seg(1, 2, "early")}, "T", ExportFormat::txt, "late\n\nearly\n"},
        {"inner line breaks kept",
         {seg(0, 1, "\n one\ntwo \n")},
         "T",
         ExportFormat::vtt,
         "WEBVTT\n\n00:00:00.000 --> 00:00:01.000\none\ntwo\n\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Exporter::render(c.segments, QString::fromUtf8(c.title), c.format), QString::fromUtf8(c.text))
            << c.name;
    }
}

TEST(Exporter, WritesTheTextOrSaysWhereAndWhyItCouldNot) {
    test::TemporaryDirectory dir;
    const QString root = QString::fromStdString(dir.path().string());
    Exporter::write(QStringLiteral("Grüße\n"), root + QStringLiteral("/out.txt"));
    EXPECT_EQ(test::readAll(root + QStringLiteral("/out.txt")), QByteArray("Gr\xc3\xbc\xc3\x9f"
                                                                           "e\n"));

    QFile(root + QStringLiteral("/a file")).open(QIODevice::WriteOnly);
    QDir(root).mkpath(QStringLiteral("taken.srt"));
    const struct {
        const char* destination;
        const char* folder;
        const char* reason;
    } cases[] = {
        {"/gone/out.srt", "/gone", "The folder does not exist."},
        {"/a file/out.srt", "/a file", "Part of the path is a file, not a folder."},
        {"/taken.srt", "", "A folder of that name is already there."},
    };
    for (const auto& c : cases) {
        const QString destination = root + QString::fromUtf8(c.destination);
        try {
            Exporter::write(QStringLiteral("text"), destination);
            ADD_FAILURE() << c.destination << " was written";
        } catch (const NorvelError& error) {
            EXPECT_EQ(error.kind(), NorvelError::Kind::general) << c.destination;
            EXPECT_EQ(error.message(), QStringLiteral("Norvel could not save “") + QFileInfo(destination).fileName() +
                                           QStringLiteral("” in ") + root + QString::fromUtf8(c.folder) +
                                           QStringLiteral(". ") + QString::fromUtf8(c.reason) +
                                           QStringLiteral(" Choose another name or folder and try again."))
                << c.destination;
            EXPECT_FALSE(error.details().isEmpty()) << c.destination;
        }
    }
    EXPECT_EQ(QDir(root).entryList(QDir::Files | QDir::Hidden).size(), 2) << "no half-written file is left";
}

// A write that fails for lack of space says so in the words every full disk gets, in the
// history's message and in an export's.
TEST(FileWriteError, ALackOfSpaceSaysToFreeSome) {
    const auto history = [](const QString& reason) { return Texts::historyNotWritten(QStringLiteral("/h"), reason); };
    const auto exported = [](const QString& reason) {
        return Texts::exportNotWritten(QStringLiteral("a.txt"), QStringLiteral("/e"), reason);
    };
    const struct {
        int number;
        std::function<QString(const QString&)> message;
        NorvelError::Kind kind;
        const char* text;
    } cases[] = {
        {ENOSPC, history, NorvelError::Kind::diskFull,
         "Norvel could not save the transcript in its history folder /h. The disk is full. Free some space and try "
         "again."},
        {ENOSPC, exported, NorvelError::Kind::diskFull,
         "Norvel could not save “a.txt” in /e. The disk is full. Free some space and try again."},
        {EDQUOT, exported, NorvelError::Kind::diskFull,
         "Norvel could not save “a.txt” in /e. Your disk quota is used up. Choose another name or folder and try "
         "again."},
        {EACCES, history, NorvelError::Kind::general,
         "Norvel could not save the transcript in its history folder /h. You do not have permission to write there."},
    };
    for (const auto& c : cases) {
        const NorvelError error =
            fileWriteError(std::make_exception_ptr(std::filesystem::filesystem_error(
                               "write", "/x", std::error_code(c.number, std::generic_category()))),
                           c.message);
        EXPECT_EQ(error.kind(), c.kind) << c.text;
        EXPECT_EQ(error.message(), QString::fromUtf8(c.text));
        EXPECT_FALSE(error.details().isEmpty()) << c.text;
    }
}

}  // namespace
}  // namespace norvel
