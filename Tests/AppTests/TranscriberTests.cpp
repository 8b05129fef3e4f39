// The transcriber's workflow driven with a scripted speech session and audio preparation:
// phases, settings read at the right moment, progress, cancelling in every phase, errors
// turned into issues, and what becomes of the prepared and recorded files.
#include "App/Services/AudioPlayerController.h"
#include "App/Services/ModelStore.h"
#include "App/Services/Recorder.h"
#include "App/Services/Transcriber.h"
#include "App/Services/TranscriptStore.h"
#include "AppTestSupport.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "Murmex/Model/MurmexConfig.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/ML/MLError.h"
#include "Support/Fixtures.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace norvel {
namespace {

namespace fs = std::filesystem;

// Lets a worker wait until the test opens it (or the worker's stop token fires).
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    // Waits until opened; false when stopped first.
    bool pass(std::stop_token stop = {}) {
        std::unique_lock lock(mutex_);
        reached_ = true;
        changed_.notify_all();
        return changed_.wait(lock, stop, [this] { return open_; });
    }
    bool reached() {
        std::lock_guard lock(mutex_);
        return reached_;
    }
    bool isOpen() {
        std::lock_guard lock(mutex_);
        return open_;
    }
    void arrive() {
        std::lock_guard lock(mutex_);
        reached_ = true;
    }

private:
    std::mutex mutex_;
    std::condition_variable_any changed_;
    bool open_ = false;
    bool reached_ = false;
};

class ScriptedSession : public SpeechSession {
public:
    void load(const QString& modelFolder, const QString& tokenizerBase) override {
        {
            std::lock_guard lock(mutex);
            loads.push_back(modelFolder);
            this->tokenizerBase = tokenizerBase;
        }
        if (loadGate) loadGate->pass();
        if (loadFailure) std::rethrow_exception(loadFailure);
    }

