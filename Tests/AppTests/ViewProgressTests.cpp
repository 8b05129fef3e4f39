// The progress panel through every phase of a real run, and its preview text.
#include "App/Model/Fmt.h"
#include "App/Texts.h"
#include "App/Views/ElidedLabel.h"
#include "App/Views/IssueBanner.h"
#include "App/Views/ProgressPanel.h"
#include "AppTestSupport.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace norvel::test {
namespace {

using Phase = Transcriber::Phase;

TEST(ViewProgressPanel, FollowsEveryPhaseOfARunUntilItIsCancelled) {
    ViewWorld world;
    Host host;
    ProgressPanel& panel = *host.add(std::make_unique<ProgressPanel>(*world.transcriber, *world.models));
    IssueBanner& banners = *host.add(std::make_unique<IssueBanner>(*world.transcriber, *world.store, *world.player,
                                                                   *world.recorder, world.desktop()));
    EXPECT_TRUE(panel.isHidden()) << "nothing while idle";

    for (Gate* gate : {&world.prepareGate, &world.downloadGate, &world.session->loadGate, &world.session->runGate}) {
        gate->close();
    }
    world.downloadReports = {{0.427, 3.2e6}};
    world.downloadBytes = {{64'600'000, 151'100'000}};
    world.session->reports = {{0.25, QStringLiteral("So the first thing to know is")}};
    world.transcriber->start(world.inputFile(QStringLiteral("talk.mp3")), false);

    // Preparing: the conversion's progress and the elapsed time.
    EXPECT_FALSE(panel.isHidden());
    EXPECT_EQ(panel.titleLabel()->text(), QStringLiteral("Preparing audio…"));
    ASSERT_TRUE(waitUntil([&] { return panel.progressBar()->value() == 400; }));
    EXPECT_EQ(panel.progressBar()->maximum(), ProgressPanel::barSteps);
    EXPECT_EQ(panel.infoLabel()->text(), Texts::elapsed(Fmt::clock(world.transcriber->elapsed())));
    EXPECT_TRUE(panel.infoLabel()->text().startsWith(QStringLiteral("Elapsed 0:0")));
    EXPECT_TRUE(panel.previewLabel()->isHidden());
    EXPECT_FALSE(panel.cancelButton()->isHidden());

    // Downloading the model: its name and size, its progress, the whole percent, the bytes the
    // transfer really takes and the rate.
    world.prepareGate.open();
    ASSERT_TRUE(waitUntil([&] { return world.models->transferredBytes().has_value(); }));
    EXPECT_EQ(world.transcriber->phase(), Phase::downloading);
    EXPECT_EQ(panel.titleLabel()->text(), QStringLiteral("Downloading Balanced (base) (about 147 MB)…"));
    EXPECT_EQ(panel.progressBar()->value(), 427);
    EXPECT_FALSE(world.models->speedText().isEmpty());
    EXPECT_EQ(panel.infoLabel()->text(), QStringLiteral("42%  65 MB of 151 MB  ") + world.models->speedText());
    EXPECT_TRUE(panel.previewLabel()->isHidden());

    // Loading: a bar without a value.
    world.downloadGate.open();
    ASSERT_TRUE(waitUntil([&] { return world.transcriber->phase() == Phase::loading; }));
    EXPECT_EQ(panel.titleLabel()->text(), QStringLiteral("Loading model…"));
    EXPECT_EQ(panel.progressBar()->maximum(), 0);
    EXPECT_TRUE(panel.infoLabel()->text().startsWith(QStringLiteral("Elapsed ")));

    // Transcribing: the session's fraction and the text being recognized.
    world.session->loadGate.open();
    ASSERT_TRUE(waitUntil([&] { return !world.transcriber->preview().isEmpty(); }));
    EXPECT_EQ(panel.titleLabel()->text(), QStringLiteral("Transcribing…"));
    EXPECT_EQ(panel.progressBar()->maximum(), ProgressPanel::barSteps);
    EXPECT_EQ(panel.progressBar()->value(), 250);
    EXPECT_FALSE(panel.previewLabel()->isHidden());
    EXPECT_EQ(panel.previewLabel()->text(), QStringLiteral("So the first thing to know is"));

    // Cancel keeps the text so far; the panel goes and the notice comes.
    click(panel.cancelButton());
    ASSERT_TRUE(world.waitIdle());
    EXPECT_TRUE(panel.isHidden());
    ASSERT_FALSE(banners.transcriberBanner()->isHidden());
    EXPECT_EQ(banners.transcriberBanner()->messageLabel()->text(),
              QStringLiteral("Transcription cancelled. The text transcribed so far was kept."));
    ASSERT_TRUE(world.transcriber->currentDocument().has_value());
    EXPECT_TRUE(world.transcriber->currentDocument()->partial);
}

TEST(ViewProgressPanel, DownloadWithoutARateShowsOnlyThePercent) {
    ViewWorld world;
    Host host;
    ProgressPanel& panel = *host.add(std::make_unique<ProgressPanel>(*world.transcriber, *world.models));
    world.downloadGate.close();
    world.downloadReports = {{0.999, std::nullopt}};
    world.transcriber->start(world.inputFile(QStringLiteral("talk.wav")), false);
    ASSERT_TRUE(waitUntil([&] { return world.models->progress() > 0.9; }));
    EXPECT_EQ(panel.infoLabel()->text(), QStringLiteral("99%  "));

    // Cancelling the download ends the run; the panel goes.
    click(panel.cancelButton());
    ASSERT_TRUE(world.waitIdle());
    EXPECT_TRUE(panel.isHidden());
    ASSERT_TRUE(world.transcriber->issue().has_value());
    EXPECT_EQ(world.transcriber->issue()->message(), QStringLiteral("The model download was cancelled."));
}

TEST(ViewProgressPanel, PreviewShowsAtMostThreeLinesEndingInAnEllipsis) {
    QFont font;
    font.setPixelSize(12);
    const QString sentence = QStringLiteral("and then the committee decided to postpone the vote until the spring ");
    QString longText;
    for (int i = 0; i < 12; ++i) longText += sentence;

    const QStringList lines = ElidedLabel::wrap(longText, font, 300, 3);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[2].endsWith(QChar(0x2026)));
    EXPECT_TRUE(longText.startsWith(lines[0]));
    for (const QString& line : lines) EXPECT_LE(QFontMetrics(font).horizontalAdvance(line), 300);

    // A short text is shown whole, and an explicit line break is kept.
    EXPECT_EQ(ElidedLabel::wrap(QStringLiteral("Hello there."), font, 300, 3),
              QStringList{QStringLiteral("Hello there.")});
    EXPECT_EQ(ElidedLabel::wrap(QStringLiteral("One\nTwo"), font, 300, 3),
              QStringList({QStringLiteral("One"), QStringLiteral("Two")}));
    // Four short lines do not fit in three: the third says there is more.
    const QStringList four = ElidedLabel::wrap(QStringLiteral("a\nb\nc\nd"), font, 300, 3);
    ASSERT_EQ(four.size(), 3);
    EXPECT_EQ(four[2], QStringLiteral("c") + QChar(0x2026));
}

}  // namespace
}  // namespace norvel::test
