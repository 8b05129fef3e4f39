#include "App/Services/ModelStore.h"

#include "App/Model/AppPaths.h"
#include "App/Model/NorvelError.h"
#include "App/Texts.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <cmath>

namespace norvel {

namespace {

const char* const modelNames[] = {"AudioEncoder", "MelSpectrogram", "TextDecoder"};

bool exists(const QString& path) { return QFileInfo::exists(path); }

void walk(const QString& folder, int level, const QString& name, std::vector<QString>& found) {
    QDir dir(folder);
    const QStringList entries = dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& entry : entries) {
        if (entry.startsWith(QLatin1Char('.'))) continue;
        const QString path = dir.filePath(entry);
        if (entry == name) {
            found.push_back(path);
            continue;
        }
        const QFileInfo info(path);
        if (level < 7 && info.isDir() && !info.isSymLink()) walk(path, level + 1, name, found);
    }
}

}  // namespace

ModelStore::ModelStore(QObject* parent)
    : ModelStore(AppPaths::models(),
                 [](const QString& variant, const QString& base, const WhisperSession::DownloadProgress& progress,
                    std::stop_token stop) { return WhisperSession::download(variant, base, progress, std::move(stop)); },
                 parent) {}

ModelStore::ModelStore(QString modelsFolder, Downloader downloader, QObject* parent)
    : QObject(parent), modelsFolder_(std::move(modelsFolder)), downloader_(std::move(downloader)) {
    AppPaths::ensure(modelsFolder_);
    refresh();
}

ModelStore::~ModelStore() {
    if (downloadTask_) downloadTask_->request_stop();
}

std::vector<QString> ModelStore::folders(const QString& root, const QString& name) {
    std::vector<QString> found;
    walk(root, 1, name, found);
    return found;
}

bool ModelStore::isComplete(const QString& folder) {
    const QDir dir(folder);
    for (const char* model : modelNames) {
        const QString compiled = dir.filePath(QString::fromLatin1(model) + QStringLiteral(".mlmodelc"));
        const QString package = dir.filePath(QString::fromLatin1(model) + QStringLiteral(".mlpackage"));
        // An interrupted download leaves the model's folder without all of its files.
        const bool compiledWhole = exists(compiled + QStringLiteral("/model.json")) &&
                                   exists(compiled + QStringLiteral("/weights.safetensors"));
        const bool packageWhole = exists(package + QStringLiteral("/Data/com.apple.CoreML/model.mlmodel"));
        if (!compiledWhole && !packageWhole) return false;
    }
    return true;
}

QString ModelStore::speedText(double bytesPerSecond) {
    const qint64 bytes = std::isfinite(bytesPerSecond) && bytesPerSecond > 0 ? qint64(bytesPerSecond) : 0;
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat) + QStringLiteral("/s");
}

std::optional<QString> ModelStore::folderFor(ModelChoice choice) const {
    for (const QString& folder : folders(modelsFolder_, variantFolder(choice))) {
        if (isComplete(folder)) return folder;
    }
    return std::nullopt;
}

void ModelStore::refresh() {
    std::set<ModelChoice> found;
    for (ModelChoice choice : allModelChoices) {
        if (folderFor(choice)) found.insert(choice);
    }
    downloaded_ = std::move(found);
    Q_EMIT downloadedChanged();
}

void ModelStore::setDownloading(std::optional<ModelChoice> value) {
    if (downloading_ == value) return;
    downloading_ = value;
    Q_EMIT downloadingChanged();
}

void ModelStore::setProgress(double value) {
    if (progress_ == value) return;
    progress_ = value;
    Q_EMIT progressChanged();
}

void ModelStore::setSpeedText(const QString& value) {
    if (speedText_ == value) return;
    speedText_ = value;
    Q_EMIT speedTextChanged();
}

void ModelStore::ensureDownloaded(ModelChoice choice, Completion done) {
    if (auto folder = folderFor(choice)) {
        done(*folder);
        return;
    }
    if (downloading_) {
        done(std::make_exception_ptr(NorvelError(NorvelError::Kind::general, Texts::q(Texts::anotherDownload))));
        return;
    }
    AppPaths::ensure(modelsFolder_);
    setDownloading(choice);
    setProgress(0);
    setSpeedText(QString());
    cancelRequested_ = false;
    downloadTask_.emplace();

    struct Report {
        double fraction;
        std::optional<double> rate;
    };
    auto poster = ReportPoster<Report>::make(
        this,
        [this](const Report& report) {
            if (!downloadTask_) return;
            setProgress(report.fraction);
            if (report.rate) setSpeedText(speedText(*report.rate));
        },
        [](const Report& pending, const Report& incoming) {
            return Report{incoming.fraction, incoming.rate ? incoming.rate : pending.rate};
        });
    const WhisperSession::DownloadProgress progress = [poster](double fraction, std::optional<double> rate) {
        poster->post(Report{std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0, rate});
    };

    runInBackground(
        this,
        [downloader = downloader_, variant = variantFolder(choice), base = modelsFolder_, progress,
         stop = downloadTask_->get_token()] { return downloader(variant, base, progress, stop); },
        [this, poster, done = std::move(done)](Outcome<QString> outcome) {
            poster->flush();
            const bool cancelled = cancelRequested_;
            setDownloading(std::nullopt);
            setSpeedText(QString());
            downloadTask_.reset();
            if (outcome.index() == 0) {
                refresh();
                done(std::move(outcome));
            } else if (cancelled) {
                done(std::make_exception_ptr(
                    NorvelError(NorvelError::Kind::cancelled, Texts::q(Texts::downloadCancelled))));
            } else {
                done(std::move(outcome));
            }
        });
}

void ModelStore::cancelDownload() {
    if (!downloadTask_) return;
    cancelRequested_ = true;
    downloadTask_->request_stop();
}

void ModelStore::remove(ModelChoice choice) {
    for (const QString& folder : folders(modelsFolder_, variantFolder(choice))) {
        const QFileInfo info(folder);
        if (info.isDir() && !info.isSymLink()) {
            QDir(folder).removeRecursively();
        } else {
            QFile::remove(folder);
        }
    }
    refresh();
}

}  // namespace norvel
