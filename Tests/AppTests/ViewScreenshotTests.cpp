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
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
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
        const QString directory =
            folder != nullptr && *folder != '\0' ? QString::fromUtf8(folder) : QString::fromStdString(output.path().string());
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

TEST_F(ViewScreenshot, FirstLaunchTranscriptAndRunInProgress) {
    ViewWorld world;
    world.microphoneSettings = QUrl(QStringLiteral("settings://privacy/microphone"));
    ContentView window(world.services(), world.settings(), world.desktop());
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

    // A fresh transcript with history, the playhead in its second segment.
    window.dismissFirstRun();
    addHistory(world);
    world.installModel(ModelChoice::balanced);
    world.preparedDuration = 19.5;
    ASSERT_TRUE(world.transcribe(
        QStringLiteral("Team meeting 2024-05-06.m4a"),
        {{0.0, 4.4, QStringLiteral("Good morning everyone, and thanks for making the time on a Monday.")},
         {4.4, 11.2, QStringLiteral("Let's start with the quarterly numbers, which look better than we expected "
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

    // A run in its transcribing phase, with a problem of the recorder shown with its details.
    world.session->runGate.close();
    world.session->reports = {{0.42, QStringLiteral("So the first thing to know about the coastline is that it "
                                                    "moves, every single year, by a few metres")}};
    world.transcriber->start(world.inputFile(QStringLiteral("Lecture 3.mp4")), false);
    ASSERT_TRUE(waitUntil([&] { return !world.transcriber->preview().isEmpty(); }));
    world.access->status_ = MicrophonePermission::denied;
    world.recorder->start();
    click(window.issueBanner()->recorderBanner()->detailsToggle());
    const QImage running = shoot(window, "transcribing");
    EXPECT_TRUE(isDrawn(running));
    EXPECT_FALSE(window.progressPanel()->isHidden());
    EXPECT_FALSE(window.issueBanner()->recorderBanner()->isHidden());
    world.session->runGate.open();
    ASSERT_TRUE(world.waitIdle());
}

}  // namespace
}  // namespace norvel::test
