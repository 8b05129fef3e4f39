// The transcript view: empty, fresh (with audio) and stored (without) transcripts, the
// highlight under the playhead, editing that is saved, copying and saving as.
#include "App/Model/Fmt.h"
#include "App/Services/Exporter.h"
#include "App/Views/ElidedLabel.h"
#include "App/Views/SegmentRow.h"
#include "App/Views/TranscriptView.h"
#include "AppTestSupport.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextCursor>
#include <QToolButton>

namespace norvel::test {
namespace {

struct View {
    Host host;
    TranscriptView& view;
    explicit View(ViewWorld& world)
        : view(*host.add(std::make_unique<TranscriptView>(*world.transcriber, *world.player))) {}
};

std::vector<EngineSegment> threeSegments() {
    return {{0.0, 4.2, QStringLiteral(" Good morning everyone. ")},
            {4.2, 9.8, QStringLiteral("Let's start with the numbers.")},
            {65.0, 70.5, QStringLiteral("Any questions?")}};
}

TEST(ViewTranscript, EmptyStateOffersNothing) {
    ViewWorld world;
    View v(world);
    EXPECT_EQ(v.view.titleLabel()->text(), QStringLiteral("Transcript"));
    EXPECT_FALSE(v.view.header()->isEnabled());
    EXPECT_FALSE(v.view.copyButton()->isEnabled());
    EXPECT_FALSE(v.view.saveAsButton()->isEnabled());
    EXPECT_TRUE(v.view.playButton()->isHidden());
    EXPECT_FALSE(v.view.placeholder()->isHidden());
    EXPECT_EQ(v.view.placeholder()->text(), QStringLiteral("Your transcript will appear here."));
    EXPECT_FALSE(v.view.list()->isVisible());
}

TEST(ViewTranscript, FreshTranscriptShowsTimedRowsThatPlay) {
    ViewWorld world;
    View v(world);
    ASSERT_TRUE(world.transcribe(QStringLiteral("Board meeting.m4a"), threeSegments()));

    EXPECT_EQ(v.view.titleLabel()->text(), QStringLiteral("Board meeting"));
    EXPECT_TRUE(v.view.header()->isEnabled());
    EXPECT_TRUE(v.view.placeholder()->isHidden());
    ASSERT_EQ(v.view.rows().size(), 3u);
    const char* times[] = {"0:00", "0:04", "1:05"};
    const char* texts[] = {"Good morning everyone.", "Let's start with the numbers.", "Any questions?"};
    for (std::size_t i = 0; i < 3; ++i) {
        SegmentRow* row = v.view.rows()[i];
        EXPECT_EQ(row->timeButton()->text(), QString::fromUtf8(times[i]));
        EXPECT_EQ(row->editor()->text(), QString::fromUtf8(texts[i]));
        EXPECT_TRUE(row->timeButton()->isEnabled());
        EXPECT_EQ(row->timeButton()->toolTip(), QStringLiteral("Play from here"));
        EXPECT_GE(v.view.rows()[i]->y(), i == 0 ? 0 : v.view.rows()[i - 1]->geometry().bottom()) << "in list order";
    }

    // The time link plays from the segment's start; the header button pauses and resumes.
    ASSERT_FALSE(v.view.playButton()->isHidden());
    click(v.view.rows()[2]->timeButton());
    EXPECT_TRUE(world.player->isPlaying());
    EXPECT_DOUBLE_EQ(world.player->currentTime(), 65.0);
    EXPECT_TRUE(v.view.rows()[2]->isActive());
    EXPECT_FALSE(v.view.rows()[0]->isActive());
    click(v.view.playButton());
    EXPECT_FALSE(world.player->isPlaying());
    EXPECT_FALSE(v.view.rows()[2]->isActive()) << "the highlight ends with playback";
    click(v.view.playButton());
    EXPECT_TRUE(world.player->isPlaying());
    EXPECT_DOUBLE_EQ(world.player->currentTime(), 65.0) << "resumes where it paused";
}

TEST(ViewTranscript, StoredTranscriptHasNoAudio) {
    ViewWorld world;
    View v(world);
    ASSERT_TRUE(world.transcribe(QStringLiteral("fresh.wav"), threeSegments()));
    ASSERT_TRUE(world.player->hasAudio());

    const TranscriptDocument stored =
        ViewWorld::document(QStringLiteral("Older talk"), QDateTime::currentDateTimeUtc(), 9.0);
    world.transcriber->open(stored);
    EXPECT_EQ(v.view.titleLabel()->text(), QStringLiteral("Older talk"));
    EXPECT_TRUE(v.view.playButton()->isHidden());
    ASSERT_EQ(v.view.rows().size(), 3u);
    for (SegmentRow* row : v.view.rows()) {
        EXPECT_FALSE(row->timeButton()->isEnabled());
        EXPECT_EQ(row->timeButton()->toolTip(), QStringLiteral("Audio is not kept in history"));
    }
    EXPECT_EQ(v.view.rows()[0]->editor()->text(), stored.segments[0].text);
}

TEST(ViewTranscript, ARunWithoutTextLeavesNoPlayButtonOverTheEmptyTranscript) {
    ViewWorld world;
    View v(world);
    ASSERT_TRUE(world.transcribe(QStringLiteral("talk.wav"), threeSegments()));
    world.player->play(1.0);
    ASSERT_FALSE(v.view.playButton()->isHidden());

    ASSERT_TRUE(world.transcribe(QStringLiteral("silence.wav"), {}));
    ASSERT_TRUE(world.transcriber->segments().empty());
    EXPECT_FALSE(v.view.placeholder()->isHidden());
    EXPECT_TRUE(v.view.playButton()->isHidden());
    EXPECT_FALSE(world.player->isPlaying()) << "nothing plays that the window no longer offers";

    ASSERT_TRUE(world.transcribe(QStringLiteral("again.wav"), threeSegments()));
    EXPECT_FALSE(v.view.playButton()->isHidden());
}

TEST(ViewTranscript, HighlightsEverySegmentUnderThePlayhead) {
    struct Case {
        double start, end;
        bool playing;
        double now;
        bool active;
    };
    const Case cases[] = {
        {1.0, 3.0, false, 2.0, false},  // paused
        {1.0, 3.0, true, 0.999, false},
        {1.0, 3.0, true, 1.0, true},
        {1.0, 3.0, true, 2.999, true},
        {1.0, 3.0, true, 3.0, false},
        // A segment of no length is still highlighted for 0.05 s.
        {5.0, 5.0, true, 5.0, true},
        {5.0, 5.0, true, 5.049, true},
        {5.0, 5.0, true, 5.05, false},
        {5.0, 4.0, true, 5.02, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TranscriptView::isActive(c.start, c.end, c.playing, c.now), c.active)
            << c.start << "–" << c.end << " at " << c.now;
    }

    // Two overlapping segments that both hold the playhead are both highlighted.
    ViewWorld world;
    View v(world);
    ASSERT_TRUE(world.transcribe(
        QStringLiteral("overlap.wav"),
        {{0, 6, QStringLiteral("One.")}, {4, 8, QStringLiteral("Two.")}, {8, 9, QStringLiteral("Three.")}}));
    world.player->play(5.0);
    EXPECT_TRUE(v.view.rows()[0]->isActive());
    EXPECT_TRUE(v.view.rows()[1]->isActive());
    EXPECT_FALSE(v.view.rows()[2]->isActive());
    EXPECT_GT(v.view.rows()[0]->fillColor().alpha(), 0);
    EXPECT_EQ(v.view.rows()[2]->fillColor().alpha(), 0);
}

TEST(ViewTranscript, ABurstOfKeysIsSavedOnceTypingPausesUnderTheSameIdentity) {
    ViewWorld world;
    View v(world);
    TranscriptDocument stored = ViewWorld::document(
        QStringLiteral("Interview"), QDateTime::fromString(QStringLiteral("2024-05-01T09:30:00Z"), Qt::ISODate), 75.0);
    world.store->save(stored);
    world.transcriber->open(stored);
    ASSERT_EQ(v.view.rows().size(), 3u);
    SegmentRow* row = v.view.rows()[1];
    SegmentEditor* editor = row->editor();
    editor->setFocus();
    editor->moveCursor(QTextCursor::End);
    int writes = 0;
    QObject::connect(world.store.get(), &TranscriptStore::documentWritten, [&](const QUuid& id) {
        EXPECT_EQ(id, stored.id);
        ++writes;
    });

    typeText(editor, QStringLiteral(" Right away."));
    const QString edited = QStringLiteral("Let us begin. Right away.");
    EXPECT_EQ(world.transcriber->segments()[1].text, edited);
    EXPECT_EQ(v.view.rows()[1], row) << "the row being edited stays";
    EXPECT_EQ(editor->textCursor().position(), edited.size()) << "the cursor stays where the user types";
    EXPECT_TRUE(v.view.hasUnsavedEdits());

    // One write once typing pauses, none while the keys come; then nothing more.
    ASSERT_TRUE(waitUntil([&] { return writes > 0; }));
    waitUntil([] { return false; }, 3 * TranscriptView::saveDelayMilliseconds);
    EXPECT_EQ(writes, 1);
    EXPECT_FALSE(v.view.hasUnsavedEdits());

    // Saved on disk under the same identifier, title, date and length.
    const TranscriptDocument reread = TranscriptDocument::fromJson(readAll(world.store->fileOf(stored)));
    EXPECT_EQ(reread.id, stored.id);
    EXPECT_EQ(reread.title, stored.title);
    EXPECT_EQ(reread.date, stored.date);
    EXPECT_EQ(reread.duration, stored.duration);
    ASSERT_EQ(reread.segments.size(), 3u);
    EXPECT_EQ(reread.segments[1].text, edited);
    EXPECT_EQ(reread.segments[0], stored.segments[0]);
    ASSERT_EQ(world.store->items().size(), 1u);
    EXPECT_EQ(world.store->items()[0].segments[1].text, edited);
}

TEST(ViewTranscript, LeavingTheRowSavesAtOnce) {
    ViewWorld world;
    View v(world);
    const TranscriptDocument stored =
        ViewWorld::document(QStringLiteral("Notes"), QDateTime::currentDateTimeUtc(), 9.0);
    world.store->save(stored);
    world.transcriber->open(stored);
    SegmentEditor* editor = v.view.rows()[0]->editor();
    v.view.window()->activateWindow();
    editor->setFocus();
    editor->moveCursor(QTextCursor::End);
    typeText(editor, QStringLiteral("!"));
    ASSERT_TRUE(v.view.hasUnsavedEdits());
    // Tab moves on to the next control: the row is left.
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(editor, &out);
    EXPECT_FALSE(v.view.hasUnsavedEdits());
    world.store->waitForWrites();
    EXPECT_EQ(TranscriptDocument::fromJson(readAll(world.store->fileOf(stored))).segments[0].text,
              QStringLiteral("Good morning.!"));
}

TEST(ViewTranscript, RowsWithTheSameIdentifierEachEditTheirOwnSegment) {
    // A stored document edited by hand may repeat a segment's identifier.
    ViewWorld world;
    View v(world);
    TranscriptDocument stored = ViewWorld::document(QStringLiteral("Copied"), QDateTime::currentDateTimeUtc(), 9.0);
    stored.segments[1].id = stored.segments[0].id;
    world.transcriber->open(stored);
    v.view.rows()[1]->editor()->textCursor().insertText(QStringLiteral("New: "));
    EXPECT_EQ(world.transcriber->segments()[0].text, stored.segments[0].text);
    EXPECT_EQ(world.transcriber->segments()[1].text, QStringLiteral("New: ") + stored.segments[1].text);
}

TEST(ViewTranscript, CopyTextPutsThePlainTextOnTheClipboard) {
    ViewWorld world;
    View v(world);
    ASSERT_TRUE(world.transcribe(QStringLiteral("talk.wav"), threeSegments()));
    QGuiApplication::clipboard()->setText(QStringLiteral("something older"));
    click(v.view.copyButton());
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              QStringLiteral("Good morning everyone.\n\nLet's start with the numbers.\n\nAny questions?\n"));
}

TEST(ViewTranscript, SaveAsOffersTheFourFormatsAndWritesTheChosenOne) {
    ViewWorld world;
    View v(world);
    ASSERT_TRUE(world.transcribe(QStringLiteral("Meeting 10:05.wav"), threeSegments()));
    const QList<QAction*> items = v.view.saveAsMenu()->actions();
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0]->text(), QStringLiteral("Plain text (.txt)"));
    EXPECT_EQ(items[1]->text(), QStringLiteral("Subtitles (.srt)"));
    EXPECT_EQ(items[2]->text(), QStringLiteral("Web subtitles (.vtt)"));
    EXPECT_EQ(items[3]->text(), QStringLiteral("Markdown (.md)"));
    EXPECT_GE(v.view.saveAsButton()->width(), 100);

    const QString destination = QString::fromStdString((world.dir / "meeting.srt").string());
    world.saveDestination = destination;
    items[1]->trigger();
    ASSERT_EQ(world.saveProposals.size(), 1u);
    EXPECT_EQ(world.saveProposals[0], QStringLiteral("Meeting 10-05.srt"));
    EXPECT_EQ(QString::fromUtf8(readAll(destination)),
              Exporter::render(world.transcriber->segments(), QStringLiteral("Meeting 10:05"), ExportFormat::srt));
    EXPECT_TRUE(
        QString::fromUtf8(readAll(destination)).startsWith(QStringLiteral("1\n00:00:00,000 --> 00:00:04,200\n")));
}

