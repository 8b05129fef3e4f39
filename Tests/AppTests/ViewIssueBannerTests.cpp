// The issue banners: one per service with an issue, the look of a notice against a problem,
// their actions, and the shared "Show Details" disclosure.
#include "App/Views/IssueBanner.h"
#include "App/Views/Style.h"
#include "App/Views/Symbols.h"
#include "AppTestSupport.h"
#include "Murmex/Model/WhisperError.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>

#include <stdexcept>

namespace norvel::test {
namespace {

struct Banners {
    Host host;
    IssueBanner& view;
    explicit Banners(ViewWorld& world)
        : view(*host.add(std::make_unique<IssueBanner>(*world.transcriber, *world.store, *world.player, *world.recorder,
                                                       world.desktop()))) {}
};

// Publishes a transcriber issue the way a user meets it: an unsupported file.
void refuseFile(ViewWorld& world) { world.transcriber->start(world.inputFile(QStringLiteral("notes.txt")), false); }

// Publishes a recorder issue: the microphone is turned off for the application.
void denyMicrophone(ViewWorld& world) {
    world.access->status_ = MicrophonePermission::denied;
    world.recorder->start();
}

TEST(ViewIssueBanner, ShowsNothingWithoutIssuesAndOneBannerPerServiceTranscriberFirst) {
    ViewWorld world;
    Banners banners(world);
    EXPECT_TRUE(banners.view.isHidden());

    denyMicrophone(world);
    refuseFile(world);
    settle();
    Banner* upper = banners.view.transcriberBanner();
    Banner* lower = banners.view.recorderBanner();
    ASSERT_FALSE(upper->isHidden());
    ASSERT_FALSE(lower->isHidden());
    EXPECT_LT(upper->y(), lower->y());
    EXPECT_EQ(upper->messageLabel()->text(),
              QStringLiteral("This file type is not supported. Use mp3, m4a, wav, aac, mp4, mov or m4v."));
    EXPECT_EQ(lower->messageLabel()->text(), world.recorder->issue()->message());

    // Dismissing the upper one leaves the recorder's.
    click(upper->dismissButton());
    EXPECT_FALSE(world.transcriber->issue().has_value());
    EXPECT_TRUE(upper->isHidden());
    EXPECT_FALSE(lower->isHidden());
    click(lower->dismissButton());
    EXPECT_FALSE(world.recorder->issue().has_value());
    EXPECT_TRUE(banners.view.isHidden());
}

TEST(ViewIssueBanner, TheHistoryAndThePlayerSayWhatWentWrongInBannersOfTheirOwn) {
    ViewWorld world;
    Banners banners(world);
    ASSERT_TRUE(world.transcribe(QStringLiteral("talk.wav"), {{0, 2, QStringLiteral("Hello.")}}));

    *world.noSoundDevice = true;
    world.player->play(0);
    world.noFileManager = true;
    world.store->revealFolder();
    denyMicrophone(world);
    settle();
    Banner* recorder = banners.view.recorderBanner();
    Banner* history = banners.view.storeBanner();
    Banner* player = banners.view.playerBanner();
    ASSERT_FALSE(history->isHidden());
    ASSERT_FALSE(player->isHidden());
    EXPECT_LT(recorder->y(), history->y());
    EXPECT_LT(history->y(), player->y());
    EXPECT_EQ(history->messageLabel()->text(),
              QStringLiteral("No file manager could be opened to show ") + world.historyFolder +
                  QStringLiteral(". Install a file manager, or open that folder yourself."));
    EXPECT_EQ(player->messageLabel()->text(),
              QStringLiteral("The audio cannot be played because no sound output device was found. Connect or turn "
                             "on speakers or headphones, check the system's sound settings, then press Play again."));
    EXPECT_FALSE(player->detailsToggle()->isHidden());

    click(history->dismissButton());
    EXPECT_FALSE(world.store->issue().has_value());
    EXPECT_TRUE(history->isHidden());
    // With a device, playing works and its banner goes by itself.
    *world.noSoundDevice = false;
    world.player->play(0);
    EXPECT_TRUE(player->isHidden());
    click(recorder->dismissButton());
    EXPECT_TRUE(banners.view.isHidden());
}

TEST(ViewIssueBanner, ACancellationIsABlueNoticeAndAProblemAnOrangeWarning) {
    struct Case {
        const char* name;
        std::function<void(ViewWorld&)> cause;
        QColor tint;
        Symbol symbol;
        bool details;
    };
    const Case cases[] = {
        {"cancelled while preparing",
         [](ViewWorld& w) {
             w.prepareGate.close();
             w.transcriber->start(w.inputFile(QStringLiteral("talk.wav")), false);
             w.transcriber->cancel();
         },
         Style::blue(), Symbol::infoCircleFill, false},
        {"unsupported file", refuseFile, Style::orange(), Symbol::warningTriangleFill, true},
        {"no speech",
         [](ViewWorld& w) {
             w.transcribe(QStringLiteral("silence.wav"), {{0, 1, QStringLiteral("  ")}});
         },
         Style::orange(), Symbol::warningTriangleFill, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewWorld world;
        Banners banners(world);
        c.cause(world);
        ASSERT_TRUE(world.waitIdle());
        Banner* banner = banners.view.transcriberBanner();
        ASSERT_FALSE(banner->isHidden());
        EXPECT_EQ(banner->fillColor().rgb(), c.tint.rgb());
        EXPECT_NEAR(banner->fillColor().alphaF(), 0.12, 0.01);
        // The information or warning symbol, in the banner's colour.
        const QPixmap shown = banner->symbolLabel()->pixmap();
        EXPECT_EQ(shown.toImage(), symbolPixmap(c.symbol, c.tint, int(shown.width() / shown.devicePixelRatio()),
                                                shown.devicePixelRatio())
                                       .toImage());
        EXPECT_EQ(!banner->detailsToggle()->isHidden(), c.details);
        EXPECT_TRUE(banner->downloadAgainButton()->isHidden());
        EXPECT_TRUE(banner->settingsButton()->isHidden());
    }
}

TEST(ViewIssueBanner, DownloadAgainAfterADamagedModelStartsTheLastInputAfresh) {
    ViewWorld world;
    Banners banners(world);
    world.session->loadError = std::make_exception_ptr(murmex::WhisperError::modelsUnavailable());
    ASSERT_TRUE(world.transcribe(QStringLiteral("talk.wav"), {{0, 2, QStringLiteral("Hello.")}}));
    ASSERT_TRUE(world.transcriber->issue().has_value());
    ASSERT_EQ(world.transcriber->issue()->kind(), NorvelError::Kind::corruptModel);
    EXPECT_FALSE(world.models->isDownloaded(ModelChoice::balanced)) << "the damaged model was deleted";

    Banner* banner = banners.view.transcriberBanner();
    ASSERT_FALSE(banner->downloadAgainButton()->isHidden());
    EXPECT_TRUE(
        banner->messageLabel()->text().startsWith(QStringLiteral("The Balanced (base) model could not be loaded.")));

    world.downloadGate.close();
    click(banner->downloadAgainButton());
    EXPECT_TRUE(banner->isHidden());
    ASSERT_TRUE(waitUntil([&] { return world.models->downloading().has_value(); }));
    EXPECT_EQ(world.transcriber->sourceName(), QStringLiteral("talk"));
    world.downloadGate.open();
    ASSERT_TRUE(world.waitIdle());
    EXPECT_FALSE(world.transcriber->issue().has_value());
    ASSERT_EQ(world.transcriber->segments().size(), 1u);
    EXPECT_EQ(world.transcriber->segments()[0].text, QStringLiteral("Hello."));
}

TEST(ViewIssueBanner, RecorderIssueOffersTheSettingsPageWhereThereIsOne) {
    for (const bool page : {false, true}) {
        SCOPED_TRACE(page ? "with a settings page" : "without a settings page");
        ViewWorld world;
        if (page) world.microphoneSettings = QUrl(QStringLiteral("settings://privacy/microphone"));
        Banners banners(world);
        denyMicrophone(world);
        ASSERT_TRUE(world.recorder->issueNeedsSettings());
        Banner* banner = banners.view.recorderBanner();
        EXPECT_EQ(!banner->settingsButton()->isHidden(), page);
        if (page) {
            click(banner->settingsButton());
            ASSERT_EQ(world.openedUrls.size(), 1u);
            EXPECT_EQ(world.openedUrls[0], world.microphoneSettings);
        }
        click(banner->dismissButton());
        EXPECT_FALSE(world.recorder->issue().has_value());
        EXPECT_FALSE(world.recorder->issueNeedsSettings());
    }
}

TEST(ViewIssueBanner, ShowDetailsIsSharedByBothBannersAndOutlivesTheIssue) {
    ViewWorld world;
    Banners banners(world);
    refuseFile(world);
    denyMicrophone(world);
    Banner* upper = banners.view.transcriberBanner();
    Banner* lower = banners.view.recorderBanner();
    EXPECT_TRUE(upper->detailsArea()->isHidden());
    EXPECT_TRUE(lower->detailsArea()->isHidden());

    click(upper->detailsToggle());
    EXPECT_TRUE(banners.view.showDetails());
    for (Banner* banner : {upper, lower}) {
        EXPECT_FALSE(banner->detailsArea()->isHidden());
        EXPECT_LE(banner->detailsArea()->height(), Banner::maxDetailsHeight);
    }
    EXPECT_EQ(upper->detailsLabel()->text(), QStringLiteral("File extension: txt"));
    EXPECT_TRUE(upper->detailsLabel()->textInteractionFlags() & Qt::TextSelectableByMouse);

    // The next issue comes with its details open.
    click(upper->dismissButton());
    world.transcriber->start(world.inputFile(QStringLiteral("slides.pdf")), false);
    EXPECT_FALSE(upper->detailsArea()->isHidden());
    EXPECT_EQ(upper->detailsLabel()->text(), QStringLiteral("File extension: pdf"));

    // Folding on the lower banner folds both.
    click(lower->detailsToggle());
    EXPECT_FALSE(banners.view.showDetails());
    EXPECT_TRUE(upper->detailsArea()->isHidden());
    EXPECT_TRUE(lower->detailsArea()->isHidden());
}

TEST(ViewIssueBanner, LongDetailsScrollWithinTheirLimitAndLongMessagesWrap) {
    ViewWorld world;
    Banners banners(world);
    QString details;
    for (int i = 0; i < 40; ++i) details += QStringLiteral("frame %1: decoder step failed\n").arg(i);
    world.session->loadError = std::make_exception_ptr(std::runtime_error(details.toStdString()));
    ASSERT_TRUE(world.transcribe(QStringLiteral("talk.wav"), {}));
    Banner* banner = banners.view.transcriberBanner();
    ASSERT_FALSE(banner->detailsToggle()->isHidden());
    click(banner->detailsToggle());
    settle();
    EXPECT_EQ(banner->detailsArea()->height(), Banner::maxDetailsHeight);
    EXPECT_TRUE(banner->detailsLabel()->text().contains(QStringLiteral("frame 39")));
    EXPECT_TRUE(banner->messageLabel()->wordWrap());
    EXPECT_TRUE(banner->messageLabel()->text().startsWith(QStringLiteral("Something went wrong: ")));
}

}  // namespace
}  // namespace norvel::test
