#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "HalvexCore/External/Hub/Progress.h"
#include "HalvexCore/ModelState.h"
#include "Murmex/Audio/IncrementalFileChunk.h"
#include "Murmex/Model/AsyncThrowingStream.h"
#include "Murmex/Model/AudioEncoding.h"
#include "Murmex/Model/AudioInputOptions.h"
#include "Murmex/Model/AudioProcessing.h"
#include "Murmex/Model/DecodingOptions.h"
#include "Murmex/Model/FeatureExtracting.h"
#include "Murmex/Model/ModelComputeOptions.h"
#include "Murmex/Model/ModelSupportConfig.h"
#include "Murmex/Model/ModelVariant.h"
#include "Murmex/Model/MurmexConfig.h"
#include "Murmex/Model/SegmentSeeking.h"
#include "Murmex/Model/TextDecoding.h"
#include "Murmex/Model/TranscriptionProgress.h"
#include "Murmex/Model/TranscriptionResult.h"
#include "Murmex/Model/TranscriptionSegment.h"
#include "Murmex/Model/TranscriptionTimings.h"
#include "Murmex/Model/VoiceActivityDetector.h"
#include "Murmex/Model/WhisperTokenizer.h"
#include "Platform/ML/AudioWindow.h"

namespace murmex {

class TranscribeTask;

// The language a detection found: its code and the per-language values of the decoder's
// language pass, keyed by code.
struct DetectedLanguage {
    std::string language;
    std::map<std::string, float> langProbs;

    friend bool operator==(const DetectedLanguage&, const DetectedLanguage&) = default;
};

// The speech library's facade: one object that owns a whole transcription pipeline (audio
// processor, mel-spectrogram stage, audio encoder, text decoder with its logit filters, segment
// seeker, optional voice activity detector and tokenizer), knows its model folder, loads and
// unloads the three models, and transcribes files and sample arrays.
//
// Build one with `Murmex::create(config)` (or `create<Subclass>(config, …)`): construction calls
// overridable operations, so it runs as a separate `initialize` step once the object is whole.
// Every operation is virtual, and the facade calls its own operations through that dispatch, so
// an override (say of `loadModels`) is used by construction and by transcription too.
//
// The facade's operations block on the calling thread; callers that share one instance must not
// change its fields, or run two lifecycle operations, while an operation runs. Only the batch
// operations start threads: one per input of a batch, sharing the stages (each keeps its model
// behind its own lock). Transcriptions that run at once load the models on demand one at a
// time and share the progress object safely. Callbacks may be called from any thread, also
// from several at once, and must be safe for that.
class Murmex : public std::enable_shared_from_this<Murmex> {
public:
    using Results = std::vector<std::shared_ptr<TranscriptionResult>>;
    // What one input of a batch came to: its results, or the error it failed with.
    using Outcome = TranscriptionResultsOrError;
    using Outcomes = std::vector<Outcome>;
    using OptionalResults = std::vector<std::optional<Results>>;
    using FileChunkStream = AsyncThrowingStream<IncrementalFileChunk>;
    using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;
    using ModelStateCallback = std::function<void(std::optional<halvex::ModelState>, halvex::ModelState)>;
    using TranscriptionStateCallback = std::function<void(TranscriptionState)>;
    using DownloadProgressCallback = std::function<void(const halvex::Progress&)>;
    using LogLineCallback = std::function<void(const std::string&)>;

    // Samples per second of all model input.
    static constexpr int sampleRate = platform::audiowindow::sampleRate;
    // Samples per mel frame.
    static constexpr int hopLength = platform::audiowindow::hopLength;
    // Seconds per timestamp token.
    static constexpr float secondsPerTimeToken = platform::audiowindow::secondsPerEncoderFrame;
    // Whether the library runs inside a device simulator; never on this platform.
    static constexpr bool isRunningOnSimulator = false;
    // The machine's hardware model identifier, by which the model support configuration is
    // looked up.
    static std::string deviceName();

