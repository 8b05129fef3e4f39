#include "App/Services/Transcriber.h"

#include "App/Model/AppPaths.h"
#include "App/Services/AudioPlayerController.h"
#include "App/Services/Background.h"
#include "App/Services/ModelStore.h"
#include "App/Services/Recorder.h"
#include "App/Services/TranscriptStore.h"
#include "App/Texts.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/FileContents.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/MLError.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>

#include <filesystem>
#include <string_view>

namespace norvel {

namespace {

using Kind = NorvelError::Kind;

// True when loading failed because the model's own files are missing or unusable, which a
// fresh download mends. Failures elsewhere (the network, the tokenizer's hub, memory) leave
// the model's files alone.
bool isModelFileFailure(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const platform::MLError&) {
        return true;
    } catch (const murmex::WhisperError& e) {
        return e.kind() == murmex::WhisperError::Kind::modelsUnavailable ||
               e.kind() == murmex::WhisperError::Kind::tokenizerUnavailable;
    } catch (...) {
        return false;
    }
}

std::optional<QString> askForDestination(const QString& proposedFileName) {
    const QString path = QFileDialog::getSaveFileName(nullptr, QString(), QDir::home().filePath(proposedFileName));
    if (path.isEmpty()) return std::nullopt;
    return path;
}

}  // namespace

// One run: its input, cancellation and what it produced so far.
struct Transcriber::Run {
    QString input;
    bool isRecording = false;
    std::shared_ptr<CancelFlag> flag;
    std::stop_source stop;
    std::optional<PreparedAudio> prepared;  // owned by the run until handed to the player
    ModelChoice choice = ModelChoice::balanced;
    bool complete = false;  // ended with a transcript that was not cut short
};

const QStringList Transcriber::supportedExtensions = {
    QStringLiteral("mp3"), QStringLiteral("m4a"), QStringLiteral("wav"), QStringLiteral("aac"),
    QStringLiteral("mp4"), QStringLiteral("mov"), QStringLiteral("m4v")};

Transcriber::Transcriber(ModelStore& models, TranscriptStore& store, AudioPlayerController& player, QObject* parent)
    : Transcriber(
          models, store, player, std::make_shared<WhisperSession>(),
          [](const QString& input, const AudioPrep::Progress& progress, std::stop_token stop) {
              return AudioPrep::prepare(input, progress, std::move(stop));
          },
          parent) {}

Transcriber::Transcriber(ModelStore& models, TranscriptStore& store, AudioPlayerController& player,
                         std::shared_ptr<SpeechSession> session, Preparer preparer, QObject* parent)
    : QObject(parent),
      models_(models),
      store_(store),
      player_(player),
      session_(std::move(session)),
      preparer_(std::move(preparer)),
      savePanel_(&askForDestination),
      language_(LanguageOption::all().front()),
      cancelFlag_(std::make_shared<CancelFlag>()) {
    timer_.setInterval(250);
    connect(&timer_, &QTimer::timeout, this, [this] { setElapsed(double(startedAt_.elapsed()) / 1000.0); });
    startedAt_.start();
    connect(&store_, &TranscriptStore::documentRemoved, this, &Transcriber::forgetEdits);
}

Transcriber::~Transcriber() {
    // Work still running ends soon and reports to nobody.
    if (run_) {
        run_->flag->set();
        run_->stop.request_stop();
        if (run_->isRecording) QFile::remove(run_->input);
    }
    // Nobody can retry a recording once the application has gone.
    if (keptRecording_) QFile::remove(*keptRecording_);
}

void Transcriber::setRecorder(const Recorder* recorder) { recorder_ = recorder; }

// ---- Published state ----

QString Transcriber::title() const { return currentDocument_ ? currentDocument_->title : sourceName_; }

void Transcriber::setPhase(Phase value) {
    if (phase_ == value) return;
    phase_ = value;
    Q_EMIT phaseChanged();
}

void Transcriber::setProgress(double value) {
    if (progress_ == value) return;
    progress_ = value;
    Q_EMIT progressChanged();
}

void Transcriber::setElapsed(double value) {
    if (elapsed_ == value) return;
    elapsed_ = value;
    Q_EMIT elapsedChanged();
}

