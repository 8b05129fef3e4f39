// The history sidebar: the stored transcripts newest first, opening, revealing and deleting.
#include "App/Views/ElidedLabel.h"
#include "App/Views/HistoryView.h"
#include "App/Views/SegmentRow.h"
#include "App/Views/TranscriptView.h"
#include "AppTestSupport.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QScrollArea>
#include <QTextCursor>
#include <QTimeZone>
#include <QToolButton>

namespace norvel::test {
namespace {

QDateTime at(const char* iso) { return QDateTime::fromString(QString::fromUtf8(iso), Qt::ISODate); }

struct Sidebar {
    Host host;
    HistoryView& view;
    explicit Sidebar(ViewWorld& world)
        : view(*host.add(std::make_unique<HistoryView>(*world.store, *world.transcriber))) {}
};

QStringList titles(const HistoryView& view) {
    QStringList result;
    for (const HistoryRow* row : view.rows()) result.append(row->titleLabel()->text());
    return result;
}

TEST(ViewHistory, EmptyHistoryShowsOnlyTheHeaderAndTheHint) {
    ViewWorld world;
    Sidebar sidebar(world);
    EXPECT_EQ(sidebar.view.width(), 240);
    EXPECT_TRUE(sidebar.view.rows().empty());
    EXPECT_TRUE(sidebar.view.placeholder()->isVisible());
    EXPECT_EQ(sidebar.view.placeholder()->text(), QStringLiteral("Earlier transcripts will be listed here."));
    EXPECT_FALSE(sidebar.view.list()->isVisible());

    click(sidebar.view.folderButton());
    ASSERT_EQ(world.browsed.size(), 1u);
    EXPECT_EQ(world.browsed[0], std::make_pair(world.historyFolder, false));
}

TEST(ViewHistory, ListsNewestFirstWithDateLengthAndPartialMark) {
    ViewWorld world;
    world.store->save(ViewWorld::document(QStringLiteral("Oldest"), at("2024-01-02T10:00:00Z"), 3725));
    world.store->save(ViewWorld::document(QStringLiteral("Newest"), at("2024-05-01T09:30:00Z"), 75, true));
    world.store->save(ViewWorld::document(QStringLiteral("Middle"), at("2024-03-15T18:45:00Z"), 59.9));
    Sidebar sidebar(world);
    EXPECT_EQ(titles(sidebar.view),
              QStringList({QStringLiteral("Newest"), QStringLiteral("Middle"), QStringLiteral("Oldest")}));
    EXPECT_FALSE(sidebar.view.placeholder()->isVisible());

    const QString dot = QString(QChar(0x00B7));
    const QString newest = sidebar.view.rows()[0]->infoLabel()->text();
    EXPECT_TRUE(
        newest.endsWith(QStringLiteral(" ") + dot + QStringLiteral(" 1:15 ") + dot + QStringLiteral(" partial")))
        << newest.toStdString();
    EXPECT_TRUE(
        sidebar.view.rows()[1]->infoLabel()->text().endsWith(QStringLiteral(" ") + dot + QStringLiteral(" 0:59")));
    EXPECT_TRUE(
        sidebar.view.rows()[2]->infoLabel()->text().endsWith(QStringLiteral(" ") + dot + QStringLiteral(" 1:02:05")));
    EXPECT_TRUE(newest.startsWith(HistoryView::dateText(at("2024-05-01T09:30:00Z"))));

    // A new transcript comes in at the top.
    ASSERT_TRUE(world.transcribe(QStringLiteral("Latest.wav"), {{0, 1, QStringLiteral("Hi.")}}));
    EXPECT_EQ(titles(sidebar.view).front(), QStringLiteral("Latest"));
    EXPECT_EQ(sidebar.view.rows().size(), 4u);
}

TEST(ViewHistory, DatesUseTheLocalesAbbreviatedDateAndShortTime) {
    const QDateTime local(QDate(2024, 5, 1), QTime(9, 30, 45), Qt::LocalTime);
    const QString english = HistoryView::dateText(local, QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_TRUE(english.contains(QStringLiteral("May 1, 2024"))) << english.toStdString();
    EXPECT_TRUE(english.contains(QStringLiteral("9:30"))) << english.toStdString();
    EXPECT_FALSE(english.contains(QStringLiteral("Wednesday"))) << "no weekday";
    EXPECT_FALSE(english.contains(QStringLiteral(":45"))) << "no seconds";

    const QString german = HistoryView::dateText(local, QLocale(QLocale::German, QLocale::Germany));
    EXPECT_TRUE(german.contains(QStringLiteral("Mai"))) << german.toStdString();
    EXPECT_TRUE(german.contains(QStringLiteral("09:30"))) << german.toStdString();
    EXPECT_FALSE(german.contains(QStringLiteral("Mittwoch")));
    EXPECT_FALSE(german.contains(QStringLiteral(":45")));
}

TEST(ViewHistory, ClickOpensARowButNotWhileARunIsUnderWay) {
    ViewWorld world;
    const TranscriptDocument first = ViewWorld::document(QStringLiteral("First"), at("2024-05-01T09:30:00Z"), 9);
    const TranscriptDocument second = ViewWorld::document(QStringLiteral("Second"), at("2024-04-01T09:30:00Z"), 9);
    world.store->save(first);
    world.store->save(second);
    Sidebar sidebar(world);

    click(sidebar.view.rows()[1]);
    ASSERT_TRUE(world.transcriber->currentDocument().has_value());
    EXPECT_EQ(world.transcriber->currentDocument()->id, second.id);
    EXPECT_EQ(world.transcriber->segments(), second.segments);

    world.installModel(ModelChoice::balanced);
    world.prepareGate.close();
    world.transcriber->start(world.inputFile(QStringLiteral("talk.wav")), false);
    click(sidebar.view.rows()[0]);
    EXPECT_FALSE(world.transcriber->currentDocument().has_value()) << "a run under way keeps its view";
    EXPECT_TRUE(world.transcriber->segments().empty());
}

TEST(ViewHistory, ClickingTheShownTranscriptKeepsItsAudio) {
    ViewWorld world;
    world.store->save(ViewWorld::document(QStringLiteral("Older"), at("2024-04-01T09:30:00Z"), 9));
    Sidebar sidebar(world);
    ASSERT_TRUE(world.transcribe(QStringLiteral("fresh.wav"), {{0, 2, QStringLiteral("Fresh words.")}}));
    ASSERT_EQ(sidebar.view.rows().size(), 2u);
    const QString wav = world.player->currentUrl().value_or(QString());
    ASSERT_TRUE(world.player->hasAudio());

    click(sidebar.view.rows()[0]);  // the fresh transcript, newest first
    EXPECT_TRUE(world.player->hasAudio());
    EXPECT_TRUE(QFile::exists(wav));
    EXPECT_EQ(world.transcriber->segments().at(0).text, QStringLiteral("Fresh words."));

    click(sidebar.view.rows()[1]);  // another one: stored transcripts have no audio
    EXPECT_FALSE(world.player->hasAudio());
    EXPECT_FALSE(QFile::exists(wav));
}

TEST(ViewHistory, OpeningAnotherTranscriptRightAfterTypingSavesTheEdit) {
    ViewWorld world;
    const TranscriptDocument first = ViewWorld::document(QStringLiteral("First"), at("2024-05-01T09:30:00Z"), 9);
    const TranscriptDocument second = ViewWorld::document(QStringLiteral("Second"), at("2024-04-01T09:30:00Z"), 9);
    world.store->save(first);
    world.store->save(second);
    Host host;
    HistoryView& sidebar = *host.add(std::make_unique<HistoryView>(*world.store, *world.transcriber));
    TranscriptView& transcript = *host.add(std::make_unique<TranscriptView>(*world.transcriber, *world.player));

    click(sidebar.rows()[0]);
    SegmentEditor* editor = transcript.rows()[2]->editor();
    editor->moveCursor(QTextCursor::End);
    typeText(editor, QStringLiteral(" Then the rest."));
    click(sidebar.rows()[1]);  // before typing has paused
    EXPECT_EQ(world.transcriber->currentDocument()->id, second.id);
    world.store->waitForWrites();
    const TranscriptDocument reread = TranscriptDocument::fromJson(readAll(world.store->fileOf(first)));
    EXPECT_EQ(reread.segments[2].text, QStringLiteral("The figures first. Then the rest."));
    EXPECT_EQ(world.store->items()[0].segments[2].text, QStringLiteral("The figures first. Then the rest."));
}

TEST(ViewHistory, TrashDeletesAtOnceWithoutOpening) {
    ViewWorld world;
    const TranscriptDocument keep = ViewWorld::document(QStringLiteral("Keep"), at("2024-05-01T09:30:00Z"), 9);
    const TranscriptDocument drop = ViewWorld::document(QStringLiteral("Drop"), at("2024-04-01T09:30:00Z"), 9);
    world.store->save(keep);
    world.store->save(drop);
    Sidebar sidebar(world);

    click(sidebar.view.rows()[1]->deleteButton());
    settle();
    EXPECT_EQ(titles(sidebar.view), QStringList{QStringLiteral("Keep")});
    EXPECT_FALSE(QFile::exists(world.store->fileOf(drop)));
    EXPECT_TRUE(QFile::exists(world.store->fileOf(keep)));
    EXPECT_FALSE(world.transcriber->currentDocument().has_value()) << "deleting does not open";
    EXPECT_EQ(sidebar.view.list()->widget()->findChildren<HistoryRow*>().size(), 1) << "the row is gone";
}

TEST(ViewHistory, RevealShowsTheFileOrTheFolderWhenTheFileIsGone) {
    ViewWorld world;
    const TranscriptDocument document = ViewWorld::document(QStringLiteral("Talk"), at("2024-05-01T09:30:00Z"), 9);
    world.store->save(document);
    Sidebar sidebar(world);
    EXPECT_EQ(sidebar.view.rows()[0]->revealButton()->toolTip(), QStringLiteral("Show in File Manager"));

    click(sidebar.view.rows()[0]->revealButton());
    QFile::remove(world.store->fileOf(document));
    click(sidebar.view.rows()[0]->revealButton());
    ASSERT_EQ(world.browsed.size(), 2u);
    EXPECT_EQ(world.browsed[0], std::make_pair(world.store->fileOf(document), true));
    EXPECT_EQ(world.browsed[1], std::make_pair(world.historyFolder, false));
    EXPECT_FALSE(world.transcriber->currentDocument().has_value()) << "revealing does not open";
}

TEST(ViewHistory, DeletingTheShownTranscriptKeepsItOnScreenAndAnEditBringsItBack) {
    ViewWorld world;
    const TranscriptDocument document = ViewWorld::document(QStringLiteral("Talk"), at("2024-05-01T09:30:00Z"), 9);
    world.store->save(document);
    Host host;
    HistoryView& sidebar = *host.add(std::make_unique<HistoryView>(*world.store, *world.transcriber));
    TranscriptView& transcript = *host.add(std::make_unique<TranscriptView>(*world.transcriber, *world.player));

    click(sidebar.rows()[0]);
    ASSERT_EQ(transcript.rows().size(), 3u);
    click(sidebar.rows()[0]->deleteButton());
    settle();
    EXPECT_TRUE(sidebar.rows().empty());
    EXPECT_EQ(transcript.rows().size(), 3u) << "the shown transcript stays";

    transcript.rows()[0]->editor()->textCursor().insertText(QStringLiteral("Well, "));
    // Saved once typing pauses.
    ASSERT_TRUE(waitUntil([&] { return sidebar.rows().size() == 1u; }));
    world.store->waitForWrites();
    EXPECT_EQ(sidebar.rows()[0]->document().id, document.id);
    EXPECT_TRUE(QFile::exists(world.store->fileOf(document)));
}

// Typing and then pressing the shown transcript's trash button before typing has paused: the
// edit waiting to be saved goes with the document, whatever flushes the edits next.
TEST(ViewHistory, ATranscriptDeletedRightAfterTypingStaysDeleted) {
    enum class Flush { typingPauses, anotherOpens, aRunStarts, quit };
    const struct {
        const char* name;
        Flush flush;
    } cases[] = {
        {"typing pauses", Flush::typingPauses},
        {"another transcript opens", Flush::anotherOpens},
        {"a run starts", Flush::aRunStarts},
        {"the application quits", Flush::quit},
    };
    for (const auto& c : cases) {
        ViewWorld world;
        const TranscriptDocument shown = ViewWorld::document(QStringLiteral("Talk"), at("2024-05-01T09:30:00Z"), 9);
        const TranscriptDocument other = ViewWorld::document(QStringLiteral("Other"), at("2024-04-01T09:30:00Z"), 9);
        world.store->save(shown);
        world.store->save(other);
        Host host;
        HistoryView& sidebar = *host.add(std::make_unique<HistoryView>(*world.store, *world.transcriber));
        TranscriptView& transcript = *host.add(std::make_unique<TranscriptView>(*world.transcriber, *world.player));

        click(sidebar.rows()[0]);
        SegmentEditor* editor = transcript.rows()[0]->editor();
        editor->moveCursor(QTextCursor::End);
        typeText(editor, QStringLiteral(" More."));
        ASSERT_TRUE(transcript.hasUnsavedEdits()) << c.name;
        click(sidebar.rows()[0]->deleteButton());
        settle();
        switch (c.flush) {
            case Flush::typingPauses:
                ASSERT_TRUE(waitUntil([&] { return !transcript.hasUnsavedEdits(); })) << c.name;
                break;
            case Flush::anotherOpens: world.transcriber->open(other); break;
            case Flush::aRunStarts:
                ASSERT_TRUE(world.transcribe(QStringLiteral("next.wav"), {{0, 1, QStringLiteral("Next.")}})) << c.name;
                break;
            case Flush::quit: world.transcriber->persistEdits(); break;
        }
        world.store->waitForWrites();
        settle();

        EXPECT_FALSE(QFile::exists(world.store->fileOf(shown))) << c.name;
        for (const TranscriptDocument& item : world.store->items()) EXPECT_NE(item.id, shown.id) << c.name;
        EXPECT_TRUE(QFile::exists(world.store->fileOf(other))) << c.name;
    }
}

}  // namespace
}  // namespace norvel::test