    // The hub repository of the library's model folders.
    static constexpr const char* defaultModelRepository = ::murmex::defaultModelRepository;

    // Builds a pipeline of type T (this class or a subclass) with `args`, then initialises it
    // from the configuration: stages, logging, model folder, and prewarming and loading as the
    // configuration asks. Throws what `setupModels`, `prewarmModels` or `loadModels` throw; the
    // half-built pipeline is then dropped.
    template <class T = Murmex, class... Args>
    static std::shared_ptr<T> create(const MurmexConfig& config, Args&&... args) {
        static_assert(std::is_base_of_v<Murmex, T>, "a pipeline type derives from Murmex");
        auto pipeline = std::make_shared<T>(std::forward<Args>(args)...);
        pipeline->initialize(config);
        return pipeline;
    }

    // Only the fields with fixed initial values; the pipeline is usable after `initialize`
    // (which `create` runs).
    Murmex();
    // Tells the audio processor to stop recording.
    virtual ~Murmex();
    Murmex(const Murmex&) = delete;
    Murmex& operator=(const Murmex&) = delete;

    // ---- Fields ----

    // The Whisper size detected when the tokenizer was loaded; tiny until then.
    virtual ModelVariant modelVariant() const { return modelVariant_; }
    // Where the models are in their lifecycle.
    virtual halvex::ModelState modelState() const { return modelState_; }
    virtual const ModelComputeOptions& modelCompute() const { return modelCompute_; }
    virtual void setModelCompute(ModelComputeOptions value) { modelCompute_ = value; }
    // How a file is read when a transcription gives no options. `audioInputConfig` is a second
    // name for the same value.
    virtual const AudioInputOptions& audioInputOptions() const { return audioInputOptions_; }
    virtual void setAudioInputOptions(AudioInputOptions value) { audioInputOptions_ = std::move(value); }
    virtual const AudioInputOptions& audioInputConfig() const { return audioInputOptions(); }
    virtual void setAudioInputConfig(AudioInputOptions value) { setAudioInputOptions(std::move(value)); }
    // The loaded tokenizer; setting it (also to null) hands the same value to the text decoder.
    virtual std::shared_ptr<WhisperTokenizer> tokenizer() const { return tokenizer_; }
    virtual void setTokenizer(std::shared_ptr<WhisperTokenizer> value);
    // The stages. A replacement takes effect with the next operation.
    virtual std::shared_ptr<AudioProcessing> audioProcessor() const { return audioProcessor_; }
    virtual void setAudioProcessor(std::shared_ptr<AudioProcessing> value) { audioProcessor_ = std::move(value); }
    virtual std::shared_ptr<FeatureExtracting> featureExtractor() const { return featureExtractor_; }
    virtual void setFeatureExtractor(std::shared_ptr<FeatureExtracting> value) { featureExtractor_ = std::move(value); }
    virtual std::shared_ptr<AudioEncoding> audioEncoder() const { return audioEncoder_; }
    virtual void setAudioEncoder(std::shared_ptr<AudioEncoding> value) { audioEncoder_ = std::move(value); }
    virtual std::shared_ptr<TextDecoding> textDecoder() const { return textDecoder_; }
    virtual void setTextDecoder(std::shared_ptr<TextDecoding> value) { textDecoder_ = std::move(value); }
    virtual std::shared_ptr<SegmentSeeking> segmentSeeker() const { return segmentSeeker_; }
    virtual void setSegmentSeeker(std::shared_ptr<SegmentSeeking> value) { segmentSeeker_ = std::move(value); }
    // The detector used when audio is cut at silences; null means the standard energy detector.
    virtual std::shared_ptr<VoiceActivityDetector> voiceActivityDetector() const { return voiceActivityDetector_; }
    virtual void setVoiceActivityDetector(std::shared_ptr<VoiceActivityDetector> value) {
        voiceActivityDetector_ = std::move(value);
    }
    // Model load times and the last audio-loading time of this instance. Each transcription
    // task starts from a copy; the task's timings are never copied back.
    virtual const TranscriptionTimings& currentTimings() const { return currentTimings_; }
    // Gathers one child per transcription task.
    virtual std::shared_ptr<halvex::Progress> progress() const {
        std::lock_guard lock(progressMutex_);
        return progress_;
    }
    // The folder holding the three models; none until `setupModels` sets it.
    virtual const std::optional<std::filesystem::path>& modelFolder() const { return modelFolder_; }
    virtual void setModelFolder(std::optional<std::filesystem::path> value) { modelFolder_ = std::move(value); }
    // The base folder under which tokenizer files are looked for and downloaded.
    virtual const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }
    virtual void setTokenizerFolder(std::optional<std::filesystem::path> value) { tokenizerFolder_ = std::move(value); }
    virtual bool useBackgroundDownloadSession() const { return useBackgroundDownloadSession_; }
    // Receives the segments of each finished window when a transcription gives no receiver.
    virtual const SegmentDiscoveryCallback& segmentDiscoveryCallback() const { return segmentDiscoveryCallback_; }
    virtual void setSegmentDiscoveryCallback(SegmentDiscoveryCallback value) {
        segmentDiscoveryCallback_ = std::move(value);
    }
    // Told of every assignment of `modelState`, with the previous and the new value, also when
    // they are equal.
    virtual const ModelStateCallback& modelStateCallback() const { return modelStateCallback_; }
    virtual void setModelStateCallback(ModelStateCallback value) { modelStateCallback_ = std::move(value); }
    // Told when a file transcription converts audio, transcribes and finishes.
    virtual const TranscriptionStateCallback& transcriptionStateCallback() const { return transcriptionStateCallback_; }
    virtual void setTranscriptionStateCallback(TranscriptionStateCallback value) {
        transcriptionStateCallback_ = std::move(value);
    }