void Transcriber::setPreview(const QString& value) {
    if (preview_ == value) return;
    preview_ = value;
    Q_EMIT previewChanged();
}

void Transcriber::setIssue(std::optional<NorvelError> value) {
    issue_ = std::move(value);
    Q_EMIT issueChanged();
}

void Transcriber::clearIssue() { setIssue(std::nullopt); }

void Transcriber::setSourceName(const QString& value) {
    if (sourceName_ == value) return;
    sourceName_ = value;
    Q_EMIT sourceNameChanged();
    Q_EMIT titleChanged();
}

void Transcriber::setCurrentDocument(std::optional<TranscriptDocument> value) {
    currentDocument_ = std::move(value);
    Q_EMIT currentDocumentChanged();
    Q_EMIT titleChanged();
}

void Transcriber::publishSegments(std::vector<TranscriptSegment> value) {
    segments_ = std::move(value);
    Q_EMIT segmentsChanged();
}

void Transcriber::setSegments(std::vector<TranscriptSegment> value) {
    if (segments_ == value) return;
    publishSegments(std::move(value));
}

bool Transcriber::setSegmentText(const QUuid& id, const QString& text) {
    for (auto& segment : segments_) {
        if (segment.id != id) continue;
        if (segment.text != text) {
            segment.text = text;
            Q_EMIT segmentsChanged();
        }
        return true;
    }
    return false;
}

void Transcriber::setModelChoice(ModelChoice value) {
    if (modelChoice_ == value) return;
    modelChoice_ = value;
    Q_EMIT modelChoiceChanged();
}

void Transcriber::setLanguage(const LanguageOption& value) {
    if (language_ == value) return;
    language_ = value;
    Q_EMIT languageChanged();
}

void Transcriber::setTranslate(bool value) {
    if (translate_ == value) return;
    translate_ = value;
    Q_EMIT translateChanged();
}

// ---- Operations ----

void Transcriber::start(const QString& path, bool isRecording) {
    if (phase_ != Phase::idle) return;
    // A recording that runs (or is about to) must find the transcriber free when it stops.
    if (recorder_ && (recorder_->isRecording() || recorder_->isStarting())) return;
    const QFileInfo info(path);
    const QString extension = info.suffix().toLower();
    if (!isRecording && !supportedExtensions.contains(extension)) {
        setIssue(NorvelError(
            Kind::unsupported, Texts::q(Texts::unsupportedFileType),
            Texts::q(Texts::fileExtensionPrefix) + (extension.isEmpty() ? Texts::q(Texts::noExtension) : extension)));
        return;
    }
    // Edits of the transcript shown until now are saved before it goes.
    persistEdits();
    lastInput_ = path;
    lastWasRecording_ = isRecording;
    // Another input makes the kept recording unreachable for a retry.
    if (keptRecording_ && *keptRecording_ != path) QFile::remove(*keptRecording_);
    keptRecording_.reset();

    setIssue(std::nullopt);
    publishSegments({});
    setPreview(QString());
    setProgress(0);
    setElapsed(0);
    setCurrentDocument(std::nullopt);
    setSourceName(isRecording ? Texts::q(Texts::recordingTitle) : info.completeBaseName());

    cancelFlag_ = std::make_shared<CancelFlag>();
    startedAt_.start();
    auto run = std::make_shared<Run>();
    run->input = path;
    run->isRecording = isRecording;
    run->flag = cancelFlag_;
    run_ = run;

    setPhase(Phase::preparing);
    timer_.start();
    prepare(run);
}

void Transcriber::cancel() {
    if (phase_ == Phase::idle || !run_) return;
    run_->flag->set();
    if (models_.hasDownloadTask()) models_.cancelDownload();
    if (phase_ == Phase::transcribing) return;
    run_->stop.request_stop();
}

void Transcriber::retry() {
    if (lastInput_ && phase_ == Phase::idle) start(*lastInput_, lastWasRecording_);
}

