// The whole application without a window: start-up builds the services over the data folder,
// and the transcriber takes a real file through audio preparation, a generated model and the
// speech library to a stored transcript, a cancel, or a damaged model's deletion.
#include "App/AppEnvironment.h"
#include "App/Model/AppPaths.h"
#include "App/Views/ContentView.h"
#include "App/Views/SegmentRow.h"
#include "App/Views/TranscriptView.h"
#include "AppTestSupport.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"
#include "Support/HubServer.h"
#include "Support/ScopedEnvironment.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextCursor>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace norvel {
namespace {

namespace fs = std::filesystem;
using Phase = Transcriber::Phase;

TEST(StartUp, BuildsTheServicesOverTheDataFolder) {
    const fs::path root = AppPaths::root().toStdString();
    fs::remove_all(root);
    test::makeModelFiles(root / "Models/models/zodavaruz/murmex-coreml/openai_whisper-tiny");

    AppEnvironment environment;
    EXPECT_TRUE(QFileInfo(AppPaths::models()).isDir());
    EXPECT_TRUE(QFileInfo(AppPaths::history()).isDir());
    EXPECT_TRUE(environment.store().items().empty());
    EXPECT_EQ(environment.models().downloaded(), std::set<ModelChoice>{ModelChoice::fast});
    EXPECT_EQ(environment.transcriber().phase(), Phase::idle);
    EXPECT_EQ(environment.transcriber().modelChoice(), ModelChoice::balanced);
    EXPECT_FALSE(environment.player().hasAudio());
    EXPECT_FALSE(environment.recorder().isRecording());

    ContentView window(environment.viewServices());
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Norvel"));
    EXPECT_GE(window.minimumWidth(), 940);
    EXPECT_GE(window.minimumHeight(), 680);
    fs::remove_all(root);
}

// Nothing is asked of the network at start-up, with every model on disk or none: the hub
// (here a server on 127.0.0.1 that records what it is sent) hears from the app only when a
// model is downloaded.
TEST(StartUp, SendsNothingToTheHub) {
    test::HubServer hub;
    test::ScopedEnvironment endpoint("HF_ENDPOINT", hub.endpoint());
    const fs::path root = AppPaths::root().toStdString();
    for (const bool installed : {false, true}) {
        SCOPED_TRACE(installed ? "every model on disk" : "no model on disk");
        fs::remove_all(root);
        if (installed) {
            for (const ModelChoice choice : allModelChoices) {
                test::makeModelFiles(root / "Models/models/zodavaruz/murmex-coreml" /
                                     variantFolder(choice).toStdString());
            }
        }
        AppEnvironment environment;
        ContentView window(environment.viewServices());
        window.show();
        EXPECT_EQ(environment.models().downloaded().size(), installed ? allModelChoices.size() : 0u);
        // Long enough for requests sent in the background to arrive.
        test::waitUntil([&] { return !hub.requests().empty(); }, 1500);
        EXPECT_TRUE(hub.requests().empty()) << hub.requests().front().target;
    }
    fs::remove_all(root);
}

TEST(StartUp, QuittingRightAfterAKeyKeepsTheEdit) {
    const fs::path root = AppPaths::root().toStdString();
    fs::remove_all(root);
    {
        AppEnvironment environment;
        TranscriptDocument document;
        document.id = QUuid::createUuid();
        document.title = QStringLiteral("Notes");
        document.date = currentDateWholeSeconds();
        document.modelName = QStringLiteral("Fast (tiny)");
        document.language = QStringLiteral("en");
        document.duration = 4;
        document.segments = {{QUuid::createUuid(), 0, 4, QStringLiteral("Almost done")}};
        environment.store().save(document);
        ContentView window(environment.viewServices());
        window.show();
        environment.transcriber().open(document);
        SegmentEditor* editor = window.transcriptView()->rows().at(0)->editor();
        editor->moveCursor(QTextCursor::End);
        test::typeText(editor, QStringLiteral("!"));
        ASSERT_TRUE(window.transcriptView()->hasUnsavedEdits()) << "typing has not paused yet";

        environment.shutDown();  // as the application does when it quits
        const TranscriptDocument stored =
            TranscriptDocument::fromJson(test::readAll(environment.store().fileOf(document)));
        EXPECT_EQ(stored.segments.at(0).text, QStringLiteral("Almost done!"));
    }
    fs::remove_all(root);
}

TEST(StartUp, TemporaryFilesLiveInAFolderOfTheProcessThatGoesWithIt) {
    const QString parent = AppPaths::temporaryFoldersParent();
    EXPECT_TRUE(
        parent.startsWith(QString::fromLocal8Bit(qgetenv("XDG_CACHE_HOME")) + QStringLiteral("/Norvel/Temporary/")))
        << parent.toStdString();
    const QString own = AppPaths::temporaryFolder();
    EXPECT_EQ(QFileInfo(own).fileName(), AppPaths::processFolderName());
    EXPECT_EQ(QFileInfo(own).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    EXPECT_TRUE(AppPaths::isLiveProcessFolder(AppPaths::processFolderName()));
    // The same number with another start time is a later process that was given it.
    EXPECT_FALSE(AppPaths::isLiveProcessFolder(QString::number(::getpid()) + QStringLiteral("-1")));

    // A process that has ended, its number not taken again yet.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const QString dead = QString::number(child) + QStringLiteral("-4242");
    EXPECT_FALSE(AppPaths::isLiveProcessFolder(dead));

    const auto make = [&](const QString& name) {
        QDir().mkpath(QDir(parent).filePath(name));
        QFile file(QDir(parent).filePath(name + QStringLiteral("/Norvel-1.wav")));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        return QDir(parent).filePath(name);
    };
    const QString stale = make(dead);
    const QString foreign = make(QStringLiteral("notes"));
    const QString target = make(QStringLiteral("not ours"));
    const QString link = QDir(parent).filePath(QString::number(child) + QStringLiteral("-7"));
    ASSERT_TRUE(QFile::link(target, link));

    AppPaths::removeStaleTemporaryFolders();
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_TRUE(QFileInfo::exists(own));
    EXPECT_TRUE(QFileInfo::exists(foreign)) << "only folders the application names are touched";
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(target + QStringLiteral("/Norvel-1.wav"))) << "a link is never followed";

    QFile(QDir(own).filePath(QStringLiteral("Norvel-2.wav"))).open(QIODevice::WriteOnly);
    AppPaths::removeTemporaryFolder();
    EXPECT_FALSE(QFileInfo::exists(own));
    QDir(foreign).removeRecursively();
    QDir(target).removeRecursively();
}

TEST(StartUp, TheApplicationCleansUpAfterItselfAndAfterProcessesThatAreGone) {
    test::TemporaryDirectory home;
    const QString root = QString::fromStdString(home.path().string());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/cache"));
    const QString parent =
        QString(AppPaths::temporaryFoldersParent())
            .replace(QString::fromLocal8Bit(qgetenv("XDG_CACHE_HOME")), root + QStringLiteral("/cache"));
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    const QString stale = QDir(parent).filePath(QString::number(child) + QStringLiteral("-99"));
    QDir().mkpath(stale);
    QFile(stale + QStringLiteral("/Norvel-left-behind.wav")).open(QIODevice::WriteOnly);

    QProcess app;
    app.setProcessEnvironment(environment);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app.start(QString::fromUtf8(NORVEL_BIN_DIR) + QStringLiteral("/Norvel"), {});
    ASSERT_TRUE(app.waitForStarted(20000));
    // Up and running: the folder of the dead process is gone and the application's own is there.
    const auto ownFolders = [&] { return QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot); };
    EXPECT_TRUE(test::waitUntil([&] { return !QFileInfo::exists(stale) && ownFolders().size() == 1; }, 60000))
        << ownFolders().join(QStringLiteral(", ")).toStdString();
    const QStringList running = ownFolders();
    ASSERT_EQ(running.size(), 1);
    EXPECT_TRUE(running.front().startsWith(QString::number(app.processId()) + QStringLiteral("-")));

