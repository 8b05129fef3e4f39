#include "ViewTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QThreadPool>
#include <QUuid>
#include <QVBoxLayout>
#include <QWidget>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "App/Texts.h"
#include "AppTestSupport.h"

#include <gtest/gtest.h>

namespace norvel::test {

namespace {

void touch(const QString& path, const QByteArray& content = QByteArrayLiteral("x")) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write " + path.toStdString());
    file.write(content);
}

void makeCompleteModel(const QString& folder) {
    for (const char* model : {"AudioEncoder", "MelSpectrogram", "TextDecoder"}) {
        const QString compiled = QDir(folder).filePath(QString::fromLatin1(model) + QStringLiteral(".mlmodelc"));
        touch(compiled + QStringLiteral("/model.json"), QByteArrayLiteral("{}"));
        touch(compiled + QStringLiteral("/weights.safetensors"));
    }
}

}  // namespace

// ---- Gate ----

void Gate::open() {
    {
        std::lock_guard lock(mutex_);
        open_ = true;
    }
    changed_.notify_all();
}

void Gate::close() {
    std::lock_guard lock(mutex_);
    open_ = false;
}

bool Gate::pass(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    ++waiting_;
    const bool passed =
        changed_.wait_for(lock, stop, std::chrono::seconds(20), [this] { return open_; }) && !stop.stop_requested();
    --waiting_;
    return passed;
}

bool Gate::isWaiting() const {
    std::lock_guard lock(mutex_);
    return waiting_ > 0;
}

// ---- ScriptedSession ----

void ScriptedSession::load(const QString&, const QString&) {
    ++loads;
    loadGate.pass();
    if (loadError) {
        const std::exception_ptr error = loadError;
        loadError = nullptr;
        std::rethrow_exception(error);
    }
}

EngineOutput ScriptedSession::run(const QString&, const std::optional<QString>&, bool, double,
                                  const ProgressCallback& onProgress, const std::shared_ptr<CancelFlag>& cancel) {
    ++runs;
    std::vector<EngineSegment> produced;
    for (const auto& [fraction, text] : reports) {
        onProgress(fraction, text);
        produced.push_back({0, 30, text});
    }
    // Holds until let go or cancelled, as decoding stops at the next step after a cancel.
    std::stop_source cancelled;
    std::jthread watcher([&cancelled, cancel](std::stop_token stop) {
        while (!stop.stop_requested() && !cancel->value()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (cancel->value()) cancelled.request_stop();
    });
    runGate.pass(cancelled.get_token());
    watcher.request_stop();
    watcher.join();
    if (cancel->value()) return {produced, true, language};
    return {segments, false, language};
}

// ---- SilentOutput ----

void SilentOutput::play() {
    if (noDevice_ && noDevice_->load()) {
        throw NorvelError(NorvelError::Kind::general, Texts::q(Texts::noSoundOutput),
                          Texts::q(Texts::noSoundOutputDetails));
    }
    playing_ = true;
}

// ---- ViewWorld ----

ViewWorld::ViewWorld() {
    const QString root = QString::fromStdString(dir.path().string());
    modelsFolder = root + QStringLiteral("/Models");
    historyFolder = root + QStringLiteral("/History");
    temporaryFolder = root + QStringLiteral("/tmp");
    QDir().mkpath(temporaryFolder);

    models = std::make_unique<ModelStore>(
        modelsFolder,
        [this](const QString& variant, const QString& base, const ModelStore::DownloadReporters& report,
               std::stop_token stop) -> QString {
            for (const auto& [fraction, rate] : downloadReports) report.download(fraction, rate);
            for (const auto& [received, total] : downloadBytes) report.bytes(received, total);
            if (!downloadGate.pass(stop)) throw std::runtime_error("The transfer was stopped.");
            const QString folder = base + QStringLiteral("/models/org/repo/") + variant;
            makeCompleteModel(folder);
            return folder;
        });
    store = std::make_unique<TranscriptStore>(historyFolder, [this](const QString& path, bool select) {
        if (noFileManager) {
            throw NorvelError(NorvelError::Kind::general, Texts::noFileManager(path),
                              Texts::q(Texts::noFileManagerDetails));
        }
        browsed.emplace_back(path, select);
    });
    player = std::make_unique<AudioPlayerController>([this](const QString& path) -> std::unique_ptr<AudioOutput> {
        if (!QFile::exists(path)) return nullptr;
        return std::make_unique<SilentOutput>(preparedDuration.load(), noSoundDevice);
    });
    recorder = std::make_unique<Recorder>(
        access, [this] { return std::make_unique<ScriptedCapture>(&microphone); }, temporaryFolder);
    transcriber = std::make_unique<Transcriber>(
        *models, *store, *player, session,
        [this](const QString&, const AudioPrep::Progress& progress, std::stop_token stop) -> PreparedAudio {
            progress(0.4);
            if (!prepareGate.pass(stop)) throw NorvelError::cancelledError();
            const QString wav = temporaryFolder + QStringLiteral("/Norvel-") +
                                QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".wav");
            touch(wav, QByteArrayLiteral("RIFF"));
            return {wav, preparedDuration.load()};
        });
    transcriber->setSavePanel([this](const QString& proposed) -> std::optional<QString> {
        saveProposals.push_back(proposed);
        return saveDestination;
    });
}