    // ---- Construction ----

    // Builds the pipeline from the configuration; `create` runs it once on a fresh object.
    virtual void initialize(const MurmexConfig& config);

    // ---- Models ----

    // Sets `modelFolder`: the given local folder as it is, or, when none is given and
    // `download` is true, the folder that `download` fetches from the repository (the device's
    // default variant when `model` is empty). Download errors become
    // WhisperError.modelsUnavailable. Never changes `modelState`.
    virtual void setupModels(const std::optional<std::string>& model,
                             const std::optional<std::filesystem::path>& downloadBase,
                             const std::optional<std::string>& modelRepo, const std::optional<std::string>& modelToken,
                             const std::optional<std::string>& modelFolder, bool download,
                             const std::string& remoteConfigName, const std::string& endpoint);
    // Loads each model once and drops it again.
    virtual void prewarmModels();
    // Loads the mel-spectrogram, text-decoder and audio-encoder models from `modelFolder` (in
    // prewarm mode: loads and drops them), and in a real load also the tokenizer. Throws
    // WhisperError.modelsUnavailable when there is no folder or a model file is missing, the
    // runtime's error when a model cannot be loaded, and the tokenizer's errors.
    virtual void loadModels(bool prewarmMode = false);
    // Detects the model variant from the loaded decoder and encoder and loads its tokenizer,
    // from local files or from the hub, unless one is loaded already.
    virtual void loadTokenizerIfNeeded();
    // Drops the three models; the tokenizer, variant, folder and timings stay.
    virtual void unloadModels();
    // Stops recording and resets `currentTimings`.
    virtual void clearState();
    // Installs a process-wide receiver of log lines; an empty one sends lines to the system log
    // again.
    virtual void loggingCallback(LogLineCallback callback);

    // ---- Language detection ----