    app.terminate();  // as at log-out
    ASSERT_TRUE(app.waitForFinished(60000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_TRUE(ownFolders().isEmpty());
}

class EndToEndTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        shared_ = new test::TemporaryDirectory();
        test::generateModelFolder(shared_->path() / "model");
        ASSERT_TRUE(test::runFfmpeg({"-i", test::fixture("audio/jfk.flac").string(), "-c:a", "libmp3lame",
                                     (shared_->path() / "jfk.mp3").string()}));
    }
    static void TearDownTestSuite() { delete shared_; }

    EndToEndTest() {
        fs::create_directories(modelFolder());
        fs::copy(shared_->path() / "model", modelFolder(), fs::copy_options::recursive);
        models_ =
            std::make_unique<ModelStore>(path("Models"),
                                         [](const QString&, const QString&, const WhisperSession::DownloadProgress&,
                                            std::stop_token) -> QString { throw std::runtime_error("offline test"); });
        store_ = std::make_unique<TranscriptStore>(path("History"), [](const QString&, bool) {});
        player_ = std::make_unique<AudioPlayerController>(
            [](const QString&) -> std::unique_ptr<AudioOutput> { return std::make_unique<test::SilentOutput>(11); });
        const QString temporary = path("");
        transcriber_ = std::make_unique<Transcriber>(
            *models_, *store_, *player_, std::make_shared<WhisperSession>(),
            [temporary](const QString& input, const AudioPrep::Progress& progress, std::stop_token stop) {
                return AudioPrep::prepare(input, progress, std::move(stop), temporary);
            });
        QObject::connect(transcriber_.get(), &Transcriber::phaseChanged,
                         [this] { phases_.push_back(transcriber_->phase()); });
    }