ViewWorld::~ViewWorld() {
    // Every held worker is let go and finished before the services and doubles go away.
    for (Gate* gate : {&prepareGate, &downloadGate, &session->loadGate, &session->runGate}) gate->open();
    if (transcriber) transcriber->cancel();
    QThreadPool::globalInstance()->waitForDone();
    settle();
    transcriber.reset();
    recorder.reset();
    player.reset();
    store.reset();
    models.reset();
    settle();
}

ViewServices ViewWorld::services() { return {*transcriber, *models, *store, *player, *recorder}; }

Desktop ViewWorld::desktop() {
    Desktop desktop;
    desktop.chooseFile = [this](QWidget*, const QStringList& extensions) {
        chooserRequests.push_back(extensions);
        return chosenFile;
    };
    desktop.openUrl = [this](const QUrl& url) { openedUrls.push_back(url); };
    desktop.chooseSaveFile = [this](QWidget* parent, const QString& proposed) {
        saveProposals.push_back(proposed);
        saveParents.push_back(parent);
        return saveDestination;
    };
    desktop.microphoneSettings = microphoneSettings;
    return desktop;
}

std::unique_ptr<QSettings> ViewWorld::settings() const {
    return std::make_unique<QSettings>(QString::fromStdString((dir / "settings.ini").string()), QSettings::IniFormat);
}

void ViewWorld::installModel(ModelChoice choice) {
    makeCompleteModel(modelsFolder + QStringLiteral("/models/org/repo/") + variantFolder(choice));
    models->refresh();
}

QString ViewWorld::inputFile(const QString& name) const {
    const QString path = QString::fromStdString(dir.path().string()) + QStringLiteral("/input/") + name;
    touch(path);
    return path;
}

TranscriptDocument ViewWorld::document(const QString& title, const QDateTime& date, double duration, bool partial,
                                       std::vector<TranscriptSegment> parts) {
    TranscriptDocument document;
    document.id = QUuid::createUuid();
    document.title = title;
    document.date = date;
    document.modelName = QStringLiteral("Balanced (base)");
    document.language = QStringLiteral("en");
    document.duration = duration;
    document.partial = partial;
    document.segments = parts.empty() ? segments({{0, 2.5, QStringLiteral("Good morning.")},
                                                  {2.5, 5.0, QStringLiteral("Let us begin.")},
                                                  {5.0, 9.0, QStringLiteral("The figures first.")}})
                                      : std::move(parts);
    return document;
}

std::vector<TranscriptSegment> ViewWorld::segments(const std::vector<std::tuple<double, double, QString>>& parts) {
    std::vector<TranscriptSegment> result;
    for (const auto& [start, end, text] : parts) result.push_back({QUuid::createUuid(), start, end, text});
    return result;
}

bool ViewWorld::waitIdle() {
    return waitUntil([this] { return transcriber->phase() == Transcriber::Phase::idle; });
}

bool ViewWorld::transcribe(const QString& name, std::vector<EngineSegment> result) {
    installModel(transcriber->modelChoice());
    session->segments = std::move(result);
    transcriber->start(inputFile(name), false);
    return waitIdle();
}

// ---- Host ----

Host::Host() : window_(std::make_unique<QWidget>()) {
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(18, 18, 18, 18);
    layout->setSpacing(14);
    window_->resize(900, 700);
    window_->show();
}

Host::~Host() = default;

void Host::place(QWidget* view) {
    window_->layout()->addWidget(view);
    window_->layout()->activate();
    settle();
}

// ---- Input ----

void click(QWidget* widget, QPoint at) {
    // A user can only click what is on the screen.
    if (widget == nullptr || !widget->isVisible() || widget->rect().isEmpty()) {
        ADD_FAILURE() << "clicked a widget that is not shown";
        return;
    }
    if (at == QPoint(-1, -1)) at = widget->rect().center();
    const QPointF local(at);
    const QPointF global(widget->mapToGlobal(at));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

void pressKey(QWidget* widget, int key, Qt::KeyboardModifiers modifiers) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(widget, &release);
}

void typeText(QWidget* widget, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

void settle() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

}  // namespace norvel::test