    // The language spoken in the first 30 seconds of the file (all channels summed). Throws
    // WhisperError.loadAudioFailed ("Resource path does not exist " + path) for a missing file,
    // the audio loader's errors, and what `detectLangauge` throws.
    virtual DetectedLanguage detectLanguage(const std::string& audioPath);
    // The language spoken in the first window of the samples (padded or cut to one window),
    // found by one language pass of the decoder; loads the models first when they are not
    // loaded. Throws the load's errors; WhisperError.decodingFailed ("Language detection not
    // supported for this model") for an English-only model; WhisperError.tokenizerUnavailable;
    // the stages' errors and WhisperError.transcriptionFailed for a missing stage output; and
    // WhisperError.decodingFailed ("Language detection failed") for any failure of the pass.
    virtual DetectedLanguage detectLangauge(const std::vector<float>& audioArray);

    // ---- Batches ----
    //
    // None of these throws: every input gets its own outcome, in input order. Inputs run at
    // once in batches of the options' largest worker count (all at once for 0), one batch
    // after the other; each input is transcribed as the single-input operation would. The
    // progress callback is shared by all inputs, and is called from several threads at once,
    // each report carrying its input's index as `windowId`. A `stop` request reaches every
    // input: one that was running keeps what it transcribed until then (as the single-input
    // operation does), one that had not begun fails with halvex::CancellationError.

    // Files: read whole first (all of them, then `convertingAudio`, `transcribing`,
    // `finished`), or streamed piece by piece each within its input's task (`transcribing`,
    // `finished`), as the audio input options say. Each result list is null for a failed input.
    virtual OptionalResults transcribe(const std::vector<std::string>& audioPaths,
                                       const std::optional<AudioInputOptions>& audioInputOptions,
                                       const std::optional<DecodingOptions>& decodeOptions,
                                       const TranscriptionProgressCallback& callback, std::stop_token stop = {});
    virtual Outcomes transcribeWithResults(const std::vector<std::string>& audioPaths,
                                           const std::optional<AudioInputOptions>& audioInputOptions,
                                           const std::optional<DecodingOptions>& decodeOptions,
                                           const TranscriptionProgressCallback& callback, std::stop_token stop = {});
    // Sample arrays, one set of options for all.
    virtual OptionalResults transcribe(const std::vector<std::vector<float>>& audioArrays,
                                       const std::optional<DecodingOptions>& decodeOptions,
                                       const TranscriptionProgressCallback& callback, std::stop_token stop = {});
    virtual Outcomes transcribeWithResults(const std::vector<std::vector<float>>& audioArrays,
                                           const std::optional<DecodingOptions>& decodeOptions,
                                           const TranscriptionProgressCallback& callback, std::stop_token stop = {});
    // Sample arrays with options each and, optionally, the sample at which each begins in some
    // longer audio (which moves only what the segment discovery callback receives). Numbers of
    // options or offsets that differ from the number of arrays give a single failure,
    // WhisperError.transcriptionFailed.
    virtual Outcomes transcribeWithOptions(const std::vector<std::vector<float>>& audioArrays,
                                           const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
                                           const std::optional<std::vector<std::int64_t>>& seekOffsets,
                                           const TranscriptionProgressCallback& callback, std::stop_token stop = {});

    // ---- Transcription ----