void Transcriber::open(const TranscriptDocument& document) {
    if (phase_ != Phase::idle) return;
    persistEdits();
    player_.release();
    setIssue(std::nullopt);
    setPreview(QString());
    setSourceName(document.title);
    setCurrentDocument(document);
    publishSegments(document.segments);
}

void Transcriber::persistEdits() {
    if (phase_ != Phase::idle || !currentDocument_) return;
    if (currentDocument_->segments == segments_) return;
    TranscriptDocument document = *currentDocument_;
    document.segments = segments_;
    setCurrentDocument(document);
    // Written off the GUI thread; a failed write becomes the store's issue.
    store_.saveInBackground(document);
}

void Transcriber::forgetEdits(const QUuid& id) {
    if (!currentDocument_ || currentDocument_->id != id || currentDocument_->segments == segments_) return;
    // The shown text stays as it is, but only a later edit saves the document again.
    TranscriptDocument document = *currentDocument_;
    document.segments = segments_;
    setCurrentDocument(document);
}

QString Transcriber::exportText(ExportFormat format) const {
    const QString name = title();
    return Exporter::render(segments_, name.isEmpty() ? Texts::q(Texts::transcript) : name, format);
}

QString Transcriber::proposedFileName(const QString& title, ExportFormat format) {
    QString name = title;
    name.replace(QLatin1Char('/'), QLatin1Char('-')).replace(QLatin1Char(':'), QLatin1Char('-'));
    if (name.isEmpty()) name = Texts::q(Texts::transcript);
    return name + QLatin1Char('.') + rawValue(format);
}

void Transcriber::saveAs(ExportFormat format) {
    const std::optional<QString> destination =
        savePanel_ ? savePanel_(proposedFileName(title(), format)) : std::nullopt;
    if (!destination || destination->isEmpty()) return;
    try {
        Exporter::write(exportText(format), *destination);
    } catch (...) {
        setIssue(NorvelError::from(std::current_exception()));
    }
}

// ---- The run ----

void Transcriber::prepare(std::shared_ptr<Run> run) {
    auto poster = ReportPoster<double>::make(this, [this, run](double fraction) {
        if (isCurrent(run) && phase_ == Phase::preparing) setProgress(fraction);
    });
    runInBackground(
        this,
        [preparer = preparer_, input = run->input, poster, stop = run->stop.get_token()] {
            return preparer(
                input, [poster](double fraction) { poster->post(fraction); }, stop);
        },
        [this, run, poster](Outcome<PreparedAudio> outcome) {
            poster->flush();
            if (outcome.index() == 1) return fail(run, std::get<1>(outcome));
            run->prepared = std::get<0>(outcome);
            if (run->stop.stop_requested()) return fail(run, NorvelError::cancelledError());
            download(run);
        });
}

void Transcriber::download(std::shared_ptr<Run> run) {
    setPhase(Phase::downloading);
    setProgress(0);
    // The model picked until now is the one this run uses.
    run->choice = modelChoice_;
    QPointer<Transcriber> self(this);
    models_.ensureDownloaded(run->choice, [self, run](Outcome<QString> outcome) {
        if (!self || !self->isCurrent(run)) return;
        if (outcome.index() == 1) return self->fail(run, std::get<1>(outcome));
        if (run->stop.stop_requested()) return self->fail(run, NorvelError::cancelledError());
        self->loadModel(run, std::get<0>(outcome));
    });
}

void Transcriber::loadModel(std::shared_ptr<Run> run, const QString& folder) {
    setPhase(Phase::loading);
    runInBackground(
        this,
        [session = session_, folder, base = models_.modelsFolder()] {
            session->load(folder, base);
            return true;
        },
        [this, run](Outcome<bool> outcome) {
            if (outcome.index() == 1) {
                const std::exception_ptr error = std::get<1>(outcome);
                const NorvelError mapped = NorvelError::from(error);
                // A cancel during loading is not the model's fault: its files stay.
                if (run->stop.stop_requested() || mapped.kind() == Kind::cancelled) {
                    return fail(run, NorvelError::cancelledError());
                }
                if (mapped.kind() == Kind::noNetwork || mapped.kind() == Kind::diskFull || !isModelFileFailure(error)) {
                    return fail(run, mapped);
                }
                models_.remove(run->choice);
                return fail(run, NorvelError(Kind::corruptModel, Texts::corruptModel(displayName(run->choice)),
                                             mapped.details()));
            }
            if (run->stop.stop_requested()) return fail(run, NorvelError::cancelledError());
            transcribe(run);
        });
}

