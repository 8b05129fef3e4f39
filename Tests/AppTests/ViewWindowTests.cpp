// The main window: its layout, the first-run card and the one setting that keeps it dismissed.
#include "App/Views/ContentView.h"
#include "App/Views/FirstRunCard.h"
#include "App/Views/HistoryView.h"
#include "App/Views/InputRow.h"
#include "App/Views/IssueBanner.h"
#include "App/Views/ProgressPanel.h"
#include "App/Views/SettingsRow.h"
#include "App/Views/TranscriptView.h"
#include "AppTestSupport.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>

namespace norvel::test {
namespace {

// The visible items of the main column, top to bottom.
std::vector<QWidget*> columnItems(const ContentView& window) {
    std::vector<QWidget*> items;
    QLayout* layout = window.mainColumn()->layout();
    for (int i = 0; i < layout->count(); ++i) {
        QWidget* widget = layout->itemAt(i)->widget();
        if (widget != nullptr && !widget->isHidden()) items.push_back(widget);
    }
    return items;
}

TEST(ViewWindow, FirstLaunchShowsTheCardFirstAndGotItKeepsItDismissedAcrossLaunches) {
    ViewWorld world;
    {
        ContentView window(world.services(), world.settings(), world.desktop());
        window.show();
        ASSERT_NE(window.firstRunCard(), nullptr);
        // Words that are true here: no permission prompt, no other system's names.
        for (const QLabel* label : window.firstRunCard()->findChildren<QLabel*>()) {
            for (const char* word : {"permission", "Mac", "System Settings", "Application Support"}) {
                EXPECT_FALSE(label->text().contains(QString::fromUtf8(word))) << label->text().toStdString();
            }
        }
        const std::vector<QWidget*> items = columnItems(window);
        ASSERT_EQ(items.size(), 4u);  // idle: no progress panel, no banner
        EXPECT_EQ(items[0], window.firstRunCard());
        EXPECT_EQ(items[1], window.settingsRow());
        EXPECT_EQ(items[2], window.inputRow());
        EXPECT_EQ(items[3], window.transcriptView());

        click(window.firstRunCard()->gotItButton());
        settle();
        EXPECT_EQ(window.firstRunCard(), nullptr);
        EXPECT_TRUE(window.firstRunDismissed());
        EXPECT_EQ(columnItems(window).front(), window.settingsRow());
    }
    EXPECT_TRUE(world.settings()->value(QStringLiteral("firstRunDismissed")).toBool());

    // The next launch starts without the card; the settings row is the first item, 18 points
    // below the top of the window.
    ContentView relaunched(world.services(), world.settings(), world.desktop());
    relaunched.show();
    settle();
    EXPECT_EQ(relaunched.firstRunCard(), nullptr);
    ASSERT_EQ(columnItems(relaunched).front(), relaunched.settingsRow());
    EXPECT_EQ(relaunched.settingsRow()->mapTo(&relaunched, QPoint(0, 0)).y(), 18);
}

TEST(ViewWindow, ReturnPressesGotItOnlyWhileTheCardShows) {
    ViewWorld world;
    ContentView window(world.services(), world.settings(), world.desktop());
    window.show();
    pressKey(&window, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_NE(window.firstRunCard(), nullptr) << "a modified Return is not the default button's key";
    pressKey(&window, Qt::Key_Return);
    settle();
    EXPECT_EQ(window.firstRunCard(), nullptr);
    EXPECT_TRUE(world.settings()->value(QStringLiteral("firstRunDismissed")).toBool());
}

TEST(ViewWindow, StopsShrinkingAt940By680AndTheSidebarKeepsItsWidth) {
    ViewWorld world;
    ContentView window(world.services(), world.settings(), world.desktop());
    window.show();
    settle();
    EXPECT_GE(window.minimumSizeHint().width(), 940);
    EXPECT_GE(window.minimumSizeHint().height(), 680);
    window.resize(600, 400);
    settle();
    EXPECT_GE(window.width(), 940);
    EXPECT_GE(window.height(), 680);

    for (const int width : {940, 1400}) {
        window.resize(width, 800);
        settle();
        EXPECT_EQ(window.historyView()->width(), 240);
        // The main column takes all the rest but the divider.
        EXPECT_GE(window.mainColumn()->width(), width - 240 - 2);
        QWidget* column = window.mainColumn();
        EXPECT_EQ(column->mapTo(&window, QPoint(column->width() - 1, 0)).x(), window.width() - 1);
    }
}

TEST(ViewWindow, ASmallCrowdedWindowScrollsItsColumnRatherThanCutText) {
    ViewWorld world;
    ContentView window(world.services(), world.settings(), world.desktop());
    window.show();
    world.installModel(ModelChoice::balanced);
    world.session->runGate.close();
    QString preview;
    for (int i = 0; i < 6; ++i) preview += QStringLiteral("and the sea stayed where it was and the sand on the beach ");
    world.session->reports = {{0.42, preview}};
    world.transcriber->start(world.inputFile(QStringLiteral("Lecture.mp4")), false);
    ASSERT_TRUE(waitUntil([&] { return !world.transcriber->preview().isEmpty(); }));
    world.access->status_ = MicrophonePermission::denied;
    world.recorder->start();
    window.resize(940, 680);
    settle();

    // Every item gets all the height its content needs at its width, so no text is cut.
    QLayout* column = window.mainColumn()->layout();
    for (int i = 0; i < column->count(); ++i) {
        QWidget* item = column->itemAt(i)->widget();
        if (item == nullptr || item->isHidden() || item == window.transcriptView()) continue;
        const int needed = item->hasHeightForWidth() ? item->heightForWidth(item->width()) : item->sizeHint().height();
        EXPECT_GE(item->height(), needed) << item->objectName().toStdString();
    }
    for (QLabel* label : window.mainColumn()->findChildren<QLabel*>()) {
        if (!label->isVisible() || !label->wordWrap() || label->text().isEmpty()) continue;
        EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->text().toStdString();
    }
    EXPECT_GE(window.transcriptView()->height(), 140) << "the transcript keeps a few rows";
    auto* scroll = window.findChild<QScrollArea*>(QStringLiteral("mainColumnScroll"));
    ASSERT_NE(scroll, nullptr);
    EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0) << "the rest is reached by scrolling";

    world.session->runGate.open();
    ASSERT_TRUE(world.waitIdle());
}

// Answers the next file panel once it shows: hands it to `answer`, which accepts or rejects it.
void answerNextFilePanel(std::function<void(QFileDialog&)> answer) {
    auto* poll = new QTimer();
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, answer] {
        auto* panel = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (panel == nullptr) return;
        poll->stop();
        poll->deleteLater();
        answer(*panel);
    });
    poll->start();
}

