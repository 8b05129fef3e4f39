#include "App/Services/WhisperSession.h"

#include "App/Model/NorvelError.h"
#include "App/Texts.h"
#include "HalvexCore/External/Hub/Progress.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/MurmexConfig.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/ML/AudioWindow.h"

#include <algorithm>
#include <cmath>

namespace norvel {

namespace {

// Seconds of audio in one model window.
constexpr double windowSeconds = platform::audiowindow::seconds;

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The highest progress fraction reported in a run: a window decoded again at a higher
// temperature starts its token count anew, and the bar must not jump back with it.
class Reached {
public:
    double raise(double fraction) {
        std::lock_guard lock(mutex_);
        highest_ = std::max(highest_, fraction);
        return highest_;
    }

private:
    std::mutex mutex_;
    double highest_ = 0;
};

}  // namespace

// ---- SpeedMeter ----

SpeedMeter::SpeedMeter() : SpeedMeter(&steadySeconds) {}

SpeedMeter::SpeedMeter(Clock clock) : clock_(std::move(clock)) {}

std::optional<double> SpeedMeter::update(std::int64_t bytes) {
    std::lock_guard lock(mutex_);
    const double now = clock_();
    if (!lastTime_) {
        lastTime_ = now;
        lastBytes_ = bytes;
        return std::nullopt;
    }
    const double elapsed = now - *lastTime_;
    if (elapsed >= 0.5) {
        const double delta = double(bytes - lastBytes_);
        lastTime_ = now;
        lastBytes_ = bytes;
        const double rate = delta / elapsed;
        if (rate >= 0) smoothed_ = smoothed_ == 0 ? rate : 0.4 * rate + 0.6 * smoothed_;
    }
    if (smoothed_ > 0) return smoothed_;
    return std::nullopt;
}

// ---- WhisperSession ----

WhisperSession::WhisperSession()
    : WhisperSession([](const murmex::MurmexConfig& config) -> std::shared_ptr<murmex::Murmex> {
          return murmex::Murmex::create(config);
      }) {}

WhisperSession::WhisperSession(PipelineFactory factory) : factory_(std::move(factory)) {}

WhisperSession::~WhisperSession() = default;

void WhisperSession::load(const QString& modelFolder, const QString& tokenizerBase) {
    if (kit_ && loadedFolder_ == modelFolder) return;
    kit_.reset();
    loadedFolder_.clear();

    // The library's defaults, but for the folder to load from and prewarming and loading it at
    // once, with nothing downloaded.
    auto kit = factory_(murmex::MurmexConfig({.modelFolder = modelFolder.toStdString(),
                                              .tokenizerFolder = std::filesystem::path(tokenizerBase.toStdString()),
                                              .prewarm = true,
                                              .load = true,
                                              .download = false}));
    kit_ = std::move(kit);
    loadedFolder_ = modelFolder;
}

murmex::DecodingOptions WhisperSession::decodingOptions(const std::optional<QString>& language, bool translate) {
    // The library's defaults, but for the task and language asked for, detection when no
    // language is given, and a text without special tokens.
    return murmex::DecodingOptions{
        .task = translate ? murmex::DecodingTask::translate : murmex::DecodingTask::transcribe,
        .language = language ? std::optional(language->toStdString()) : std::nullopt,
        .detectLanguage = !language.has_value(),
        .skipSpecialTokens = true,
    };
}

double WhisperSession::progressFraction(std::size_t tokens, int window, double duration) {
    const double effective = duration <= 1 ? 1 : duration;
    const double within = std::min(double(tokens) / 200.0, 0.95);
    const double fraction = std::min((within + window) * windowSeconds / effective, 0.99);
    return std::isnan(fraction) ? 0.99 : fraction;
}

std::vector<EngineSegment> WhisperSession::fromWindows(const WindowTexts& texts, double duration) {
    std::vector<EngineSegment> segments;
    for (const auto& [window, raw] : texts.all()) {
        const QString text = raw.trimmed();
        if (text.isEmpty()) continue;
        double start = window * windowSeconds;
        double end = start + windowSeconds;
        if (duration > 0) {
            end = std::min(end, duration);
            start = std::min(start, duration);
        }
        segments.push_back({start, end, text});
    }
    return segments;
}

EngineOutput WhisperSession::run(const QString& audio, const std::optional<QString>& language, bool translate,
                                 double duration, const ProgressCallback& onProgress,
                                 const std::shared_ptr<CancelFlag>& cancel) {
    if (!kit_) {
        throw NorvelError(NorvelError::Kind::general, Texts::q(Texts::modelNotLoaded),
                          Texts::q(Texts::modelNotLoadedDetails));
    }
    const murmex::DecodingOptions options = decodingOptions(language, translate);
    auto windows = std::make_shared<WindowTexts>();
    auto reached = std::make_shared<Reached>();
    const QString requested = language.value_or(QString());

    murmex::TranscriptionProgressCallback callback =
        [windows, reached, onProgress, cancel,
         duration](const murmex::TranscriptionProgress& progress) -> std::optional<bool> {
        // What the user saw when cancelling is what is kept: later reports change nothing.
        if (cancel->value()) return false;
        const QString text = QString::fromStdString(progress.text);
        windows->store(progress.windowId, text);
        const double fraction = reached->raise(progressFraction(progress.tokens.size(), progress.windowId, duration));
        if (onProgress) onProgress(fraction, text);
        return true;
    };

    murmex::Murmex::Results results;
    try {
        results = kit_->transcribe(audio.toStdString(), std::nullopt, options, callback, cancel->token());
    } catch (...) {
        if (!cancel->value()) throw;
        return EngineOutput{fromWindows(*windows, duration), true, requested};
    }

    EngineOutput output;
    for (const auto& result : results) {
        if (!result) continue;
        for (const auto& segment : result->segments()) {
            output.segments.push_back(
                {double(segment.start), double(segment.end), QString::fromStdString(segment.text)});
        }
    }
    output.language =
        !results.empty() && results.front() ? QString::fromStdString(results.front()->language()) : requested;
    output.cancelled = cancel->value();
    if (output.cancelled && output.segments.empty()) output.segments = fromWindows(*windows, duration);
    return output;
}

QString WhisperSession::download(const QString& variant, const QString& base, const DownloadProgress& progress,
                                 std::stop_token stop, const QString& endpoint, const QString& repository,
                                 const std::function<void(double)>& conversion, const ByteProgress& bytes) {
    auto meter = std::make_shared<SpeedMeter>();
    const murmex::Murmex::DownloadProgressCallback adapter = [meter, progress, conversion,
                                                              bytes](const halvex::Progress& report) {
        if (report.fileOperationKind() == halvex::Progress::FileOperationKind::converting) {
            if (conversion) conversion(report.fractionCompleted());
            return;
        }
        std::optional<double> rate;
        // A progress of files counts a hundred units each; one of bytes counts far more.
        const bool countsBytes = report.totalUnitCount() > 100000;
        if (countsBytes) rate = meter->update(report.completedUnitCount());
        if (progress) progress(report.fractionCompleted(), rate);
        if (countsBytes && bytes) bytes(report.completedUnitCount(), report.totalUnitCount());
    };
    const std::string repo =
        repository.isEmpty() ? std::string(murmex::Murmex::defaultModelRepository) : repository.toStdString();
    const std::string host = endpoint.isEmpty() ? murmex::Constants::defaultRemoteEndpoint() : endpoint.toStdString();
    const std::filesystem::path folder =
        murmex::Murmex::download(variant.toStdString(), std::filesystem::path(base.toStdString()), false, repo,
                                 std::nullopt, host, adapter, std::move(stop));
    return QString::fromStdString(folder.string());
}

}  // namespace norvel