    // Transcribes one audio file. `audioInputOptions` replaces the instance's when given;
    // empty `decodeOptions` stand for the library's defaults. A file read whole reports
    // `convertingAudio`, `transcribing` and `finished` (also after a failed transcription) to
    // the transcription state callback; a file read incrementally is cut at silences into
    // chunks that are transcribed one after the other while the next ones are read, and
    // reports `transcribing` and `finished`. A `stop` request (which the stages and the decoder
    // see through murmex::TaskCancellation) ends the run promptly: the decoder makes no further
    // prediction and no further fallback is tried, and the windows (chunks) transcribed until
    // then, with the tokens of the window being decoded, are returned. A run stopped before
    // any of its work began fails with halvex::CancellationError. A progress callback that
    // answers false ends only the decoding of the current window.
    virtual Results transcribe(const std::string& audioPath, const std::optional<AudioInputOptions>& audioInputOptions,
                               const std::optional<DecodingOptions>& decodeOptions,
                               const TranscriptionProgressCallback& callback, std::stop_token stop = {});
    // Transcribes 16 kHz mono samples.
    virtual Results transcribe(const std::vector<float>& audioArray,
                               const std::optional<DecodingOptions>& decodeOptions,
                               const TranscriptionProgressCallback& callback,
                               const SegmentDiscoveryCallback& segmentCallback, std::stop_token stop = {});
    // The same, for samples that begin at `audioArrayOffset` in some longer audio: the offset
    // moves only what the segment receiver gets, never the returned results. With options that
    // ask for voice-activity chunking, samples longer than one window are cut at silences into
    // chunks that are transcribed as a batch (the window segments then reach the instance's
    // segment discovery callback, not `segmentCallback`) and put back at their places; chunks
    // whose transcription failed are left out.
    virtual Results transcribe(const std::vector<float>& audioArray, std::int64_t audioArrayOffset,
                               const std::optional<DecodingOptions>& decodeOptions,
                               const TranscriptionProgressCallback& callback,
                               const SegmentDiscoveryCallback& segmentCallback, std::stop_token stop = {});
    // The factory of the transcription task (a MurmexTranscribeTask); a subclass overrides it to
    // use its own task type.
    virtual std::shared_ptr<TranscribeTask> setupTranscribeTask(
        const TranscriptionTimings& currentTimings, const std::shared_ptr<halvex::Progress>& progress,
        const std::shared_ptr<AudioProcessing>& audioProcessor, const std::shared_ptr<AudioEncoding>& audioEncoder,
        const std::shared_ptr<FeatureExtracting>& featureExtractor,
        const std::shared_ptr<SegmentSeeking>& segmentSeeker, const std::shared_ptr<TextDecoding>& textDecoder,
        const std::shared_ptr<WhisperTokenizer>& tokenizer);
    // Runs exactly one transcription task over the samples (loading the models first when they
    // are not loaded) and returns its one result. With the standard task, a run stopped
    // through `stop` returns what was decoded until then; a stop requested before the task
    // starts throws halvex::CancellationError. The progress object is renewed after a run that
    // finished it, was stopped or was cancelled.
    virtual Results runTranscribeTask(const std::vector<float>& audioArray,
                                      const std::optional<DecodingOptions>& decodeOptions,
                                      const TranscriptionProgressCallback& callback,
                                      const SegmentDiscoveryCallback& segmentCallback, std::stop_token stop = {});

    // ---- Model repository ----

    // This device's entry of the built-in model support configuration.
    static ModelSupport recommendedModels();
    // This device's entry of the repository's support configuration (the built-in one when it
    // cannot be had). Never fails.
    static ModelSupport recommendedRemoteModels(const std::string& repo,
                                                const std::optional<std::filesystem::path>& downloadBase,
                                                const std::optional<std::string>& token,
                                                const std::string& remoteConfigName, const std::string& endpoint,
                                                bool useBackgroundSession);
    // The repository's support configuration, or the built-in one when it cannot be listed,
    // downloaded or decoded. Never fails.
    static ModelSupportConfig fetchModelSupportConfig(const std::string& repo,
                                                      const std::optional<std::filesystem::path>& downloadBase,
                                                      const std::optional<std::string>& token,
                                                      const std::string& remoteConfigName, const std::string& endpoint,
                                                      bool useBackgroundSession);
    // The variant folders this device supports that match one of the patterns, each once,
    // ordered by model size.
    static std::vector<std::string> fetchAvailableModels(const std::string& repo,
                                                         const std::vector<std::string>& matching,
                                                         const std::optional<std::filesystem::path>& downloadBase,
                                                         const std::optional<std::string>& token,
                                                         const std::string& remoteConfigName,
                                                         const std::string& endpoint);
    // Downloads the one variant folder whose name ends in `variant` and returns its local
    // path. Fails with the hub client's errors (halvex::CancellationError once `stop` is
    // requested), or WhisperError.modelsUnavailable when no single folder matches.
    static std::filesystem::path download(const std::string& variant,
                                          const std::optional<std::filesystem::path>& downloadBase,
                                          bool useBackgroundSession, const std::string& repo,
                                          const std::optional<std::string>& token, const std::string& endpoint,
                                          const DownloadProgressCallback& progressCallback, std::stop_token stop = {});