    fs::path modelFolder() const { return dir_.path() / "Models/models/zodavaruz/murmex-coreml/openai_whisper-base"; }
    QString path(const char* name) const { return QString::fromStdString((dir_.path() / name).string()); }
    static QString input() { return QString::fromStdString((shared_->path() / "jfk.mp3").string()); }
    QStringList preparedFiles() const {
        return QDir(path("")).entryList({QStringLiteral("Norvel-*.wav")}, QDir::Files);
    }
    bool waitIdle() {
        return test::waitUntil([this] { return transcriber_->phase() == Phase::idle; }, 120000);
    }

    static test::TemporaryDirectory* shared_;
    test::TemporaryDirectory dir_;
    std::unique_ptr<ModelStore> models_;
    std::unique_ptr<TranscriptStore> store_;
    std::unique_ptr<AudioPlayerController> player_;
    std::unique_ptr<Transcriber> transcriber_;
    std::vector<Phase> phases_;
};

test::TemporaryDirectory* EndToEndTest::shared_ = nullptr;

TEST_F(EndToEndTest, ASpeechFileBecomesAStoredTranscript) {
    ASSERT_TRUE(models_->isDownloaded(ModelChoice::balanced));
    transcriber_->setLanguage(LanguageOption::all()[1]);
    transcriber_->start(input(), false);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(phases_, (std::vector<Phase>{Phase::preparing, Phase::downloading, Phase::loading, Phase::transcribing,
                                           Phase::idle}));
    // Random weights may or may not produce text; either way the run ends cleanly.
    if (transcriber_->currentDocument()) {
        EXPECT_FALSE(transcriber_->issue().has_value()) << transcriber_->issue()->message().toStdString();
        const TranscriptDocument& document = *transcriber_->currentDocument();
        EXPECT_EQ(document.title, QStringLiteral("jfk"));
        EXPECT_EQ(document.modelName, QStringLiteral("Balanced (base)"));
        EXPECT_EQ(document.language, QStringLiteral("en"));
        EXPECT_NEAR(document.duration, 11.0, 0.1);
        EXPECT_FALSE(document.partial);
        EXPECT_EQ(transcriber_->progress(), 1.0);
        for (const auto& segment : document.segments) {
            EXPECT_EQ(segment.text, segment.text.trimmed());
            EXPECT_FALSE(segment.text.isEmpty());
        }
        EXPECT_EQ(store_->items().size(), 1u);
        EXPECT_EQ(preparedFiles().size(), 1);  // with the player
        EXPECT_TRUE(player_->hasAudio());
    } else {
        ASSERT_TRUE(transcriber_->issue().has_value());
        EXPECT_EQ(transcriber_->issue()->message(), QStringLiteral("No speech was found in this file."));
        EXPECT_TRUE(preparedFiles().isEmpty());
    }
}

TEST_F(EndToEndTest, CancellingWhileTranscribingStopsTheLibrary) {
    transcriber_->start(input(), false);
    ASSERT_TRUE(test::waitUntil(
        [&] { return transcriber_->phase() == Phase::transcribing && transcriber_->progress() > 0; }, 120000));
    transcriber_->cancel();
    ASSERT_TRUE(waitIdle());
    ASSERT_TRUE(transcriber_->issue().has_value());
    EXPECT_EQ(transcriber_->issue()->kind(), NorvelError::Kind::cancelled);
    if (transcriber_->currentDocument()) {
        EXPECT_TRUE(transcriber_->currentDocument()->partial);
        EXPECT_EQ(transcriber_->issue()->message(),
                  QStringLiteral("Transcription cancelled. The text transcribed so far was kept."));
    } else {
        EXPECT_EQ(transcriber_->issue()->message(),
                  QStringLiteral("Transcription cancelled before any text was ready."));
        EXPECT_TRUE(preparedFiles().isEmpty());
    }
}

TEST_F(EndToEndTest, ADamagedModelIsDeletedAndReported) {
    // An interrupted copy: the decoder's weights end half-way, though every file is there.
    const fs::path weights = modelFolder() / "TextDecoder.mlmodelc/weights.safetensors";
    fs::resize_file(weights, fs::file_size(weights) / 2);
    ASSERT_TRUE(models_->isDownloaded(ModelChoice::balanced));
    transcriber_->start(input(), false);
    ASSERT_TRUE(waitIdle());
    ASSERT_TRUE(transcriber_->issue().has_value());
    EXPECT_EQ(transcriber_->issue()->kind(), NorvelError::Kind::corruptModel);
    EXPECT_FALSE(transcriber_->issue()->details().isEmpty());
    EXPECT_FALSE(fs::exists(modelFolder()));
    EXPECT_FALSE(models_->isDownloaded(ModelChoice::balanced));
    EXPECT_TRUE(preparedFiles().isEmpty());
}

}  // namespace
}  // namespace norvel
