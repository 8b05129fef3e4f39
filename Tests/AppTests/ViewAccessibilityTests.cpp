// What a screen reader is told about the window's controls: each one's name, and the state of
// the widgets that draw it themselves.
#include "App/Views/DropZone.h"
#include "App/Views/HistoryView.h"
#include "App/Views/InputRow.h"
#include "App/Views/IssueBanner.h"
#include "App/Views/LevelMeter.h"
#include "App/Views/SegmentRow.h"
#include "App/Views/SettingsRow.h"
#include "App/Views/TranscriptView.h"
#include "AppTestSupport.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>
#include <QToolButton>

namespace norvel::test {
namespace {

QString accessibleText(QWidget* widget, QAccessible::Text kind) {
    QAccessibleInterface* interface = QAccessible::queryAccessibleInterface(widget);
    return interface != nullptr ? interface->text(kind) : QString();
}

TEST(ViewAccessibility, EveryControlIsNamedAsItShowsItself) {
    ViewWorld world;
    Host host;
    auto& input = *host.add(std::make_unique<InputRow>(*world.transcriber, *world.recorder, world.desktop()));
    host.add(std::make_unique<SettingsRow>(*world.transcriber, *world.models));
    auto& banners = *host.add(std::make_unique<IssueBanner>(*world.transcriber, *world.store, *world.player,
                                                            *world.recorder, world.desktop()));
    auto& transcript = *host.add(std::make_unique<TranscriptView>(*world.transcriber, *world.player));
    auto& history = *host.add(std::make_unique<HistoryView>(*world.store, *world.transcriber));
    ASSERT_TRUE(world.transcribe(QStringLiteral("Talk.wav"), {{75, 80, QStringLiteral("Hello there.")}}));
    world.transcriber->start(world.inputFile(QStringLiteral("notes.txt")), false);  // an issue for the banner
    ASSERT_FALSE(banners.transcriberBanner()->isHidden());
    ASSERT_EQ(transcript.rows().size(), 1u);
    ASSERT_EQ(history.rows().size(), 1u);

    // No button is only "button", whether it shows a text or only a symbol.
    for (QAbstractButton* button : host.window()->findChildren<QAbstractButton*>()) {
        EXPECT_FALSE(accessibleText(button, QAccessible::Name).trimmed().isEmpty())
            << button->objectName().toStdString() << " has no name";
    }

    const Banner* banner = banners.transcriberBanner();
    const struct {
        const char* what;
        QWidget* widget;
        QString name;
        QString description;  // checked when not empty
    } cases[] = {
        {"drop zone", input.dropZone(), QStringLiteral("Drop an audio or video file here, or click to choose"),
         QStringLiteral("Takes mp3, m4a, wav, aac, mp4, mov or m4v files.")},
        {"level meter", input.levelMeter(), QStringLiteral("Input level"), QStringLiteral("0%")},
        {"play button", transcript.playButton(), QStringLiteral("Play"), {}},
        {"segment row", transcript.rows()[0], QStringLiteral("Segment at 1:15"), {}},
        {"segment text", transcript.rows()[0]->editor(), QStringLiteral("Segment at 1:15"), {}},
        {"segment time", transcript.rows()[0]->timeButton(), QStringLiteral("1:15"), QStringLiteral("Play from here")},
        {"issue banner", const_cast<Banner*>(banner), banner->messageLabel()->text(), {}},
        {"issue symbol", banner->symbolLabel(), QStringLiteral("Warning"), {}},
        {"history row", history.rows()[0], QStringLiteral("Talk"), history.rows()[0]->infoLabel()->text()},
        {"reveal button", history.rows()[0]->revealButton(), QStringLiteral("Show in File Manager"), {}},
        {"delete button", history.rows()[0]->deleteButton(), QStringLiteral("Delete"), {}},
        {"history folder button",
         history.folderButton(),
         QStringLiteral("Open the history folder in the file manager"),
         {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(accessibleText(c.widget, QAccessible::Name), c.name) << c.what;
        if (!c.description.isEmpty()) {
            EXPECT_EQ(accessibleText(c.widget, QAccessible::Description), c.description) << c.what;
        }
    }
}

// The drop zone and the level meter tell their state as they draw it.
TEST(ViewAccessibility, TheDropZoneAndTheLevelMeterDescribeTheirState) {
    DropZone zone;
    zone.setAccepting(false);
    EXPECT_EQ(accessibleText(&zone, QAccessible::Description),
              QStringLiteral("Takes no file while a transcription or a recording runs."));
    zone.setAccepting(true);
    EXPECT_EQ(accessibleText(&zone, QAccessible::Description),
              QStringLiteral("Takes mp3, m4a, wav, aac, mp4, mov or m4v files."));

    const struct {
        double level;
        const char* description;
    } levels[] = {{0.456, "46%"}, {0.92, "92%, too loud"}, {1.7, "100%, too loud"}, {-1, "0%"}};
    LevelMeter meter;
    for (const auto& c : levels) {
        meter.setLevel(c.level);
        EXPECT_EQ(accessibleText(&meter, QAccessible::Name), QStringLiteral("Input level"));
        EXPECT_EQ(accessibleText(&meter, QAccessible::Description), QString::fromUtf8(c.description)) << c.level;
    }
}

}  // namespace
}  // namespace norvel::test
