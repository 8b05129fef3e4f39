// The input row: drops and the open panel start a transcription of the first file, busy
// states refuse input, and the record button records and hands the recording over.
#include "App/Views/DropZone.h"
#include "App/Views/InputRow.h"
#include "App/Views/LevelMeter.h"
#include "App/Views/Style.h"
#include "AppTestSupport.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>

#include <cmath>
#include <limits>

namespace norvel::test {
namespace {

// The row, shown in a window.
struct Row {
    Host host;
    InputRow& row;
    explicit Row(ViewWorld& w) : row(*host.add(std::make_unique<InputRow>(*w.transcriber, *w.recorder, w.desktop()))) {}
};

// A drag of `urls` entering the zone and dropped on it; answers whether each step was accepted.
struct DragOutcome {
    bool entered = false;
    bool targetedWhileHovering = false;
    bool dropped = false;
};

DragOutcome dragAndDrop(DropZone* zone, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPoint at = zone->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &enter);
    DragOutcome outcome;
    outcome.entered = enter.isAccepted();
    outcome.targetedWhileHovering = zone->isTargeted();
    if (!outcome.entered) return outcome;
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(zone, &drop);
    outcome.dropped = drop.isAccepted();
    EXPECT_FALSE(zone->isTargeted()) << "the highlight ends with the drop";
    return outcome;
}

TEST(ViewInputRow, DropStartsTheFirstFileAndLeavesTheFileTypeToTheTranscriber) {
    struct Case {
        const char* name;
        QStringList files;  // names of files in the input folder; "" stands for a web address
        bool accepted;
        bool runs;                 // a transcription starts
        const char* issueDetails;  // the unsupported issue's details, or null
        const char* sourceName;    // the run's source name
    };
    const Case cases[] = {
        {"upper-case extension", {QStringLiteral("Talk.MP3")}, true, true, nullptr, "Talk"},
        {"first of two files",
         {QStringLiteral("first.m4a"), QStringLiteral("second.wav")},
         true,
         true,
         nullptr,
         "first"},
        {"text file", {QStringLiteral("notes.txt")}, true, false, "File extension: txt", nullptr},
        {"no extension", {QStringLiteral("README")}, true, false, "File extension: (none)", nullptr},
        {"first unsupported, second fine",
         {QStringLiteral("notes.txt"), QStringLiteral("talk.wav")},
         true,
         false,
         "File extension: txt",
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewWorld world;
        world.prepareGate.close();  // hold the run in its first phase
        Row row(world);
        QList<QUrl> urls;
        for (const QString& file : c.files) urls.append(QUrl::fromLocalFile(world.inputFile(file)));

        const DragOutcome outcome = dragAndDrop(row.row.dropZone(), urls);
        EXPECT_TRUE(outcome.entered);
        EXPECT_TRUE(outcome.targetedWhileHovering);
        EXPECT_EQ(outcome.dropped, c.accepted);
        EXPECT_EQ(world.transcriber->phase() != Transcriber::Phase::idle, c.runs);
        if (c.sourceName != nullptr) {
            EXPECT_EQ(world.transcriber->sourceName(), QString::fromUtf8(c.sourceName));
        }
        if (c.issueDetails != nullptr) {
            ASSERT_TRUE(world.transcriber->issue().has_value());
            EXPECT_EQ(world.transcriber->issue()->kind(), NorvelError::Kind::unsupported);
            EXPECT_EQ(world.transcriber->issue()->details(), QString::fromUtf8(c.issueDetails));
        }
    }
}

TEST(ViewInputRow, RefusesWhatCarriesNoFile) {
    ViewWorld world;
    Row row(world);
    // A web address is not a file: the drag is not taken.
    EXPECT_FALSE(dragAndDrop(row.row.dropZone(), {QUrl(QStringLiteral("https://example.org/talk.mp3"))}).entered);
    EXPECT_FALSE(row.row.handleDrop({}));
    // A first item that is not a local file ends the drop silently.
    EXPECT_TRUE(row.row.handleDrop({QUrl(QStringLiteral("https://example.org/talk.mp3"))}));
    EXPECT_EQ(world.transcriber->phase(), Transcriber::Phase::idle);
    EXPECT_FALSE(world.transcriber->issue().has_value());
}

TEST(ViewInputRow, WhileBusyTheZoneIsDimmedRefusesDropsAndIgnoresClicksAndRecordIsDisabled) {
    ViewWorld world;
    world.chosenFile = world.inputFile(QStringLiteral("other.wav"));
    Row row(world);
    DropZone* zone = row.row.dropZone();
    EXPECT_EQ(zone->opacity(), 1.0);
    EXPECT_TRUE(row.row.recordButton()->isEnabled());

    world.prepareGate.close();
    const QString input = world.inputFile(QStringLiteral("talk.wav"));
    world.transcriber->start(input, false);
    ASSERT_NE(world.transcriber->phase(), Transcriber::Phase::idle);
    EXPECT_EQ(zone->opacity(), 0.5);
    EXPECT_FALSE(dragAndDrop(zone, {QUrl::fromLocalFile(world.inputFile(QStringLiteral("b.wav")))}).entered);
    EXPECT_FALSE(row.row.handleDrop({QUrl::fromLocalFile(world.inputFile(QStringLiteral("b.wav")))}));
    click(zone);
    EXPECT_TRUE(world.chooserRequests.empty()) << "no open panel while busy";
    EXPECT_FALSE(row.row.recordButton()->isEnabled());
    EXPECT_EQ(world.transcriber->sourceName(), QStringLiteral("talk"));

    world.prepareGate.open();
    ASSERT_TRUE(world.waitIdle());
    EXPECT_EQ(zone->opacity(), 1.0);
    EXPECT_TRUE(row.row.recordButton()->isEnabled());
}

TEST(ViewInputRow, ClickOpensThePanelForTheSevenTypesAndStartsTheChosenFile) {
    ViewWorld world;
    world.prepareGate.close();
    Row row(world);

    // A cancelled panel does nothing.
    click(row.row.dropZone());
    ASSERT_EQ(world.chooserRequests.size(), 1u);
    EXPECT_EQ(world.chooserRequests[0],
              QStringList({QStringLiteral("aac"), QStringLiteral("m4a"), QStringLiteral("m4v"), QStringLiteral("mov"),
                           QStringLiteral("mp3"), QStringLiteral("mp4"), QStringLiteral("wav")}));
    EXPECT_EQ(world.transcriber->phase(), Transcriber::Phase::idle);

    world.chosenFile = world.inputFile(QStringLiteral("Lecture.MOV"));
    click(row.row.dropZone());
    EXPECT_EQ(world.transcriber->phase(), Transcriber::Phase::preparing);
    EXPECT_EQ(world.transcriber->sourceName(), QStringLiteral("Lecture"));
}

TEST(ViewInputRow, OpenPanelFilterMatchesTheExtensionsInAnyCase) {
    const QString filter = Desktop::nameFilter({QStringLiteral("mp3"), QStringLiteral("m4a")});
    EXPECT_TRUE(filter.endsWith(QStringLiteral("(*.[mM][pP]3 *.[mM]4[aA])"))) << filter.toStdString();
}

TEST(ViewInputRow, RecordsAndHandsTheRecordingToTheTranscriber) {
    ViewWorld world;
    world.installModel(ModelChoice::balanced);
    world.prepareGate.close();
    Row row(world);
    QPushButton* record = row.row.recordButton();
    EXPECT_EQ(record->text(), QStringLiteral("Record"));
    EXPECT_EQ(row.row.clockLabel()->text(), QStringLiteral("Microphone"));

    click(record);
    ASSERT_TRUE(world.recorder->isRecording());
    EXPECT_EQ(record->text(), QStringLiteral("Stop"));
    EXPECT_EQ(row.row.clockLabel()->text(), QStringLiteral("0:00"));
    // A recording takes no other input: the zone is dimmed and refuses drops.
    EXPECT_EQ(row.row.dropZone()->opacity(), 0.5);
    EXPECT_FALSE(row.row.handleDrop({QUrl::fromLocalFile(world.inputFile(QStringLiteral("talk.wav")))}));
    EXPECT_EQ(world.transcriber->phase(), Transcriber::Phase::idle);

    // The level of a loud buffer shows in the meter.
    ASSERT_TRUE(world.microphone);
    std::vector<float> loud(4096, 0.5f);
    world.microphone(loud.data(), int(loud.size()));
    EXPECT_NEAR(row.row.levelMeter()->level(), world.recorder->level(), 1e-12);
    EXPECT_GT(row.row.levelMeter()->level(), 0.8);

    click(record);
    EXPECT_FALSE(world.recorder->isRecording());
    EXPECT_EQ(record->text(), QStringLiteral("Record"));
    EXPECT_EQ(row.row.levelMeter()->level(), 0.0);
    ASSERT_EQ(world.transcriber->phase(), Transcriber::Phase::preparing) << "the recording is transcribed";
    EXPECT_EQ(world.transcriber->sourceName(), QStringLiteral("Recording"));
}

TEST(ViewInputRow, StopStaysAvailableWhileTheTranscriberIsBusyAndLeavesNoFileBehind) {
    ViewWorld world;
    world.prepareGate.close();
    Row row(world);
    click(row.row.recordButton());
    ASSERT_TRUE(world.recorder->isRecording());

    // Something else started a run meanwhile.
    world.transcriber->start(world.inputFile(QStringLiteral("talk.wav")), false);
    ASSERT_NE(world.transcriber->phase(), Transcriber::Phase::idle);
    EXPECT_TRUE(row.row.recordButton()->isEnabled()) << "a running recording can always be stopped";

    click(row.row.recordButton());
    EXPECT_FALSE(world.recorder->isRecording());
    EXPECT_EQ(world.transcriber->sourceName(), QStringLiteral("talk")) << "the run under way goes on";
    EXPECT_TRUE(QDir(world.temporaryFolder).entryList({QStringLiteral("Recording-*")}, QDir::Files).isEmpty())
        << "the recording the transcriber could not take is not left in the temporary folder";
}

TEST(ViewInputRow, LevelMeterBarFollowsTheLevel) {
    struct Case {
        double level;
        double width;  // of a 110-wide meter
        bool red;
    };
    const Case cases[] = {
        {0.0, 0, false},
        {0.5, 55, false},
        {0.85, 93.5, false},
        {0.86, 94.6, true},
        {1.2, 110, true},
        {-0.3, 0, false},
        {std::numeric_limits<double>::quiet_NaN(), 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(LevelMeter::barWidth(c.level, 110), c.width, 1e-9) << c.level;
        EXPECT_EQ(LevelMeter::barColor(c.level) == Style::red(), c.red) << c.level;
    }

    // Drawn: after the glide a full level fills the meter in red; a quiet one leaves its end
    // empty.
    LevelMeter meter;
    meter.resize(110, 8);
    const auto pixelAt = [&meter](int x) { return meter.grab().toImage().pixelColor(x, 4); };
    meter.setLevel(1.2);
    ASSERT_TRUE(waitUntil([&meter] { return meter.shownLevel() == 1.2; }, 2000));
    EXPECT_EQ(pixelAt(105).rgb(), Style::red().rgb());
    meter.setLevel(0.2);
    ASSERT_TRUE(waitUntil([&meter] { return std::abs(meter.shownLevel() - 0.2) < 1e-9; }, 2000));
    EXPECT_EQ(pixelAt(10).rgb(), Style::green().rgb());
    EXPECT_NE(pixelAt(60).rgb(), Style::green().rgb());
}

}  // namespace
}  // namespace norvel::test
