// Pictures of the whole window in typical states, to be looked at by a person. They are
// written to the folder named by NORVEL_SCREENSHOT_DIR when it is set, else to a temporary
// folder; the test checks that each is a whole, drawn window.
#include "App/Views/ContentView.h"
#include "App/Views/FirstRunCard.h"
#include "App/Views/HistoryView.h"
#include "App/Views/IssueBanner.h"
#include "App/Views/ProgressPanel.h"
#include "App/Views/SegmentRow.h"
#include "App/Views/TranscriptView.h"
#include "AppTestSupport.h"
#include "Platform/ML/MLError.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>

#include <cstdlib>

namespace norvel::test {
namespace {

class ViewScreenshot : public ::testing::Test {
protected:
    // Draws the window as it is now and saves it as `name`.png; returns the picture.
    QImage shoot(ContentView& window, const char* name) {
        settle();
        const QImage image = window.grab().toImage();
        const char* folder = std::getenv("NORVEL_SCREENSHOT_DIR");
        const QString directory = folder != nullptr && *folder != '\0' ? QString::fromUtf8(folder)
                                                                       : QString::fromStdString(output.path().string());
        QDir().mkpath(directory);
        EXPECT_TRUE(image.save(QDir(directory).filePath(QString::fromUtf8(name) + QStringLiteral(".png"))));
        return image;
    }

    // Whether the picture holds more than a few colours, as a drawn window does.
    static bool isDrawn(const QImage& image) {
        QList<QRgb> seen;
        for (int y = 0; y < image.height(); y += 7) {
            for (int x = 0; x < image.width(); x += 7) {
                const QRgb pixel = image.pixel(x, y);
                if (!seen.contains(pixel)) seen.append(pixel);
                if (seen.size() > 20) return true;
            }
        }
        return false;
    }

