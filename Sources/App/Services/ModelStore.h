#pragma once

#include "App/Model/ModelChoice.h"
#include "App/Services/Background.h"
#include "App/Services/WhisperSession.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stop_token>
#include <vector>

namespace norvel {

// The downloaded models: which choices have a complete folder below the Models folder (by the
// runtime's rule for a model folder), the folder of a choice, downloading a missing choice (with
// progress, rate and cancellation) and deleting a choice's files. Lives on the GUI thread.
class ModelStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::set<norvel::ModelChoice> downloaded READ downloaded NOTIFY downloadedChanged)
    Q_PROPERTY(std::optional<norvel::ModelChoice> downloading READ downloading NOTIFY downloadingChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(QString speedText READ speedText NOTIFY speedTextChanged)
    Q_PROPERTY(bool converting READ converting NOTIFY convertingChanged)

public:
    // Downloads a variant folder below `base` and returns its local folder; runs on a worker.
    using Downloader = std::function<QString(const QString& variant, const QString& base,
                                             const WhisperSession::DownloadProgress& progress, std::stop_token stop)>;
    // Where a download reports: the transfer (fraction and rate), then the conversion of what
    // was transferred into the runtime's format (fraction), when there is one.
    struct DownloadReporters {
        WhisperSession::DownloadProgress download;
        std::function<void(double fraction)> conversion;
    };
    using ConvertingDownloader = std::function<QString(const QString& variant, const QString& base,
                                                       const DownloadReporters& report, std::stop_token stop)>;
    // The bytes a download of the variant below `base` would fetch, as the hub says now; runs
    // on a worker and may fail (no network), which keeps the size known beforehand.
    using SizeLookup = std::function<std::int64_t(const QString& variant, const QString& base)>;
    using Completion = std::function<void(Outcome<QString>)>;

    // The Models folder of the data folder, downloading from the model repository, and
    // asking the hub for the real download sizes.
    explicit ModelStore(QObject* parent = nullptr);
    // Another Models folder and download (tests use both). Creates the folder and looks for
    // the downloaded models.
    ModelStore(QString modelsFolder, Downloader downloader, QObject* parent = nullptr);
    // The same with a download that converts, and a way of asking for download sizes (none:
    // the sizes known beforehand stay).
    ModelStore(QString modelsFolder, ConvertingDownloader downloader, SizeLookup sizes, QObject* parent = nullptr);
    // A download still running is asked to stop; its answer goes to nobody.
    ~ModelStore() override;

    // The choices that have a complete local folder.
    const std::set<ModelChoice>& downloaded() const { return downloaded_; }
    bool isDownloaded(ModelChoice choice) const { return downloaded_.count(choice) != 0; }
    // The choice being downloaded now.
    std::optional<ModelChoice> downloading() const { return downloading_; }
    // The current (or last) download's fraction done; not reset when a download ends.
    double progress() const { return progress_; }
    // The transfer rate, such as "3.2 MB/s"; empty when there is none.
    const QString& speedText() const { return speedText_; }
    const QString& modelsFolder() const { return modelsFolder_; }
    // Whether a download runs (and so can be cancelled).
    bool hasDownloadTask() const { return downloadTask_.has_value(); }
    // Whether the running download has moved on to converting what it fetched; `progress` then
    // measures the conversion.
    bool converting() const { return converting_; }
    // The bytes the choice's download fetches: known beforehand, then as the hub lists them.
    std::int64_t downloadBytes(ModelChoice choice) const;
    // "about 154 MB", from downloadBytes().
    QString sizeLabel(ModelChoice choice) const;
    // Asks the hub for every choice's download size in the background; each answer that
    // arrives replaces the size known beforehand and signals sizesChanged().
    void refreshDownloadSizes();

    // Recomputes `downloaded`.
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
    // Deletes every local folder of the choice, complete or not, then refreshes.
    void remove(ModelChoice choice);

    // Every entry named `name` below `root`, down to the seventh level, in name order; hidden
    // entries are skipped with all they hold, and a match is not looked into.
    static std::vector<QString> folders(const QString& root, const QString& name);
    // "3.2 MB/s" for 3200000 bytes per second.
    static QString speedText(double bytesPerSecond);

Q_SIGNALS:
    void downloadedChanged();
    void downloadingChanged();
    void progressChanged();
    void speedTextChanged();
    void convertingChanged();
    void sizesChanged();

private:
    void setDownloading(std::optional<ModelChoice> value);
    void setProgress(double value);
    void setSpeedText(const QString& value);
    void setConverting(bool value);

    QString modelsFolder_;
    ConvertingDownloader downloader_;
    SizeLookup sizeLookup_;
    std::map<ModelChoice, std::int64_t> downloadBytes_;
    bool converting_ = false;
    std::set<ModelChoice> downloaded_;
    std::optional<ModelChoice> downloading_;
    double progress_ = 0;
    QString speedText_;
    std::optional<std::stop_source> downloadTask_;
    bool cancelRequested_ = false;
};

}  // namespace norvel
