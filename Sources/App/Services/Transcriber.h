#pragma once

#include "App/Model/LanguageOption.h"
#include "App/Model/ModelChoice.h"
#include "App/Model/NorvelError.h"
#include "App/Model/TranscriptDocument.h"
#include "App/Services/AudioPrep.h"
#include "App/Services/Exporter.h"
#include "App/Services/WhisperSession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

namespace norvel {

class AudioPlayerController;
class ModelStore;
class Recorder;
class TranscriptStore;

// The user's workflow: one transcription at a time, from a file or a finished recording to a
// shown, playable and stored transcript. Holds the settings of the next run, publishes all
// the window shows about the run, and offers the operations the views call. Lives on the GUI
// thread; its operations never throw, failures become `issue`.
class Transcriber : public QObject {
    Q_OBJECT
    Q_PROPERTY(norvel::Transcriber::Phase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(double elapsed READ elapsed NOTIFY elapsedChanged)
    Q_PROPERTY(QString preview READ preview NOTIFY previewChanged)
    Q_PROPERTY(std::vector<norvel::TranscriptSegment> segments READ segments WRITE setSegments NOTIFY segmentsChanged)
    Q_PROPERTY(std::optional<norvel::NorvelError> issue READ issue NOTIFY issueChanged)
    Q_PROPERTY(QString sourceName READ sourceName NOTIFY sourceNameChanged)
    Q_PROPERTY(
        std::optional<norvel::TranscriptDocument> currentDocument READ currentDocument NOTIFY currentDocumentChanged)
    Q_PROPERTY(norvel::ModelChoice modelChoice READ modelChoice WRITE setModelChoice NOTIFY modelChoiceChanged)
    Q_PROPERTY(norvel::LanguageOption language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(bool translate READ translate WRITE setTranslate NOTIFY translateChanged)
    Q_PROPERTY(QString title READ title NOTIFY titleChanged)

public:
    enum class Phase { idle, preparing, downloading, loading, transcribing };
    Q_ENUM(Phase)

    // Turns an input file into a prepared WAV file; runs on a worker thread.
    using Preparer =
        std::function<PreparedAudio(const QString& input, const AudioPrep::Progress& progress, std::stop_token stop)>;
    // Asks the user where to save an export; nothing when the user cancels.
    using SavePanel = std::function<std::optional<QString>(const QString& proposedFileName)>;

    // The accepted file extensions, compared in lower case: mp3, m4a, wav, aac, mp4, mov, m4v.
    static const QStringList supportedExtensions;

    Transcriber(ModelStore& models, TranscriptStore& store, AudioPlayerController& player, QObject* parent = nullptr);
    // With another speech session and audio preparation (tests use both).
    Transcriber(ModelStore& models, TranscriptStore& store, AudioPlayerController& player,
                std::shared_ptr<SpeechSession> session, Preparer preparer, QObject* parent = nullptr);
    ~Transcriber() override;

    Phase phase() const { return phase_; }
    // The current phase's fraction: the conversion while preparing, 0 while downloading and
    // loading, the session's fraction while transcribing; 1 after a run with text (or the last
    // value after a cancel).
    double progress() const { return progress_; }
    // Seconds since the run started, updated every 250 ms.
    double elapsed() const { return elapsed_; }
    // The text of the window being transcribed.
    const QString& preview() const { return preview_; }
    // The transcript shown; the views edit its texts.
    const std::vector<TranscriptSegment>& segments() const { return segments_; }
    const std::optional<NorvelError>& issue() const { return issue_; }
    const QString& sourceName() const { return sourceName_; }
    const std::optional<TranscriptDocument>& currentDocument() const { return currentDocument_; }
    ModelChoice modelChoice() const { return modelChoice_; }
    const LanguageOption& language() const { return language_; }
    bool translate() const { return translate_; }
    // The current document's title, else the source's name.
    QString title() const;

    void setModelChoice(ModelChoice value);
    void setLanguage(const LanguageOption& value);
    void setTranslate(bool value);
    // The views' edits of the shown transcript.
    void setSegments(std::vector<TranscriptSegment> value);
    // Changes the text of one shown segment; false when no segment has the identifier.
    bool setSegmentText(const QUuid& id, const QString& text);
    // The issue banner's dismissal.
    void clearIssue();

    // Begins a run when idle and no recording runs or is starting (so that stopping that
    // recording never finds the transcriber busy); a file whose extension is not supported is
    // refused with an issue (a recording skips the test). A recording's file is kept until a
    // run with it produced a complete transcript, or another input starts, so that a failed
    // or cancelled run can be retried with it.
    void start(const QString& path, bool isRecording);
    // The recorder whose recordings this transcriber is given; none: no recording is waited for.
    void setRecorder(const Recorder* recorder);
    // Cancels the current run: before transcribing the run ends with "Cancelled."; while
    // transcribing the text produced so far becomes a partial transcript.
    void cancel();
    // Starts the last input again when idle.
    void retry();
    // Shows a stored transcript (when idle); the player's audio is released.
    void open(const TranscriptDocument& document);
    // Writes the edited segments into the current document and saves it, when they changed.
    void persistEdits();
    // Takes the shown segments as the saved state of the current document, when it has the
    // identifier, without writing anything: the store has removed that document, and edits
    // made before that must not bring it back.
    void forgetEdits(const QUuid& id);
    // The shown segments rendered in the format.
    QString exportText(ExportFormat format) const;
    // Asks for a destination and writes the rendered text there atomically.
    void saveAs(ExportFormat format);
    void setSavePanel(SavePanel panel) { savePanel_ = std::move(panel); }

    // The name the save panel proposes: the title with "/" and ":" replaced by "-" (or
    // "Transcript" when empty), a dot and the format's extension.
    static QString proposedFileName(const QString& title, ExportFormat format);

Q_SIGNALS:
    void phaseChanged();
    void progressChanged();
    void elapsedChanged();
    void previewChanged();
    void segmentsChanged();
    void issueChanged();
    void sourceNameChanged();
    void currentDocumentChanged();
    void modelChoiceChanged();
    void languageChanged();
    void translateChanged();
    void titleChanged();

private:
    struct Run;

    void setPhase(Phase value);
    void setProgress(double value);
    void setElapsed(double value);
    void setPreview(const QString& value);
    void setIssue(std::optional<NorvelError> value);
    void setSourceName(const QString& value);
    void setCurrentDocument(std::optional<TranscriptDocument> value);
    void publishSegments(std::vector<TranscriptSegment> value);

    // The phases of a run, each continuing on the GUI thread when its work is done.
    void prepare(std::shared_ptr<Run> run);
    void download(std::shared_ptr<Run> run);
    void loadModel(std::shared_ptr<Run> run, const QString& folder);
    void transcribe(std::shared_ptr<Run> run);
    void finishWithOutput(std::shared_ptr<Run> run, const EngineOutput& output);
    void fail(std::shared_ptr<Run> run, std::exception_ptr error);
    void fail(std::shared_ptr<Run> run, const NorvelError& error);
    void finish(std::shared_ptr<Run> run);
    bool isCurrent(const std::shared_ptr<Run>& run) const { return run_ == run; }

    ModelStore& models_;
    TranscriptStore& store_;
    AudioPlayerController& player_;
    std::shared_ptr<SpeechSession> session_;
    Preparer preparer_;
    SavePanel savePanel_;

    Phase phase_ = Phase::idle;
    double progress_ = 0;
    double elapsed_ = 0;
    QString preview_;
    std::vector<TranscriptSegment> segments_;
    std::optional<NorvelError> issue_;
    QString sourceName_;
    std::optional<TranscriptDocument> currentDocument_;
    ModelChoice modelChoice_ = ModelChoice::balanced;
    LanguageOption language_;
    bool translate_ = false;

    std::shared_ptr<Run> run_;
    std::shared_ptr<CancelFlag> cancelFlag_;
    QTimer timer_;
    QElapsedTimer startedAt_;
    std::optional<QString> lastInput_;
    bool lastWasRecording_ = false;
    QPointer<const Recorder> recorder_;
    // A recording whose runs have not yet produced a complete transcript.
    std::optional<QString> keptRecording_;
};

}  // namespace norvel