TEST(ViewTranscript, AnotherTranscriptReplacesTheRowsAndStartsAtItsTop) {
    ViewWorld world;
    View v(world);
    std::vector<std::tuple<double, double, QString>> many;
    for (int i = 0; i < 60; ++i) many.emplace_back(i * 2.0, i * 2.0 + 2, QStringLiteral("Sentence %1.").arg(i));
    const auto longDocument = [&many](const char* title) {
        return ViewWorld::document(QString::fromUtf8(title), QDateTime::currentDateTimeUtc(), 120, false,
                                   ViewWorld::segments(many));
    };
    world.transcriber->open(longDocument("First long"));
    settle();
    QScrollBar* bar = v.view.list()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    bar->setValue(bar->maximum());
    world.transcriber->open(longDocument("Second long"));
    settle();
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(v.view.rows().size(), 60u);

    ASSERT_TRUE(world.transcribe(QStringLiteral("second.wav"), {{0, 1, QStringLiteral("Only one.")}}));
    settle();
    ASSERT_EQ(v.view.rows().size(), 1u);
    EXPECT_EQ(v.view.rows()[0]->editor()->text(), QStringLiteral("Only one."));
    EXPECT_EQ(v.view.list()->widget()->findChildren<SegmentRow*>().size(), 1) << "old rows are gone";
    EXPECT_EQ(v.view.titleLabel()->text(), QStringLiteral("second"));
}

}  // namespace
}  // namespace norvel::test
