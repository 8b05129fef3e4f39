#include "App/Services/ModelStore.h"

#include "App/Model/AppPaths.h"
#include "App/Model/NorvelError.h"
#include "App/Texts.h"
#include "HalvexCore/HubApiWrapper.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/ModelCheckpoint.h"
#include "Murmex/Pipeline/CheckpointDownload.h"
#include "Platform/ML/ModelFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>

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
                                              report.conversion);
          },
          [](const QString& variant, const QString& base) -> std::int64_t {
              const auto checkpoint = murmex::ModelCheckpoint::forVariant(variant.toStdString());
              if (!checkpoint) throw std::runtime_error("No checkpoint is known for " + variant.toStdString());
              // The hub's address as the hub client takes it: HF_ENDPOINT when set.
              const halvex::HubApiWrapper hub(std::filesystem::path(base.toStdString()), std::nullopt,
                                              halvex::HubApi::hfEndpointfromEnv(), false);
              return murmex::CheckpointDownload::downloadSize(*checkpoint, hub);
          },
          parent) {
    refreshDownloadSizes();
}

ModelStore::ModelStore(QString modelsFolder, Downloader downloader, QObject* parent)
    : ModelStore(
          std::move(modelsFolder),
          [downloader = std::move(downloader)](const QString& variant, const QString& base,
                                               const DownloadReporters& report, std::stop_token stop) {
              return downloader(variant, base, report.download, std::move(stop));
          },
          SizeLookup(), parent) {}

ModelStore::ModelStore(QString modelsFolder, ConvertingDownloader downloader, SizeLookup sizes, QObject* parent)
    : QObject(parent),
      modelsFolder_(std::move(modelsFolder)),
      downloader_(std::move(downloader)),
      sizeLookup_(std::move(sizes)) {
    for (ModelChoice choice : allModelChoices) downloadBytes_[choice] = knownDownloadBytes(choice);
    AppPaths::ensure(modelsFolder_);
    refresh();
}

std::int64_t ModelStore::downloadBytes(ModelChoice choice) const {
    const auto found = downloadBytes_.find(choice);
    return found == downloadBytes_.end() ? knownDownloadBytes(choice) : found->second;
}

QString ModelStore::sizeLabel(ModelChoice choice) const { return sizeLabelForBytes(downloadBytes(choice)); }

void ModelStore::refreshDownloadSizes() {
    if (!sizeLookup_) return;
    for (ModelChoice choice : allModelChoices) {
        runInBackground(
            this,
            [lookup = sizeLookup_, variant = variantFolder(choice), base = modelsFolder_] {
                return lookup(variant, base);
            },
            [this, choice](Outcome<std::int64_t> outcome) {
                if (outcome.index() != 0 || std::get<0>(outcome) <= 0) return;  // keeps the size known beforehand
                if (downloadBytes_[choice] == std::get<0>(outcome)) return;
                downloadBytes_[choice] = std::get<0>(outcome);
                Q_EMIT sizesChanged();
            });
    }
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

std::optional<QString> ModelStore::folderFor(ModelChoice choice) const {
    for (const QString& folder : folders(modelsFolder_, variantFolder(choice))) {
        if (platform::ModelFolder::isComplete(std::filesystem::path(folder.toStdString()))) return folder;
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
        bool converting;
    };
    auto poster = ReportPoster<Report>::make(
        this,
        [this](const Report& report) {
            if (!downloadTask_) return;
            if (report.converting && !converting_) {
                // The transfer is over: the bar now measures the conversion, without a rate.
                setSpeedText(QString());
                setConverting(true);
            }
            setProgress(report.fraction);
            if (report.rate && !converting_) setSpeedText(speedText(*report.rate));
        },
        [](const Report& pending, const Report& incoming) {
            if (incoming.converting != pending.converting) return incoming;
            return Report{incoming.fraction, incoming.rate ? incoming.rate : pending.rate, incoming.converting};
        });
    const auto clamped = [](double fraction) { return std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0; };
    DownloadReporters reporters;
    reporters.download = [poster, clamped](double fraction, std::optional<double> rate) {
        poster->post(Report{clamped(fraction), rate, false});
    };
    reporters.conversion = [poster, clamped](double fraction) {
        poster->post(Report{clamped(fraction), std::nullopt, true});
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
            setConverting(false);
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
