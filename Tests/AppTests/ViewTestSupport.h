#pragma once

// A world for the view tests: the application's real services over a temporary data folder,
// with doubles only at their edges (audio preparation, the speech engine, the model download,
// the audio output, the microphone and the file manager), each able to hold its work until the
// test lets it go, so that every phase of a run can be looked at.

#include "App/Model/ModelChoice.h"
#include "App/Model/TranscriptDocument.h"
#include "App/Services/AudioPlayerController.h"
#include "App/Services/ModelStore.h"
#include "App/Services/Recorder.h"
#include "App/Services/Transcriber.h"
#include "App/Services/TranscriptStore.h"
#include "App/Services/WhisperSession.h"
#include "App/Views/ContentView.h"
#include "App/Views/Desktop.h"
#include "Support/Fixtures.h"

#include <QDateTime>
#include <QPoint>
#include <QSettings>
#include <QString>
#include <QUrl>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

class QWidget;

namespace norvel::test {

// Holds a worker until the test opens it (or the worker's stop is requested).
class Gate {
public:
    void open();
    void close();
    // Waits while the gate is closed; false when the wait ended for a stop or after 20 s.
    bool pass(std::stop_token stop = {});
    // Whether a worker waits at the gate now.
    bool isWaiting() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    bool open_ = true;
    int waiting_ = 0;
};

// The speech engine: reports the scripted progress, may hold, then returns the scripted
// segments (or, after a cancel, those it has, as the real session does).
class ScriptedSession : public SpeechSession {
public:
    void load(const QString& modelFolder, const QString& tokenizerBase) override;
    EngineOutput run(const QString& audio, const std::optional<QString>& language, bool translate, double duration,
                     const ProgressCallback& onProgress, const std::shared_ptr<CancelFlag>& cancel) override;

    Gate loadGate;
    Gate runGate;
    std::exception_ptr loadError;                     // thrown by the next load
    std::vector<std::pair<double, QString>> reports;  // progress sent before the run holds
    std::vector<EngineSegment> segments;              // the run's result
    QString language = QStringLiteral("en");
    std::atomic<int> loads{0};
    std::atomic<int> runs{0};
};

// A silent audio output of a fixed length whose position only moves when the test says so.
// While `noDevice` is set, playing fails as it does on a computer without a sound output.
class SilentOutput : public AudioOutput {
public:
    SilentOutput(double duration, std::shared_ptr<std::atomic<bool>> noDevice = {})
        : duration_(duration), noDevice_(std::move(noDevice)) {}
    double duration() const override { return duration_; }
    double position() const override { return position_; }
    void setPosition(double seconds) override { position_ = seconds; }
    void play() override;
    void pause() override { playing_ = false; }
    void stop() override {
        playing_ = false;
        position_ = 0;
    }
    bool isPlaying() const override { return playing_; }

private:
    double duration_;
    std::shared_ptr<std::atomic<bool>> noDevice_;
    double position_ = 0;
    bool playing_ = false;
};

// The microphone permission, answering as the test says.
class ScriptedAccess : public MicrophoneAccess {
public:
    MicrophonePermission status() const override { return status_; }
    void request(std::function<void(bool)> answer) override { answer(granted_); }

    MicrophonePermission status_ = MicrophonePermission::authorized;
    bool granted_ = true;
};

// A microphone that hands its buffer handler to the test, which pushes buffers through it.
class ScriptedCapture : public AudioCapture {
public:
    explicit ScriptedCapture(BufferHandler* slot) : slot_(slot) {}
    Format format() const override { return {48000, 1}; }
    void start(BufferHandler onBuffer) override { *slot_ = std::move(onBuffer); }
    void stop() override { *slot_ = nullptr; }

private:
    BufferHandler* slot_;
};

// The application's services over a temporary data folder, with the doubles above. Every
// worker is let go and waited for when the world ends.
class ViewWorld {
public:
    ViewWorld();
    ~ViewWorld();
    ViewWorld(const ViewWorld&) = delete;
    ViewWorld& operator=(const ViewWorld&) = delete;

    ViewServices services();
    Desktop desktop();
    // A settings file of its own, as if it were the user's.
    std::unique_ptr<QSettings> settings() const;

    // Makes a complete model folder for the choice below the Models folder and lets the store
    // find it.
    void installModel(ModelChoice choice);
    // An input file of that name in the world's folder (its content does not matter).
    QString inputFile(const QString& name) const;
    // A document with the given fields and, by default, three segments of text.
    static TranscriptDocument document(const QString& title, const QDateTime& date, double duration,
                                       bool partial = false, std::vector<TranscriptSegment> segments = {});
    static std::vector<TranscriptSegment> segments(const std::vector<std::tuple<double, double, QString>>& parts);

    // Waits until the transcriber is back in its idle phase.
    bool waitIdle();
    // Runs a whole transcription of `name` with the scripted result (the model installed first).
    bool transcribe(const QString& name, std::vector<EngineSegment> result);

    TemporaryDirectory dir;
    QString modelsFolder;
    QString historyFolder;
    QString temporaryFolder;

    std::shared_ptr<ScriptedSession> session = std::make_shared<ScriptedSession>();
    std::shared_ptr<ScriptedAccess> access = std::make_shared<ScriptedAccess>();
    Gate prepareGate;
    Gate downloadGate;
    std::atomic<double> preparedDuration{600.0};                            // also the length the player plays
    std::vector<std::pair<double, std::optional<double>>> downloadReports;  // fraction, bytes per second
    std::vector<std::pair<std::int64_t, std::int64_t>> downloadBytes;       // received, total
    std::vector<std::pair<QString, bool>> browsed;                          // file manager requests: path, select
    bool noFileManager = false;                                             // the file manager requests fail
    std::shared_ptr<std::atomic<bool>> noSoundDevice = std::make_shared<std::atomic<bool>>(false);
    std::vector<QUrl> openedUrls;              // links the desktop was asked to open
    std::vector<QStringList> chooserRequests;  // extensions each open panel offered
    std::optional<QString> chosenFile;         // the open panel's answer
    QUrl microphoneSettings;                   // the desktop's settings page, if any
    AudioCapture::BufferHandler microphone;    // the running recording's buffer handler

    std::unique_ptr<ModelStore> models;
    std::unique_ptr<TranscriptStore> store;
    std::unique_ptr<AudioPlayerController> player;
    std::unique_ptr<Recorder> recorder;
    std::unique_ptr<Transcriber> transcriber;
    std::vector<QString> saveProposals;      // file names the save panel proposed
    std::vector<QWidget*> saveParents;       // the windows the desktop's save panel was shown over
    std::optional<QString> saveDestination;  // the save panel's answer
};

// A shown window of a usual size that lays out the views given to it, one below the other.
class Host {
public:
    Host();
    ~Host();
    // Adds the view (the host takes it) and lays the window out again.
    template <class View>
    View* add(std::unique_ptr<View> view) {
        View* raw = view.release();
        place(raw);
        return raw;
    }
    QWidget* window() const { return window_.get(); }

private:
    void place(QWidget* view);
    std::unique_ptr<QWidget> window_;
};

// Input events as the user makes them, delivered to the widget.
void click(QWidget* widget, QPoint at = QPoint(-1, -1));
void pressKey(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
// Types the text key by key, as fast as the events go (one press and release per character).
void typeText(QWidget* widget, const QString& text);
// Processes pending events (deferred deletions included).
void settle();

}  // namespace norvel::test