    // The word that begins the folder names of the repository's main model family; it
    // settles a variant name that ends several folders.
    static std::string modelFamilyOrganisation();

protected:
    // Transcribes the chunks of a stream one after the other, moving each chunk's results to
    // its place, signalling each chunk's completion after its transcription, and returns all
    // results ordered by seek time. With `emitStateCallbacks` it reports `transcribing` first
    // and `finished` at the end (also after an error). Options with clip timestamps are
    // refused (WhisperError.transcriptionFailed) before the stream is read; an error of the
    // stream or of a chunk's transcription is thrown, dropping the results so far. After a
    // `stop` request no further chunk is read and the results so far are returned (a stream
    // stopped before any chunk was transcribed fails with halvex::CancellationError).
    virtual Results transcribeFileStream(FileChunkStream audioStream,
                                         const std::optional<DecodingOptions>& decodeOptions,
                                         const TranscriptionProgressCallback& callback, bool emitStateCallbacks,
                                         std::stop_token stop = {});

    // Loads the models unless they are loaded; transcriptions that run at once load them once.
    void loadModelsIfNeeded();

    // Every assignment reports the previous and the new state.
    virtual void setModelState(halvex::ModelState value);
    virtual void setModelVariant(ModelVariant value) { modelVariant_ = value; }
    virtual TranscriptionTimings& mutableCurrentTimings() { return currentTimings_; }
    virtual void setCurrentTimings(TranscriptionTimings value) { currentTimings_ = value; }
    virtual void setProgress(std::shared_ptr<halvex::Progress> value) {
        std::lock_guard lock(progressMutex_);
        progress_ = std::move(value);
    }
    virtual void setUseBackgroundDownloadSession(bool value) { useBackgroundDownloadSession_ = value; }

private:
    // The incremental path of a file transcription.
    Results transcribeIncrementally(const std::string& audioPath, const AudioInputOptions& options,
                                    const std::optional<DecodingOptions>& decodeOptions,
                                    const TranscriptionProgressCallback& callback, std::stop_token stop);
    // The batch of files read incrementally, each within its input's task.
    Outcomes transcribeFilesIncrementally(const std::vector<std::string>& audioPaths, const AudioInputOptions& options,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const TranscriptionProgressCallback& callback, std::stop_token stop);
    // The voice-activity route of a sample array.
    Results transcribeChunked(const std::vector<float>& audioArray, std::int64_t audioArrayOffset,
                              const DecodingOptions& decodeOptions, const TranscriptionProgressCallback& callback,
                              std::stop_token stop);
    // Replaces the progress object by a fresh one, unless another run replaced it already.
    void renewProgress(const std::shared_ptr<halvex::Progress>& replaced);
    // The detector of the chunking operations: the configured one, or the standard one.
    std::shared_ptr<VoiceActivityDetector> chunkingDetector() const;
    // The largest chunk in samples: the feature extractor's window.
    std::int64_t windowLength() const;

    ModelVariant modelVariant_ = ModelVariant::tiny;
    halvex::ModelState modelState_ = halvex::ModelState::unloaded;
    ModelComputeOptions modelCompute_;
    AudioInputOptions audioInputOptions_;
    std::shared_ptr<WhisperTokenizer> tokenizer_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector_;
    TranscriptionTimings currentTimings_;
    std::shared_ptr<halvex::Progress> progress_;
    mutable std::mutex progressMutex_;
    // Held while transcriptions that run at once load the models on demand.
    std::mutex onDemandLoadMutex_;
    std::optional<std::filesystem::path> modelFolder_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    bool useBackgroundDownloadSession_ = false;
    SegmentDiscoveryCallback segmentDiscoveryCallback_;
    ModelStateCallback modelStateCallback_;
    TranscriptionStateCallback transcriptionStateCallback_;
};

}  // namespace murmex
