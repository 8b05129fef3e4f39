#include "App/Services/ModelStore.h"

#include "App/Model/AppPaths.h"
#include "App/Model/NorvelError.h"
#include "App/Texts.h"
#include "HalvexCore/HubApiWrapper.h"
#include "Murmex/Model/ModelCheckpoint.h"
#include "Platform/ML/Conversion/ModelInstaller.h"
#include "Platform/ML/ModelFolder.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace norvel {

namespace {

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
    : ModelStore(
          AppPaths::models(),
          [](const QString& variant, const QString& base, const DownloadReporters& report, std::stop_token stop) {
              return WhisperSession::download(variant, base, report.download, std::move(stop), {}, {},
                                              report.conversion, report.bytes);
          },
          parent) {}

ModelStore::ModelStore(QString modelsFolder, Downloader downloader, QObject* parent)
    : ModelStore(
          std::move(modelsFolder),
          [downloader = std::move(downloader)](const QString& variant, const QString& base,
                                               const DownloadReporters& report, std::stop_token stop) {
              return downloader(variant, base, report.download, std::move(stop));
          },
          parent) {}

ModelStore::ModelStore(QString modelsFolder, ConvertingDownloader downloader, QObject* parent)
    : QObject(parent), modelsFolder_(std::move(modelsFolder)), downloader_(std::move(downloader)) {
    AppPaths::ensure(modelsFolder_);
    // A conversion killed part-way may have left a model moved aside, or its staging folder.
    platform::conversion::ModelInstaller::recoverLeftovers(std::filesystem::path(modelsFolder_.toStdString()));
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

QString ModelStore::speedText(double bytesPerSecond) {
    const qint64 bytes = std::isfinite(bytesPerSecond) && bytesPerSecond > 0 ? qint64(bytesPerSecond) : 0;
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat) + QStringLiteral("/s");
}

QString ModelStore::checkpointFolder(const QString& modelsFolder, ModelChoice choice) {
    const auto checkpoint = murmex::ModelCheckpoint::forVariant(variantFolder(choice).toStdString());
    if (!checkpoint) return {};
    // Where the hub client keeps the checkpoint's repository when the Models folder is its base.
    return QDir(modelsFolder)
        .filePath(QString::fromUtf8(halvex::rawValue(halvex::HubApiWrapper::RepoType::models)) + QLatin1Char('/') +
                  QString::fromStdString(checkpoint->repository));
}

std::vector<QString> ModelStore::pathsOf(ModelChoice choice) const {
    std::vector<QString> paths = folders(modelsFolder_, variantFolder(choice));
    const QString checkpoint = checkpointFolder(modelsFolder_, choice);
    if (!checkpoint.isEmpty() && QFileInfo(checkpoint).isDir()) paths.push_back(checkpoint);
    return paths;
}

std::int64_t ModelStore::bytesOnDisk(ModelChoice choice) const {
    std::int64_t total = 0;
    for (const QString& path : pathsOf(choice)) {
        const QFileInfo info(path);
        if (info.isSymLink()) continue;
        if (info.isFile()) total += info.size();
        QDirIterator files(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            files.next();
            const QFileInfo file = files.fileInfo();
            if (!file.isSymLink()) total += file.size();
        }
    }
    return total;
}

std::optional<QString> ModelStore::folderFor(ModelChoice choice) const {
    for (const QString& folder : folders(modelsFolder_, variantFolder(choice))) {
        if (platform::ModelFolder::isComplete(std::filesystem::path(folder.toStdString()))) return folder;
    }
    return std::nullopt;
}

void ModelStore::refresh() {
    std::set<ModelChoice> found;
    std::set<ModelChoice> present;
    for (ModelChoice choice : allModelChoices) {
        if (folderFor(choice)) found.insert(choice);
        for (const QString& path : pathsOf(choice)) {
            const QFileInfo info(path);
            if (!info.isDir() || info.isSymLink() ||
                QDirIterator(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories).hasNext()) {
                present.insert(choice);
                break;
            }
        }
    }
    downloaded_ = std::move(found);
    onDisk_ = std::move(present);
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

void ModelStore::setConverting(bool value) {
    if (converting_ == value) return;
    converting_ = value;
    Q_EMIT convertingChanged();
}

void ModelStore::setSpeedText(const QString& value) {
    if (speedText_ == value) return;
    speedText_ = value;
    Q_EMIT speedTextChanged();
}

void ModelStore::setTransferredBytes(std::optional<std::pair<std::int64_t, std::int64_t>> value) {
    if (bytes_ == value) return;
    bytes_ = value;
    Q_EMIT transferredBytesChanged();
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
    setTransferredBytes(std::nullopt);
    cancelRequested_ = false;
    downloadTask_.emplace();

    using Bytes = std::optional<std::pair<std::int64_t, std::int64_t>>;
    struct Report {
        std::optional<double> fraction;  // nothing: a report of bytes alone
        std::optional<double> rate;
        bool converting;
        Bytes bytes;
    };
    auto poster = ReportPoster<Report>::make(
        this,
        [this](const Report& report) {
            if (!downloadTask_) return;
            if (report.converting && !converting_) {
                // The transfer is over: the bar now measures the conversion, without a rate.
                setSpeedText(QString());
                setTransferredBytes(std::nullopt);
                setConverting(true);
            }
            if (report.fraction) setProgress(*report.fraction);
            if (report.rate && !converting_) setSpeedText(speedText(*report.rate));
            if (report.bytes && !converting_) setTransferredBytes(report.bytes);
        },
        [](const Report& pending, const Report& incoming) {
            if (incoming.converting != pending.converting) return incoming;
            return Report{incoming.fraction ? incoming.fraction : pending.fraction,
                          incoming.rate ? incoming.rate : pending.rate, incoming.converting,
                          incoming.bytes ? incoming.bytes : pending.bytes};
        });
    const auto clamped = [](double fraction) { return std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0; };
    DownloadReporters reporters;
    reporters.download = [poster, clamped](double fraction, std::optional<double> rate) {
        poster->post(Report{clamped(fraction), rate, false, std::nullopt});
    };
    reporters.conversion = [poster, clamped](double fraction) {
        poster->post(Report{clamped(fraction), std::nullopt, true, std::nullopt});
    };
    reporters.bytes = [poster](std::int64_t received, std::int64_t total) {
        if (total <= 0) return;
        poster->post(
            Report{std::nullopt, std::nullopt, false, std::pair(std::clamp<std::int64_t>(received, 0, total), total)});
    };

    runInBackground(
        this,
        [downloader = downloader_, variant = variantFolder(choice), base = modelsFolder_, reporters,
         stop = downloadTask_->get_token()] { return downloader(variant, base, reporters, stop); },
        [this, poster, done = std::move(done)](Outcome<QString> outcome) {
            poster->flush();
            const bool cancelled = cancelRequested_;
            setDownloading(std::nullopt);
            setSpeedText(QString());
            setTransferredBytes(std::nullopt);
            setConverting(false);
            downloadTask_.reset();
            // A cancelled or failed download may have left files that take space.
            refresh();
            if (outcome.index() == 0) {
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
    for (const QString& folder : pathsOf(choice)) {
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