    EngineOutput run(const QString& audio, const std::optional<QString>& language, bool translate, double duration,
                     const ProgressCallback& onProgress, const std::shared_ptr<CancelFlag>& cancel) override {
        {
            std::lock_guard lock(mutex);
            runs.push_back({audio, language, translate, duration});
        }
        onProgress(0.3, QStringLiteral("partial text"));
        if (runGate) {
            // Decoding goes on until the gate opens or the user's flag stops it.
            runGate->arrive();
            while (!cancel->value() && !runGate->isOpen()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (runFailure) std::rethrow_exception(runFailure);
        EngineOutput result = output;
        result.cancelled = cancel->value();
        return result;
    }

    struct RunCall {
        QString audio;
        std::optional<QString> language;
        bool translate;
        double duration;
    };

    std::mutex mutex;
    std::vector<QString> loads;
    QString tokenizerBase;
    std::vector<RunCall> runs;
    std::exception_ptr loadFailure;
    std::exception_ptr runFailure;
    std::shared_ptr<Gate> loadGate;
    std::shared_ptr<Gate> runGate;
    EngineOutput output{
        {{0, 2, QStringLiteral("  Hello  ")}, {2, 3, QStringLiteral("   ")}, {3, 5, QStringLiteral("world\n")}},
        false,
        QStringLiteral("en")};
};

class TranscriberTest : public ::testing::Test {
protected:
    TranscriberTest() {
        test::makeModelFiles(dir_.path() / "Models/x/openai_whisper-base");
        test::makeModelFiles(dir_.path() / "Models/x/openai_whisper-tiny");
        models_ = std::make_unique<ModelStore>(
            path("Models"),
            [this](const QString&, const QString&, const WhisperSession::DownloadProgress& progress,
                   std::stop_token stop) -> QString {
                ++downloads_;
                progress(0.5, std::nullopt);
                if (downloadGate_ && !downloadGate_->pass(stop)) throw halvex::CancellationError();
                throw std::runtime_error("no repository here");
            });
        store_ = std::make_unique<TranscriptStore>(path("History"), [](const QString&, bool) {});
        player_ = std::make_unique<AudioPlayerController>([](const QString& file) -> std::unique_ptr<AudioOutput> {
            if (!QFileInfo::exists(file)) return nullptr;
            return std::make_unique<test::SilentOutput>(5);
        });
        session_ = std::make_shared<ScriptedSession>();
        transcriber_ =
            std::make_unique<Transcriber>(*models_, *store_, *player_, session_,
                                          [this](const QString& input, const AudioPrep::Progress& progress,
                                                 std::stop_token stop) { return prepare(input, progress, stop); });
        QObject::connect(transcriber_.get(), &Transcriber::phaseChanged,
                         [this] { phases_.push_back(transcriber_->phase()); });
    }

    QString path(const char* name) const { return QString::fromStdString((dir_.path() / name).string()); }

    PreparedAudio prepare(const QString& input, const AudioPrep::Progress& progress, std::stop_token stop) {
        progress(0.5);
        if (prepareGate_ && !prepareGate_->pass(stop)) throw halvex::CancellationError();
        if (prepareFailure_) std::rethrow_exception(prepareFailure_);
        const QString wav = QDir(path("")).filePath(QStringLiteral("Norvel-%1.wav").arg(++prepared_));
        QFile file(wav);
        file.open(QIODevice::WriteOnly);
        file.write(AudioPrep::wavHeader(32000) + QByteArray(32000, '\0'));
        lastInput_ = input;
        lastWav_ = wav;
        return {wav, preparedDuration_};
    }

    // An input file that exists, as a dropped file or a recording would.
    QString input(const char* name) const {
        const QString file = path(name);
        QFile(file).open(QIODevice::WriteOnly);
        return file;
    }

    bool waitIdle() {
        return test::waitUntil([this] { return transcriber_->phase() == Transcriber::Phase::idle; });
    }
    bool waitPhase(Transcriber::Phase phase) {
        return test::waitUntil([&] { return transcriber_->phase() == phase; });
    }
    NorvelError issue() const {
        return transcriber_->issue().value_or(NorvelError(NorvelError::Kind::general, QStringLiteral("(no issue)")));
    }

    test::TemporaryDirectory dir_;
    std::unique_ptr<ModelStore> models_;
    std::unique_ptr<TranscriptStore> store_;
    std::unique_ptr<AudioPlayerController> player_;
    std::shared_ptr<ScriptedSession> session_;
    std::unique_ptr<Transcriber> transcriber_;
    std::vector<Transcriber::Phase> phases_;
    std::shared_ptr<Gate> prepareGate_;
    std::shared_ptr<Gate> downloadGate_;
    std::exception_ptr prepareFailure_;
    int prepared_ = 0;
    double preparedDuration_ = 7.5;
    std::atomic<int> downloads_{0};
    QString lastInput_;
    QString lastWav_;
};

using Phase = Transcriber::Phase;

// A speech library that reports its windows the way the decoder does: windows 0 to 3 of a
// 100-second file, window 1 blank, window 2 decoded again after a fallback. In window 3 it
// decodes until the run is stopped; then, as the decoder once did, it reports a retry of the
// stopped window before it ends with the cancellation.
class WindowedLibrary : public murmex::Murmex {
public:
    using murmex::Murmex::transcribe;

    Results transcribe(const std::string&, const std::optional<murmex::AudioInputOptions>&,
                       const std::optional<murmex::DecodingOptions>&,
                       const murmex::TranscriptionProgressCallback& callback, std::stop_token stop) override {
        const auto report = [&](int window, int tokens, const char* text) {
            murmex::TranscriptionProgress progress;
            progress.windowId = window;
            progress.tokens.assign(static_cast<std::size_t>(tokens), 1);
            progress.text = text;
            return callback(progress);
        };
        report(0, 20, " first");
        report(1, 5, " ");
        report(2, 120, " mid");
        report(2, 10, " mi");  // the retry starts with fewer tokens
        report(2, 60, " middle");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!stop.stop_requested() && std::chrono::steady_clock::now() < deadline) {
            report(3, 30, " last words");
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        stopped = stop.stop_requested();
        report(3, 4, "");
        throw halvex::CancellationError();
    }

    std::atomic<bool> stopped{false};
};

TEST_F(TranscriberTest, AFileBecomesAShownPlayableAndStoredTranscript) {
    EXPECT_EQ(transcriber_->modelChoice(), ModelChoice::balanced);
    EXPECT_EQ(transcriber_->language().id(), QStringLiteral("auto"));
    transcriber_->start(input("Talk.MP3"), false);
    EXPECT_EQ(transcriber_->phase(), Phase::preparing);
    EXPECT_EQ(transcriber_->sourceName(), QStringLiteral("Talk"));
    ASSERT_TRUE(waitIdle());

    EXPECT_EQ(phases_, (std::vector<Phase>{Phase::preparing, Phase::downloading, Phase::loading, Phase::transcribing,
                                           Phase::idle}));
    EXPECT_FALSE(transcriber_->issue().has_value()) << issue().message().toStdString();
    EXPECT_EQ(transcriber_->progress(), 1.0);
    EXPECT_TRUE(transcriber_->preview().isEmpty());
    ASSERT_EQ(transcriber_->segments().size(), 2u);
    EXPECT_EQ(transcriber_->segments()[0].text, QStringLiteral("Hello"));
    EXPECT_EQ(transcriber_->segments()[1].text, QStringLiteral("world"));
    EXPECT_EQ(transcriber_->segments()[1].start, 3.0);

    ASSERT_EQ(session_->loads.size(), 1u);
    EXPECT_EQ(session_->loads[0], path("Models/x/openai_whisper-base"));
    EXPECT_EQ(session_->tokenizerBase, path("Models"));
    ASSERT_EQ(session_->runs.size(), 1u);
    EXPECT_EQ(session_->runs[0].audio, lastWav_);
    EXPECT_EQ(session_->runs[0].language, std::nullopt);
    EXPECT_EQ(session_->runs[0].duration, 7.5);

    ASSERT_TRUE(transcriber_->currentDocument().has_value());
    const TranscriptDocument& document = *transcriber_->currentDocument();
    EXPECT_EQ(document.title, QStringLiteral("Talk"));
    EXPECT_EQ(transcriber_->title(), QStringLiteral("Talk"));
    EXPECT_EQ(document.modelName, QStringLiteral("Balanced (base)"));
    EXPECT_EQ(document.language, QStringLiteral("en"));
    EXPECT_EQ(document.duration, 7.5);
    EXPECT_FALSE(document.partial);
    EXPECT_EQ(document.segments, transcriber_->segments());
    ASSERT_EQ(store_->items().size(), 1u);
    EXPECT_EQ(store_->items()[0], document);

    // The player owns the prepared file; the input file is untouched.
    EXPECT_TRUE(player_->hasAudio());
    EXPECT_EQ(player_->currentUrl(), lastWav_);
    EXPECT_TRUE(QFileInfo::exists(lastWav_));
    EXPECT_TRUE(QFileInfo::exists(path("Talk.MP3")));
}

TEST_F(TranscriberTest, UnsupportedInputsAreRefusedWithAnIssue) {
    const struct {
        const char* name;
        bool recording;
        const char* details;
    } cases[] = {
        {"notes.txt", false, "File extension: txt"},
        {"README", false, "File extension: (none)"},
        {"archive.tar.GZ", false, "File extension: gz"},
        // Refused by its extension, as the README says, although the speech library reads it.
        {"speech.flac", false, "File extension: flac"},
    };
    for (const auto& c : cases) {
        transcriber_->start(input(c.name), c.recording);
        EXPECT_EQ(transcriber_->phase(), Phase::idle) << c.name;
        EXPECT_EQ(issue().kind(), NorvelError::Kind::unsupported) << c.name;
        EXPECT_EQ(issue().message(),
                  QStringLiteral("This file type is not supported. Use mp3, m4a, wav, aac, mp4, mov or m4v."));
        EXPECT_EQ(issue().details(), QString::fromUtf8(c.details)) << c.name;
    }
    EXPECT_EQ(prepared_, 0);
    // A recording skips the test.
    transcriber_->start(input("Recording-1.caf"), true);
    EXPECT_EQ(transcriber_->phase(), Phase::preparing);
    EXPECT_FALSE(transcriber_->issue().has_value());
    ASSERT_TRUE(waitIdle());
}

TEST_F(TranscriberTest, SettingsAreReadWhenTheirPhaseBegins) {
    prepareGate_ = std::make_shared<Gate>();
    session_->runGate = std::make_shared<Gate>();
    transcriber_->setLanguage(LanguageOption::all()[3]);  // French
    transcriber_->start(input("a.wav"), false);
    // A second start and an open are ignored while a run is under way.
    transcriber_->start(input("b.wav"), false);
    TranscriptDocument stored;
    stored.title = QStringLiteral("stored");
    transcriber_->open(stored);
    EXPECT_EQ(transcriber_->sourceName(), QStringLiteral("a"));

    transcriber_->setModelChoice(ModelChoice::fast);  // while preparing: used
    prepareGate_->open();
    ASSERT_TRUE(waitPhase(Phase::transcribing));
    transcriber_->setModelChoice(ModelChoice::best);  // too late for this run
    transcriber_->setLanguage(LanguageOption::all()[1]);
    transcriber_->setTranslate(true);
    session_->runGate->open();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(session_->loads.at(0), path("Models/x/openai_whisper-tiny"));
    EXPECT_EQ(session_->runs.at(0).language, QStringLiteral("fr"));
    EXPECT_FALSE(session_->runs.at(0).translate);
    EXPECT_EQ(transcriber_->currentDocument()->modelName, QStringLiteral("Fast (tiny)"));
    ASSERT_EQ(session_->runs.size(), 1u);
    EXPECT_EQ(prepared_, 1);
}

TEST_F(TranscriberTest, ProgressFollowsThePhase) {
    session_->runGate = std::make_shared<Gate>();
    prepareGate_ = std::make_shared<Gate>();
    transcriber_->start(input("a.m4a"), false);
    ASSERT_TRUE(test::waitUntil([&] { return transcriber_->progress() == 0.5; }));  // the conversion
    prepareGate_->open();
    ASSERT_TRUE(waitPhase(Phase::transcribing));
    ASSERT_TRUE(test::waitUntil([&] { return transcriber_->progress() == 0.3; }));
    EXPECT_EQ(transcriber_->preview(), QStringLiteral("partial text"));
    session_->runGate->open();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(transcriber_->progress(), 1.0);
    EXPECT_TRUE(transcriber_->preview().isEmpty());
}

TEST_F(TranscriberTest, CancellingBeforeTranscribingEndsTheRunAndDeletesThePreparedFile) {
    // Preparing.
    prepareGate_ = std::make_shared<Gate>();
    transcriber_->start(input("a.wav"), false);
    ASSERT_TRUE(test::waitUntil([&] { return prepareGate_->reached(); }));
    transcriber_->cancel();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(issue().kind(), NorvelError::Kind::cancelled);
    EXPECT_EQ(issue().message(), QStringLiteral("Cancelled."));
    EXPECT_TRUE(issue().details().isEmpty());
    prepareGate_.reset();

    // Loading: the load goes on, then the run ends. Whatever the load then fails with, the
    // model is not blamed for the user's cancel.
    session_->loadGate = std::make_shared<Gate>();
    session_->loadFailure =
        std::make_exception_ptr(platform::MLError(platform::MLError::Code::invalidModel, "interrupted"));
    transcriber_->start(input("b.wav"), false);
    ASSERT_TRUE(waitPhase(Phase::loading));
    transcriber_->cancel();
    EXPECT_EQ(transcriber_->phase(), Phase::loading);
    session_->loadGate->open();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(issue().message(), QStringLiteral("Cancelled."));
    EXPECT_TRUE(models_->isDownloaded(ModelChoice::balanced));
    EXPECT_FALSE(QFileInfo::exists(lastWav_));
    EXPECT_TRUE(session_->runs.empty());
    EXPECT_TRUE(store_->items().empty());
}

TEST_F(TranscriberTest, CancellingTheDownloadReportsIt) {
    models_->remove(ModelChoice::balanced);
    downloadGate_ = std::make_shared<Gate>();
    transcriber_->start(input("a.wav"), false);
    ASSERT_TRUE(test::waitUntil([&] { return downloadGate_->reached(); }));
    EXPECT_EQ(transcriber_->phase(), Phase::downloading);
    EXPECT_EQ(models_->downloading(), ModelChoice::balanced);
    transcriber_->cancel();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(issue().kind(), NorvelError::Kind::cancelled);
    EXPECT_EQ(issue().message(), QStringLiteral("The model download was cancelled."));
    EXPECT_EQ(models_->downloading(), std::nullopt);
    EXPECT_FALSE(QFileInfo::exists(lastWav_));
}

TEST_F(TranscriberTest, CancellingWhileTranscribingKeepsTheTextAsAPartialTranscript) {
    session_->runGate = std::make_shared<Gate>();
    transcriber_->start(input("long.mp4"), false);
    ASSERT_TRUE(test::waitUntil(
        [&] { return transcriber_->progress() == 0.3 && transcriber_->phase() == Phase::transcribing; }));
    transcriber_->cancel();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(issue().kind(), NorvelError::Kind::cancelled);
    EXPECT_EQ(issue().message(), QStringLiteral("Transcription cancelled. The text transcribed so far was kept."));
    EXPECT_EQ(transcriber_->progress(), 0.3);
    ASSERT_TRUE(transcriber_->currentDocument().has_value());
    EXPECT_TRUE(transcriber_->currentDocument()->partial);
    ASSERT_EQ(store_->items().size(), 1u);
    EXPECT_TRUE(store_->items()[0].partial);
    EXPECT_TRUE(player_->hasAudio());

    // Cancelled before any text.
    session_->output.segments = {{0, 1, QStringLiteral(" ")}};
    transcriber_->start(input("short.mp4"), false);
    ASSERT_TRUE(test::waitUntil([&] { return transcriber_->phase() == Phase::transcribing; }));
    transcriber_->cancel();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(issue().message(), QStringLiteral("Transcription cancelled before any text was ready."));
    EXPECT_FALSE(QFileInfo::exists(lastWav_));
    EXPECT_FALSE(transcriber_->currentDocument().has_value());
}

// The user cancels while window 3 of a 100-second file is decoded: the library is stopped, and
// the transcript holds each window's text as the preview showed it, marked partial and saved.
// The progress never went back, though window 2 was decoded twice.
TEST_F(TranscriberTest, CancellingMidWindowKeepsEachWindowsTextAsShown) {
    auto library = std::make_shared<WindowedLibrary>();
    auto session = std::make_shared<WhisperSession>([library](const murmex::MurmexConfig&) { return library; });
    Transcriber transcriber(*models_, *store_, *player_, session,
                            [this](const QString& input, const AudioPrep::Progress& progress, std::stop_token stop) {
                                return prepare(input, progress, stop);
                            });
    preparedDuration_ = 100;
    std::vector<double> fractions;
    QObject::connect(&transcriber, &Transcriber::progressChanged, [&] {
        if (transcriber.phase() == Phase::transcribing) fractions.push_back(transcriber.progress());
    });
    transcriber.start(input("lecture.mp3"), false);
    ASSERT_TRUE(test::waitUntil([&] { return transcriber.preview() == QStringLiteral(" last words"); }));
    transcriber.cancel();
    ASSERT_TRUE(test::waitUntil([&] { return transcriber.phase() == Phase::idle; }));

    EXPECT_TRUE(library->stopped) << "the cancel reached the library as a stop request";
    ASSERT_TRUE(transcriber.issue().has_value());
    EXPECT_EQ(transcriber.issue()->message(),
              QStringLiteral("Transcription cancelled. The text transcribed so far was kept."));
    ASSERT_TRUE(transcriber.currentDocument().has_value());
    const TranscriptDocument document = *transcriber.currentDocument();
    EXPECT_TRUE(document.partial);
    ASSERT_EQ(document.segments.size(), 3u);
    const struct {
        double start, end;
        const char* text;
    } expected[] = {{0, 30, "first"}, {60, 90, "middle"}, {90, 100, "last words"}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(document.segments[i].start, expected[i].start) << i;
        EXPECT_EQ(document.segments[i].end, expected[i].end) << i;
        EXPECT_EQ(document.segments[i].text, QString::fromLatin1(expected[i].text)) << i;
    }
    ASSERT_EQ(store_->items().size(), 1u);
    EXPECT_EQ(store_->items()[0].segments, document.segments);
    EXPECT_TRUE(store_->items()[0].partial);
    ASSERT_FALSE(fractions.empty());
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_NEAR(transcriber.progress(), (0.15 + 3) * 30 / 100, 1e-9);
}

TEST_F(TranscriberTest, ARunWithoutTextEndsWithAnIssueAndNoFile) {
    session_->output.segments = {{0, 1, QStringLiteral(" \n ")}};
    transcriber_->start(input("silence.wav"), false);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(issue().kind(), NorvelError::Kind::general);
    EXPECT_EQ(issue().message(), QStringLiteral("No speech was found in this file."));
    EXPECT_EQ(issue().details(), QStringLiteral("The model returned no text."));
    EXPECT_FALSE(QFileInfo::exists(lastWav_));
    EXPECT_FALSE(transcriber_->currentDocument().has_value());
    EXPECT_TRUE(store_->items().empty());
    EXPECT_FALSE(player_->hasAudio());
}

TEST_F(TranscriberTest, LoadFailuresDeleteTheModelOnlyWhenItsFilesAreAtFault) {
    const struct {
        const char* name;
        std::exception_ptr failure;
        NorvelError::Kind kind;
        bool modelDeleted;
    } cases[] = {
        {"runtime cannot read the model",
         std::make_exception_ptr(platform::MLError(platform::MLError::Code::invalidModel, "truncated weights")),
         NorvelError::Kind::corruptModel, true},
        {"no network for the tokenizer",
         std::make_exception_ptr(halvex::UrlError(halvex::UrlError::Code::notConnectedToInternet, "offline")),
         NorvelError::Kind::noNetwork, false},
        {"disk full",
         std::make_exception_ptr(fs::filesystem_error("write", std::error_code(ENOSPC, std::generic_category()))),
         NorvelError::Kind::diskFull, false},
        {"tokenizer server error", std::make_exception_ptr(std::runtime_error("HTTP 503")), NorvelError::Kind::general,
         false},
    };
    for (const auto& c : cases) {
        test::makeModelFiles(dir_.path() / "Models/x/openai_whisper-base");
        models_->refresh();
        session_->loadFailure = c.failure;
        transcriber_->start(input("a.wav"), false);
        ASSERT_TRUE(waitIdle()) << c.name;
        EXPECT_EQ(issue().kind(), c.kind) << c.name;
        EXPECT_FALSE(issue().details().isEmpty()) << c.name;
        EXPECT_EQ(models_->isDownloaded(ModelChoice::balanced), !c.modelDeleted) << c.name;
        EXPECT_FALSE(QFileInfo::exists(lastWav_)) << c.name;
        if (c.kind == NorvelError::Kind::corruptModel) {
            EXPECT_EQ(
                issue().message(),
                QStringLiteral("The Balanced (base) model could not be loaded. Its files may be damaged or "
                               "incomplete, so Norvel deleted it. Press \"Download again\" to fetch a fresh copy. "
                               "Show Details has the technical reason."));
        }
    }

    // "Download again" starts the same input, which now has to fetch the model.
    session_->loadFailure = nullptr;
    models_->remove(ModelChoice::balanced);
    const int before = downloads_;
    transcriber_->retry();
    EXPECT_EQ(transcriber_->phase(), Phase::preparing);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(downloads_, before + 1);
    EXPECT_EQ(lastInput_, path("a.wav"));
    EXPECT_EQ(issue().message(), QStringLiteral("Something went wrong: no repository here"));
}

TEST_F(TranscriberTest, PreparationAndTranscriptionFailuresBecomeIssues) {
    prepareFailure_ = std::make_exception_ptr(
        NorvelError(NorvelError::Kind::noAudio, QStringLiteral("No audio."), QStringLiteral("none")));
    transcriber_->start(input("clip.mov"), false);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(issue(), NorvelError(NorvelError::Kind::noAudio, QStringLiteral("No audio."), QStringLiteral("none")));
    EXPECT_EQ(phases_.back(), Phase::idle);

    prepareFailure_ = nullptr;
    session_->runFailure = std::make_exception_ptr(std::runtime_error("decoder exploded"));
    transcriber_->start(input("clip.mov"), false);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(issue().message(), QStringLiteral("Something went wrong: decoder exploded"));
    EXPECT_FALSE(QFileInfo::exists(lastWav_));
    EXPECT_FALSE(player_->hasAudio());
}

// A recording stays until a run with it gave a complete transcript, so that a failed or
// cancelled run can be started again with it ("Download again"); another input drops it.
TEST_F(TranscriberTest, ARecordingIsKeptUntilARunWithItSucceeds) {
    const QString recording = input("Recording-7.caf");
    session_->loadFailure =
        std::make_exception_ptr(platform::MLError(platform::MLError::Code::invalidModel, "truncated weights"));
    transcriber_->start(recording, true);
    EXPECT_EQ(transcriber_->sourceName(), QStringLiteral("Recording"));
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(issue().kind(), NorvelError::Kind::corruptModel);
    EXPECT_TRUE(QFileInfo::exists(recording));

    // "Download again" (the model is back here without a download).
    session_->loadFailure = nullptr;
    test::makeModelFiles(dir_.path() / "Models/x/openai_whisper-base");
    models_->refresh();
    transcriber_->retry();
    ASSERT_TRUE(waitIdle());
    EXPECT_FALSE(transcriber_->issue().has_value()) << issue().message().toStdString();
    EXPECT_EQ(lastInput_, recording);
    ASSERT_TRUE(transcriber_->currentDocument().has_value());
    EXPECT_EQ(transcriber_->currentDocument()->title, QStringLiteral("Recording"));
    EXPECT_FALSE(QFileInfo::exists(recording)) << "a run with it succeeded";

    // Failed and cancelled runs keep theirs; the next input drops the one kept.
    const struct {
        const char* name;
        bool fails;
    } cases[] = {{"failed run", true}, {"cancelled run", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString another = input("Recording-8.caf");
        session_->runFailure = c.fails ? std::make_exception_ptr(std::runtime_error("x")) : nullptr;
        session_->runGate = c.fails ? nullptr : std::make_shared<Gate>();
        transcriber_->start(another, true);
        if (!c.fails) {
            ASSERT_TRUE(test::waitUntil([&] { return session_->runGate->reached(); }));
            transcriber_->cancel();
        }
        ASSERT_TRUE(waitIdle());
        EXPECT_TRUE(QFileInfo::exists(another));
        session_->runFailure = nullptr;
        session_->runGate = nullptr;
        transcriber_->start(input("other.wav"), false);
        ASSERT_TRUE(waitIdle());
        EXPECT_FALSE(QFileInfo::exists(another));
    }
}

// Stopping a recording must find the transcriber free: nothing else starts it while a
// recording runs or waits for the permission answer.
TEST_F(TranscriberTest, NoOtherInputStartsWhileARecordingRunsOrStarts) {
    class PendingAccess : public MicrophoneAccess {
    public:
        MicrophonePermission status() const override { return MicrophonePermission::notDetermined; }
        void request(std::function<void(bool)> answer) override { pending = std::move(answer); }
        std::function<void(bool)> pending;
    };
    class QuietCapture : public AudioCapture {
    public:
        Format format() const override { return {48000, 1}; }
        void start(BufferHandler) override {}
        void stop() override {}
    };
    auto access = std::make_shared<PendingAccess>();
    Recorder recorder(
        access, [] { return std::make_unique<QuietCapture>(); }, path(""));
    transcriber_->setRecorder(&recorder);

    const QString file = input("talk.wav");
    recorder.start();
    ASSERT_TRUE(recorder.isStarting());
    transcriber_->start(file, false);
    EXPECT_EQ(transcriber_->phase(), Phase::idle);
    ASSERT_TRUE(access->pending);
    access->pending(true);
    ASSERT_TRUE(recorder.isRecording());
    transcriber_->start(file, false);
    EXPECT_EQ(transcriber_->phase(), Phase::idle);
    EXPECT_EQ(prepared_, 0);

    const std::optional<QString> recording = recorder.stop();
    ASSERT_TRUE(recording.has_value());
    transcriber_->start(*recording, true);
    EXPECT_EQ(transcriber_->phase(), Phase::preparing);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(lastInput_, *recording);
}

TEST_F(TranscriberTest, ASaveFailureIsNotHiddenByTheCancelNotice) {
    // The history folder is replaced by a file, so no document can be written into it.
    QDir(path("History")).removeRecursively();
    QFile(path("History")).open(QIODevice::WriteOnly);
    session_->runGate = std::make_shared<Gate>();
    transcriber_->start(input("a.wav"), false);
    ASSERT_TRUE(test::waitUntil(
        [&] { return transcriber_->phase() == Phase::transcribing && transcriber_->progress() == 0.3; }));
    transcriber_->cancel();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(issue().kind(), NorvelError::Kind::general);
    EXPECT_TRUE(
        issue().message().startsWith(QStringLiteral("Norvel could not save the transcript in its history folder ")))
        << issue().message().toStdString();
    EXPECT_TRUE(transcriber_->currentDocument().has_value());  // still shown
    EXPECT_TRUE(store_->items().empty());
}

TEST_F(TranscriberTest, EditsOpenAndExport) {
    transcriber_->start(input("Meeting.wav"), false);
    ASSERT_TRUE(waitIdle());
    const TranscriptDocument original = *transcriber_->currentDocument();
    int saves = 0;
    QObject::connect(store_.get(), &TranscriptStore::itemsChanged, [&] { ++saves; });

    transcriber_->persistEdits();  // nothing changed: nothing written
    EXPECT_EQ(saves, 0);
    ASSERT_TRUE(transcriber_->setSegmentText(transcriber_->segments()[0].id, QStringLiteral("Hi")));
    EXPECT_FALSE(transcriber_->setSegmentText(QUuid::createUuid(), QStringLiteral("x")));
    transcriber_->persistEdits();
    EXPECT_EQ(saves, 1);
    const TranscriptDocument edited = *transcriber_->currentDocument();
    EXPECT_EQ(edited.id, original.id);
    EXPECT_EQ(edited.title, original.title);
    EXPECT_EQ(edited.date, original.date);
    EXPECT_EQ(edited.duration, original.duration);
    EXPECT_EQ(edited.segments[0].text, QStringLiteral("Hi"));
    EXPECT_EQ(store_->items().at(0), edited);

    EXPECT_EQ(transcriber_->exportText(ExportFormat::md),
              QStringLiteral("# Meeting\n\n## 0:00\n\nHi\n\n## 0:03\n\nworld\n\n"));
    EXPECT_EQ(Transcriber::proposedFileName(QStringLiteral("Meeting 10/05: notes"), ExportFormat::srt),
              QStringLiteral("Meeting 10-05- notes.srt"));
    EXPECT_EQ(Transcriber::proposedFileName(QString(), ExportFormat::txt), QStringLiteral("Transcript.txt"));

    QString proposed;
    transcriber_->setSavePanel([&](const QString& name) -> std::optional<QString> {
        proposed = name;
        return path("out.vtt");
    });
    transcriber_->saveAs(ExportFormat::vtt);
    EXPECT_EQ(proposed, QStringLiteral("Meeting.vtt"));
    EXPECT_EQ(QString::fromUtf8(test::readAll(path("out.vtt"))), transcriber_->exportText(ExportFormat::vtt));
    transcriber_->setSavePanel(
        [&](const QString&) -> std::optional<QString> { return path("missing/folder/out.txt"); });
    transcriber_->saveAs(ExportFormat::txt);
    EXPECT_TRUE(issue().message().startsWith(QStringLiteral("Norvel could not save “out.txt” in ")));
    EXPECT_TRUE(issue().message().contains(QStringLiteral("The folder does not exist.")));
    transcriber_->setSavePanel([&](const QString&) -> std::optional<QString> { return std::nullopt; });
    transcriber_->clearIssue();
    transcriber_->saveAs(ExportFormat::txt);  // the user cancelled: nothing
    EXPECT_FALSE(transcriber_->issue().has_value());

    // Opening a stored transcript releases the fresh audio.
    const QString wav = *player_->currentUrl();
    TranscriptDocument stored = original;
    stored.id = QUuid::createUuid();
    stored.title = QStringLiteral("Meeting 10/05: notes");
    transcriber_->open(stored);
    EXPECT_FALSE(player_->hasAudio());
    EXPECT_FALSE(QFileInfo::exists(wav));
    EXPECT_EQ(transcriber_->title(), QStringLiteral("Meeting 10/05: notes"));
    transcriber_->setSavePanel([&](const QString& name) -> std::optional<QString> {
        proposed = name;
        return std::nullopt;
    });
    transcriber_->saveAs(ExportFormat::srt);
    EXPECT_EQ(proposed, QStringLiteral("Meeting 10-05- notes.srt"));
    EXPECT_EQ(transcriber_->segments(), stored.segments);
    EXPECT_EQ(transcriber_->exportText(ExportFormat::txt), QStringLiteral("Hello\n\nworld\n"));
}

}  // namespace
}  // namespace norvel