void Transcriber::transcribe(std::shared_ptr<Run> run) {
    setPhase(Phase::transcribing);
    setProgress(0);
    const std::optional<QString> language = language_.code;
    const bool translate = translate_;

    struct Report {
        double fraction;
        QString text;
    };
    auto poster = ReportPoster<Report>::make(this, [this, run](const Report& report) {
        if (!isCurrent(run) || phase_ != Phase::transcribing) return;
        setProgress(report.fraction);
        setPreview(report.text);
    });
    runInBackground(
        this,
        [session = session_, audio = run->prepared->url, duration = run->prepared->duration, language, translate,
         poster, flag = run->flag] {
            return session->run(
                audio, language, translate, duration,
                [poster](double fraction, const QString& text) {
                    poster->post(Report{fraction, text});
                },
                flag);
        },
        [this, run, poster](Outcome<EngineOutput> outcome) {
            poster->flush();
            if (outcome.index() == 1) return fail(run, std::get<1>(outcome));
            finishWithOutput(run, std::get<0>(outcome));
        });
}

void Transcriber::finishWithOutput(std::shared_ptr<Run> run, const EngineOutput& output) {
    std::vector<TranscriptSegment> segments;
    for (const auto& engineSegment : output.segments) {
        const QString text = engineSegment.text.trimmed();
        if (text.isEmpty()) continue;
        segments.push_back({QUuid::createUuid(), engineSegment.start, engineSegment.end, text});
    }
    const PreparedAudio prepared = *run->prepared;

    if (!segments.empty()) {
        run->complete = !output.cancelled;
        if (!output.cancelled) setProgress(1);
        setPreview(QString());
        publishSegments(segments);

        TranscriptDocument document;
        document.id = QUuid::createUuid();
        document.title = sourceName_;
        document.date = currentDateWholeSeconds();
        document.modelName = displayName(run->choice);
        document.language = output.language.isEmpty() ? QStringLiteral("auto") : output.language;
        document.duration = prepared.duration;
        document.partial = output.cancelled;
        document.segments = segments;
        setCurrentDocument(document);

        // The player owns the prepared file from here on.
        run->prepared.reset();
        player_.load(prepared.url);

        bool saved = true;
        try {
            store_.save(document);
        } catch (...) {
            saved = false;
            setIssue(NorvelError::from(std::current_exception()));
        }
        // The notice must not hide that the partial transcript could not be saved.
        if (output.cancelled && saved) {
            setIssue(NorvelError(Kind::cancelled, Texts::q(Texts::cancelledPartial)));
        }
    } else {
        if (output.cancelled) {
            setIssue(NorvelError(Kind::cancelled, Texts::q(Texts::cancelledNoText)));
        } else {
            setIssue(NorvelError(Kind::general, Texts::q(Texts::noSpeech), Texts::q(Texts::noSpeechDetails)));
        }
        run->prepared.reset();
        QFile::remove(prepared.url);
    }
    finish(run);
}

void Transcriber::fail(std::shared_ptr<Run> run, std::exception_ptr error) { fail(run, NorvelError::from(error)); }

void Transcriber::fail(std::shared_ptr<Run> run, const NorvelError& error) {
    setIssue(error);
    // A prepared file that no transcript will play is of no use to anyone.
    if (run->prepared) {
        QFile::remove(run->prepared->url);
        run->prepared.reset();
    }
    finish(run);
}

void Transcriber::finish(std::shared_ptr<Run> run) {
    setPhase(Phase::idle);
    timer_.stop();
    if (isCurrent(run)) run_.reset();
    if (run->isRecording) {
        // Kept for a retry (say after "Download again") until a run with it succeeds.
        if (run->complete) {
            QFile::remove(run->input);
        } else {
            keptRecording_ = run->input;
        }
    }
}

}  // namespace norvel
