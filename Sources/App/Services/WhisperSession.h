#pragma once

#include "Murmex/Model/DecodingOptions.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

namespace murmex {
class Murmex;
class MurmexConfig;
}  // namespace murmex

namespace norvel {

// The user's request to cancel one transcription: set on the GUI thread, read by the speech
// library's progress callback, and handed to the library as the run's stop request, so that
// the decoder stops before its next prediction. Only ever set, never cleared.
class CancelFlag {
public:
    void set() {
        {
            std::lock_guard lock(mutex_);
            value_ = true;
        }
        stop_.request_stop();
    }
    bool value() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    // Requested once the flag is set.
    std::stop_token token() const { return stop_.get_token(); }

private:
    mutable std::mutex mutex_;
    bool value_ = false;
    std::stop_source stop_;
};

// The latest text reported for each 30-second window of a run.
class WindowTexts {
public:
    void store(int window, QString text) {
        std::lock_guard lock(mutex_);
        texts_[window] = std::move(text);
    }
    // (window, text) pairs by ascending window.
    std::vector<std::pair<int, QString>> all() const {
        std::lock_guard lock(mutex_);
        return {texts_.begin(), texts_.end()};
    }

private:
    mutable std::mutex mutex_;
    std::map<int, QString> texts_;
};

// A download's smoothed transfer rate.
class SpeedMeter {
public:
    using Clock = std::function<double()>;  // seconds on a steady clock

    SpeedMeter();
    explicit SpeedMeter(Clock clock);

    // Takes the total bytes received so far; returns the smoothed rate in bytes per second, or
    // nothing while there is none. The first count taken is where the meter starts (bytes a
    // resumed download already had do not count as received); the rate is measured over at
    // least half a second and smoothed as 0.4 × new + 0.6 × old; a count that went backwards
    // changes nothing.
    std::optional<double> update(std::int64_t bytes);

private:
    std::mutex mutex_;
    Clock clock_;
    std::optional<double> lastTime_;
    std::int64_t lastBytes_ = 0;
    double smoothed_ = 0;
};

// One transcribed stretch as the library produced it (text not trimmed).
struct EngineSegment {
    double start = 0;
    double end = 0;
    QString text;

    friend bool operator==(const EngineSegment&, const EngineSegment&) = default;
};

// The result of one transcription.
struct EngineOutput {
    std::vector<EngineSegment> segments;
    bool cancelled = false;  // the cancel flag was set when the run ended
    QString language;        // the detected or requested language; may be empty
};

// What the transcriber needs of a speech engine: load a model folder, transcribe a prepared
// file. Both block and run on a worker thread, one call at a time.
class SpeechSession {
public:
    using ProgressCallback = std::function<void(double fraction, const QString& text)>;

    virtual ~SpeechSession() = default;
    // Makes the engine ready for the model folder, unless it already is.
    virtual void load(const QString& modelFolder, const QString& tokenizerBase) = 0;
    // Transcribes a prepared 16 kHz WAV file. `onProgress` may be called from any thread, many
    // times a second; its fraction never goes back. After the flag is set the output holds
    // what was transcribed until then.
    virtual EngineOutput run(const QString& audio, const std::optional<QString>& language, bool translate,
                             double duration, const ProgressCallback& onProgress,
                             const std::shared_ptr<CancelFlag>& cancel) = 0;
};

// The application's gateway to the speech library: one pipeline per model folder, kept while
// the same folder is asked for, fixed decoding options, progress and cancellation.
class WhisperSession : public SpeechSession {
public:
    using DownloadProgress = std::function<void(double fraction, std::optional<double> bytesPerSecond)>;
    // The bytes received so far and the bytes the whole transfer takes.
    using ByteProgress = std::function<void(std::int64_t received, std::int64_t total)>;
    // Builds a pipeline from its configuration; the standard one is murmex::Murmex::create.
    using PipelineFactory = std::function<std::shared_ptr<murmex::Murmex>(const murmex::MurmexConfig&)>;

    WhisperSession();
    // With pipelines of another kind (tests use pipelines over scripted stages).
    explicit WhisperSession(PipelineFactory factory);
    ~WhisperSession() override;

    // Builds the pipeline for the folder (prewarmed and loaded, nothing downloaded but the
    // tokenizer files when they are missing), unless the loaded one is for the same folder.
    // The old pipeline is dropped first; a failure is passed on and leaves the session empty.
    void load(const QString& modelFolder, const QString& tokenizerBase) override;
    // Fails with NorvelError "The model is not loaded." before a successful load. Setting the
    // flag stops the library's run, which returns what it transcribed until then (the window
    // being decoded included); a failure after the flag was set, and an empty result after
    // it, give the window texts as segments. Window texts and progress stay as they were when
    // the flag was set. The reported fraction only grows, also when a window is decoded again
    // at a higher temperature.
    EngineOutput run(const QString& audio, const std::optional<QString>& language, bool translate, double duration,
                     const ProgressCallback& onProgress, const std::shared_ptr<CancelFlag>& cancel) override;

    // The folder the loaded pipeline was built from; empty when none is loaded.
    QString loadedFolder() const { return loadedFolder_; }

    // Downloads one variant folder of the model repository below `base` and returns its local
    // folder. `progress` gets the fraction done and, when the progress counts bytes, the rate;
    // `bytes` then gets the bytes received of the total. A variant fetched as a checkpoint and
    // converted here reports the conversion's fraction to `conversion` (to nobody when it is
    // empty). Without an endpoint it downloads from the hub the hub client would ask:
    // HF_ENDPOINT when that is set, otherwise the model hub itself. Fails with the hub client's
    // errors (halvex::CancellationError once `stop` is requested).
    static QString download(const QString& variant, const QString& base, const DownloadProgress& progress,
                            std::stop_token stop = {}, const QString& endpoint = {}, const QString& repository = {},
                            const std::function<void(double)>& conversion = {}, const ByteProgress& bytes = {});

    // The options of every run.
    static murmex::DecodingOptions decodingOptions(const std::optional<QString>& language, bool translate);
    // The progress fraction after `tokens` tokens of window `window` of a file of `duration`
    // seconds: each window counts as 30 s and saturates at 95 % after 190 tokens; at most 0.99.
    static double progressFraction(std::size_t tokens, int window, double duration);
    // Segments from the window texts after a cancel: one per window with text, 30 s each,
    // ending no later than the audio. A window that would start beyond the end of the audio
    // starts (and ends) at its end, so no text is lost and no segment runs backwards.
    static std::vector<EngineSegment> fromWindows(const WindowTexts& texts, double duration);

private:
    PipelineFactory factory_;
    std::shared_ptr<murmex::Murmex> kit_;
    QString loadedFolder_;
};

}  // namespace norvel