    TemporaryDirectory output;
};

void addHistory(ViewWorld& world) {
    const auto at = [](const char* iso) { return QDateTime::fromString(QString::fromUtf8(iso), Qt::ISODate); };
    world.store->save(ViewWorld::document(QStringLiteral("Quarterly review"), at("2024-05-02T14:05:00Z"), 1834));
    world.store->save(ViewWorld::document(QStringLiteral("Interview with Dr. Amara Okafor on coastal erosion"),
                                          at("2024-04-28T15:02:00Z"), 75, true));
    world.store->save(ViewWorld::document(QStringLiteral("Recording"), at("2024-04-20T08:00:00Z"), 12.5));
}

// Whether the window shows its whole main column without scrolling it: every item has the
// height its content needs at its width, wrapped texts included, and the transcript ends
// inside the window.
void expectWholeColumnWithoutScrolling(ContentView& window) {
    auto* scroll = window.findChild<QScrollArea*>(QStringLiteral("mainColumnScroll"));
    ASSERT_NE(scroll, nullptr);
    EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0) << "the column scrolls in a window of usual size";
    EXPECT_FALSE(scroll->verticalScrollBar()->isVisible());
    QLayout* column = window.mainColumn()->layout();
    for (int i = 0; i < column->count(); ++i) {
        QWidget* item = column->itemAt(i)->widget();
        if (item == nullptr || item->isHidden() || item == window.transcriptView()) continue;
        const int needed = item->hasHeightForWidth() ? item->heightForWidth(item->width()) : item->sizeHint().height();
        EXPECT_EQ(item->height(), needed) << item->objectName().toStdString();
    }
    for (QLabel* label : window.mainColumn()->findChildren<QLabel*>()) {
        if (!label->isVisible() || !label->wordWrap() || label->text().isEmpty()) continue;
        EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->text().toStdString();
    }
    QWidget* transcript = window.transcriptView();
    const int bottom = transcript->mapTo(&window, QPoint(0, transcript->height())).y();
    EXPECT_LE(bottom, window.height() - 18) << "the transcript ends above the column's bottom margin";
    EXPECT_GE(transcript->height(), 140);
}

TEST_F(ViewScreenshot, FirstLaunchTranscriptAndRunInProgress) {
    ViewWorld world;
    // The card names the data folder; the picture shows it where a user's is.
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", "/home/alex/.local/share");
    ContentView window(world.services(), world.settings(), world.desktop());
    qputenv("XDG_DATA_HOME", dataHome);
    window.resize(1100, 760);
    window.show();

    // First launch: the card, an empty history and no transcript.
    QImage first = shoot(window, "first-launch");
    ASSERT_EQ(first.size(), window.size() * window.devicePixelRatio());
    EXPECT_TRUE(isDrawn(first));
    ASSERT_NE(window.firstRunCard(), nullptr);
    // The card's tint lies under its top-left corner, inside the main column.
    const QPoint card = window.firstRunCard()->mapTo(&window, QPoint(20, 6));
    EXPECT_NE(first.pixel(card), first.pixel(window.mainColumn()->mapTo(&window, QPoint(4, 4))));
    expectWholeColumnWithoutScrolling(window);

    // The card and a problem together still fit the window of usual size, the problem's
    // details unfolded.
    world.transcriber->start(world.inputFile(QStringLiteral("minutes.txt")), false);
    ASSERT_TRUE(world.transcriber->issue().has_value());
    click(window.issueBanner()->transcriberBanner()->detailsToggle());
    const QImage crowded = shoot(window, "first-launch-with-issue");
    EXPECT_TRUE(isDrawn(crowded));
    expectWholeColumnWithoutScrolling(window);
    click(window.issueBanner()->transcriberBanner()->dismissButton());

    // A fresh transcript with history, the playhead in its second segment.
    window.dismissFirstRun();
    addHistory(world);
    world.installModel(ModelChoice::balanced);
    world.preparedDuration = 19.5;
    ASSERT_TRUE(world.transcribe(
        QStringLiteral("Team meeting 2024-05-06.m4a"),
        {{0.0, 4.4, QStringLiteral("Good morning everyone, and thanks for making the time on a Monday.")},
         {4.4, 11.2,
          QStringLiteral("Let's start with the quarterly numbers, which look better than we expected "
                         "in almost every region, and then move on to hiring.")},
         {11.2, 15.0, QStringLiteral("Sales grew by twelve percent in the north.")},
         {15.0, 19.5, QStringLiteral("Any questions before we move on?")}}));
    world.player->play(6.0);
    const QImage transcript = shoot(window, "transcript");
    EXPECT_TRUE(isDrawn(transcript));
    ASSERT_EQ(window.transcriptView()->rows().size(), 4u);
    EXPECT_TRUE(window.transcriptView()->rows()[1]->isActive());
    // The highlighted row is drawn in a tint of its own.
    SegmentRow* active = window.transcriptView()->rows()[1];
    SegmentRow* other = window.transcriptView()->rows()[2];
    EXPECT_NE(transcript.pixel(active->mapTo(&window, QPoint(3, active->height() / 2))),
              transcript.pixel(other->mapTo(&window, QPoint(3, other->height() / 2))));
    expectWholeColumnWithoutScrolling(window);
    world.player->pause();

    // A run in its transcribing phase, with a problem of the recorder shown with its details.
    world.session->runGate.close();
    world.session->reports = {{0.42, QStringLiteral("So the first thing to know about the coastline is that it "
                                                    "moves, every single year, by a few metres")}};
    world.transcriber->start(world.inputFile(QStringLiteral("Lecture 3.mp4")), false);
    ASSERT_TRUE(waitUntil([&] { return !world.transcriber->preview().isEmpty(); }));
    const QImage running = shoot(window, "transcribing");
    EXPECT_TRUE(isDrawn(running));
    EXPECT_FALSE(window.progressPanel()->isHidden());
    expectWholeColumnWithoutScrolling(window);
    world.access->status_ = MicrophonePermission::denied;
    world.recorder->start();
    click(window.issueBanner()->recorderBanner()->detailsToggle());
    const QImage crowdedRun = shoot(window, "transcribing-with-issue");
    EXPECT_TRUE(isDrawn(crowdedRun));
    EXPECT_FALSE(window.issueBanner()->recorderBanner()->isHidden());
    expectWholeColumnWithoutScrolling(window);
    world.session->runGate.open();
    ASSERT_TRUE(world.waitIdle());
    world.recorder->clearIssue();
}

TEST_F(ViewScreenshot, DownloadLongTranscriptAndProblems) {
    ViewWorld world;
    ContentView window(world.services(), world.settings(), world.desktop());
    window.dismissFirstRun();
    addHistory(world);
    window.resize(1100, 760);
    window.show();

    // The first run of a model size downloads it.
    world.downloadGate.close();
    world.downloadReports = {{0.427, 3.2e6}};
    world.transcriber->start(world.inputFile(QStringLiteral("Interview.m4a")), false);
    ASSERT_TRUE(waitUntil([&] { return world.models->downloading().has_value() && world.models->progress() > 0.4; }));
    const QImage downloading = shoot(window, "downloading");
    EXPECT_TRUE(isDrawn(downloading));
    expectWholeColumnWithoutScrolling(window);
    world.downloadGate.open();
    world.session->segments = {};
    ASSERT_TRUE(world.waitIdle());
    world.transcriber->clearIssue();

    // A long transcript scrolls inside its own panel; the column does not.
    std::vector<std::tuple<double, double, QString>> parts;
    for (int i = 0; i < 80; ++i) {
        QString text = QStringLiteral("Sentence %1 of a long interview about the coast, ").arg(i + 1);
        if (i % 3 == 0)
            text += QStringLiteral("with a longer aside on tides, storms and the sand that moves every winter, ");
        text += QStringLiteral("and so on.");
        parts.emplace_back(i * 7.5, i * 7.5 + 7.5, text);
    }
    world.transcriber->open(ViewWorld::document(QStringLiteral("Coastal erosion, full interview"),
                                                QDateTime::currentDateTimeUtc(), 600, false,
                                                ViewWorld::segments(parts)));
    const QImage longTranscript = shoot(window, "long-transcript");
    EXPECT_TRUE(isDrawn(longTranscript));
    expectWholeColumnWithoutScrolling(window);
    EXPECT_GT(window.transcriptView()->list()->verticalScrollBar()->maximum(), 0);

    // Problems, each in a banner of its own with Linux words: a damaged model (details
    // unfolded), and audio that has no device to play on.
    world.installModel(ModelChoice::balanced);
    world.session->loadError = std::make_exception_ptr(
        platform::MLError(platform::MLError::Code::invalidModel,
                          "TextDecoder.mlmodelc/weights.safetensors: the header names 212 tensors, the file holds "
                          "the data of 37\nmodel.json: the decoder's layer count is 4, the weights hold 2"));
    ASSERT_TRUE(world.transcribe(QStringLiteral("Interview.m4a"), {}));
    ASSERT_EQ(world.transcriber->issue()->kind(), NorvelError::Kind::corruptModel);
    click(window.issueBanner()->transcriberBanner()->detailsToggle());
    const QImage problem = shoot(window, "issue-banner");
    EXPECT_TRUE(isDrawn(problem));
    expectWholeColumnWithoutScrolling(window);
    Banner* banner = window.issueBanner()->transcriberBanner();
    EXPECT_LT(banner->detailsArea()->height(), Banner::maxDetailsHeight) << "short details take only their lines";
    EXPECT_GE(banner->detailsArea()->height(), banner->detailsLabel()->heightForWidth(banner->detailsArea()->width()));
}

}  // namespace
}  // namespace norvel::test
