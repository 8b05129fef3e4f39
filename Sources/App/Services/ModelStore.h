#pragma once

#include "App/Model/ModelChoice.h"
#include "App/Services/Background.h"
#include "App/Services/WhisperSession.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <stop_token>
#include <utility>
#include <vector>

namespace norvel {

// The downloaded models: which choices have a complete folder below the Models folder (by the
// runtime's rule for a model folder), the folder of a choice, downloading a missing choice (with
// progress, byte count, rate and cancellation) and deleting a choice's files. Lives on the GUI
// thread.
class ModelStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::set<norvel::ModelChoice> downloaded READ downloaded NOTIFY downloadedChanged)
    Q_PROPERTY(std::set<norvel::ModelChoice> onDisk READ onDisk NOTIFY downloadedChanged)
    Q_PROPERTY(std::optional<norvel::ModelChoice> downloading READ downloading NOTIFY downloadingChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(QString speedText READ speedText NOTIFY speedTextChanged)
    Q_PROPERTY(bool converting READ converting NOTIFY convertingChanged)

public:
    // Downloads a variant folder below `base` and returns its local folder; runs on a worker.
    using Downloader = std::function<QString(const QString& variant, const QString& base,
                                             const WhisperSession::DownloadProgress& progress, std::stop_token stop)>;
    // Where a download reports: the transfer (fraction and rate, and the bytes received of the
    // total when it counts bytes), then the conversion of what was transferred into the
    // runtime's format (fraction), when there is one.
    struct DownloadReporters {
        WhisperSession::DownloadProgress download;
        std::function<void(double fraction)> conversion;
        WhisperSession::ByteProgress bytes;
    };
    using ConvertingDownloader = std::function<QString(const QString& variant, const QString& base,
                                                       const DownloadReporters& report, std::stop_token stop)>;
    using Completion = std::function<void(Outcome<QString>)>;

    // The Models folder of the data folder, downloading from the model repository. Nothing is
    // asked of the network before a download.
    explicit ModelStore(QObject* parent = nullptr);
    // Another Models folder and download (tests use both). Creates the folder and looks for
    // the downloaded models.
    ModelStore(QString modelsFolder, Downloader downloader, QObject* parent = nullptr);
    // The same with a download that converts.
    ModelStore(QString modelsFolder, ConvertingDownloader downloader, QObject* parent = nullptr);
    // A download still running is asked to stop; its answer goes to nobody.
    ~ModelStore() override;

    // The choices that have a complete local folder.
    const std::set<ModelChoice>& downloaded() const { return downloaded_; }
    bool isDownloaded(ModelChoice choice) const { return downloaded_.count(choice) != 0; }
    // The choices that hold any file on disk: a complete folder, a folder left incomplete, or
    // the files of their checkpoint (a partial download, or what a failed conversion left).
    const std::set<ModelChoice>& onDisk() const { return onDisk_; }
    bool isOnDisk(ModelChoice choice) const { return onDisk_.count(choice) != 0; }
    // The bytes the choice's files take: its folders and its checkpoint's files.
    std::int64_t bytesOnDisk(ModelChoice choice) const;
    // The choice being downloaded now.
    std::optional<ModelChoice> downloading() const { return downloading_; }
    // The current (or last) download's fraction done; not reset when a download ends.
    double progress() const { return progress_; }
    // The transfer rate, such as "3.2 MB/s"; empty when there is none.
    const QString& speedText() const { return speedText_; }
    // The bytes received and the bytes to receive of the running transfer; nothing while the
    // transfer does not count bytes, or converts.
    const std::optional<std::pair<std::int64_t, std::int64_t>>& transferredBytes() const { return bytes_; }
    const QString& modelsFolder() const { return modelsFolder_; }
    // Whether a download runs (and so can be cancelled).
    bool hasDownloadTask() const { return downloadTask_.has_value(); }
    // Whether the running download has moved on to converting what it fetched; `progress` then
    // measures the conversion.
    bool converting() const { return converting_; }
    // Recomputes `downloaded` and `onDisk`.
    void refresh();
    // The first complete local folder of the choice: complete by the runtime's rule
    // (platform::ModelFolder::isComplete), so that the folder loads.
    std::optional<QString> folderFor(ModelChoice choice) const;
    // Calls `done` with a folder that holds the choice's models, downloading them first when no
    // complete folder exists: at once when one exists or another download runs ("Another
    // model is already downloading."), otherwise on the GUI thread when the download ends.
    // A cancelled download ends with "The model download was cancelled.".
    void ensureDownloaded(ModelChoice choice, Completion done);
    // Cancels the running download, if any; its completion then reports the cancellation.
    void cancelDownload();
    // Deletes every local folder of the choice, complete or not, and its checkpoint's files,
    // then refreshes.
    void remove(ModelChoice choice);

    // Every entry named `name` below `root`, down to the seventh level, in name order; hidden
    // entries are skipped with all they hold, and a match is not looked into.
    static std::vector<QString> folders(const QString& root, const QString& name);
    // The folder below `modelsFolder` where the choice's checkpoint is downloaded before it is
    // converted; empty for a choice that is not made from a checkpoint.
    static QString checkpointFolder(const QString& modelsFolder, ModelChoice choice);
    // "3.2 MB/s" for 3200000 bytes per second.
    static QString speedText(double bytesPerSecond);

Q_SIGNALS:
    void downloadedChanged();
    void downloadingChanged();
    void progressChanged();
    void speedTextChanged();
    void convertingChanged();
    void transferredBytesChanged();

private:
    void setDownloading(std::optional<ModelChoice> value);
    void setProgress(double value);
    void setSpeedText(const QString& value);
    void setConverting(bool value);
    void setTransferredBytes(std::optional<std::pair<std::int64_t, std::int64_t>> value);
    // Every file and folder the choice has on disk.
    std::vector<QString> pathsOf(ModelChoice choice) const;

    QString modelsFolder_;
    ConvertingDownloader downloader_;
    bool converting_ = false;
    std::set<ModelChoice> downloaded_;
    std::set<ModelChoice> onDisk_;
    std::optional<ModelChoice> downloading_;
    double progress_ = 0;
    QString speedText_;
    std::optional<std::pair<std::int64_t, std::int64_t>> bytes_;
    std::optional<std::stop_source> downloadTask_;
    bool cancelRequested_ = false;
};

}  // namespace norvel