TEST(ViewWindow, TheSavePanelIsAWindowOfTheMainWindowAndOpensWhereTheUserLastSaved) {
    ViewWorld world;
    ContentView window(world.services(), world.settings(), world.desktop());
    window.show();
    ASSERT_TRUE(world.transcribe(QStringLiteral("Talk.wav"), {{0, 2, QStringLiteral("Hello.")}}));
    world.transcriber->saveAs(ExportFormat::srt);
    ASSERT_EQ(world.saveParents.size(), 1u);
    EXPECT_EQ(world.saveParents[0], &window);
    EXPECT_EQ(world.saveProposals[0], QStringLiteral("Talk.srt"));

    // The desktop's own panel: over the window, first in the home folder, then where the user
    // saved last.
    const QString folder = QString::fromStdString((world.dir / "exports").string());
    QDir().mkpath(folder);
    QString shownIn;
    QWidget* parent = nullptr;
    answerNextFilePanel([&](QFileDialog& panel) {
        shownIn = panel.directory().absolutePath();
        parent = panel.parentWidget();
        panel.selectFile(folder + QStringLiteral("/Talk.srt"));
        QMetaObject::invokeMethod(&panel, "accept");
    });
    EXPECT_EQ(Desktop::chooseSaveFileWithPanel(&window, QStringLiteral("Talk.srt")),
              folder + QStringLiteral("/Talk.srt"));
    EXPECT_EQ(shownIn, QDir::homePath());
    EXPECT_EQ(parent, &window);

    QString proposed;
    answerNextFilePanel([&](QFileDialog& panel) {
        shownIn = panel.directory().absolutePath();
        proposed = panel.selectedFiles().value(0);
        panel.reject();
    });
    EXPECT_EQ(Desktop::chooseSaveFileWithPanel(&window, QStringLiteral("Talk.md")), std::nullopt);
    EXPECT_EQ(shownIn, folder);
    EXPECT_EQ(QFileInfo(proposed).fileName(), QStringLiteral("Talk.md"));
}

TEST(ViewWindow, MicrophoneSettingsAreOfferedOnlyWhereTheDesktopHasThem) {
    ViewWorld world;
    {
        ContentView window(world.services(), world.settings(), world.desktop());
        EXPECT_EQ(window.firstRunCard()->settingsButton(), nullptr);
    }
    world.microphoneSettings = QUrl(QStringLiteral("settings://privacy/microphone"));
    ContentView window(world.services(), world.settings(), world.desktop());
    window.show();
    ASSERT_NE(window.firstRunCard()->settingsButton(), nullptr);
    click(window.firstRunCard()->settingsButton());
    ASSERT_EQ(world.openedUrls.size(), 1u);
    EXPECT_EQ(world.openedUrls.front(), world.microphoneSettings);
    EXPECT_NE(window.firstRunCard(), nullptr) << "opening the settings does not dismiss the card";
}

}  // namespace
}  // namespace norvel::test
