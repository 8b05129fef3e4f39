#pragma once

#include "Murmex/Audio/AudioConverter.h"
#include "Murmex/Audio/AudioDevice.h"
#include "Murmex/Audio/AudioFile.h"
#include "Murmex/Audio/AudioInputDevices.h"
#include "Murmex/Audio/AudioPCMBuffer.h"
#include "Murmex/Audio/IncrementalFileChunk.h"
#include "Murmex/Audio/WaveformImage.h"
#include "Murmex/Model/AudioInputOptions.h"
#include "Murmex/Model/AudioProcessing.h"
#include "Murmex/Model/VoiceActivityDetector.h"
#include "Platform/ML/AudioWindow.h"
#include "Platform/ML/MultiArray.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace murmex {

// The outcome of loading one of several files: its samples, or the error that stopped it.
using AudioFileLoadResult = std::variant<std::vector<float>, std::exception_ptr>;

// The root-mean-square level of some samples with their largest and smallest magnitude.
struct AudioEnergy {
    float avg = 0;
    float max = 0;
    float min = 0;
};

// The energies of one captured buffer: its level relative to the quietest of the buffers
// before it (0 to 1), its root-mean-square level, and its largest and smallest magnitude.
struct CapturedEnergy {
    float rel = 0;
    float avg = 0;
    float max = 0;
    float min = 0;

    friend bool operator==(const CapturedEnergy&, const CapturedEnergy&) = default;
};

// The standard audio stage. Its static operations turn audio files into 16 kHz mono samples
// (reading, channel selection and mixing, resampling) and measure sample arrays (window
// padding, energies, voice activity); an instance pads windows for the transcription task.
class AudioProcessor : public AudioProcessing {
public:
    using ChannelMode = AudioInputOptions::ChannelMode;
    using SampleRange = std::pair<std::int64_t, std::int64_t>;

    // The rate every sample array of the library has.
    static constexpr double sampleRate = platform::audiowindow::sampleRate;
    // The largest read from a file when the caller names none (30 s at 44.1 kHz).
    static constexpr std::uint32_t defaultMaxReadFrameSize = 1323000;
    // Whole files are loaded in pieces of this many seconds, which bounds the memory a load uses.
    static constexpr double pieceDurationSeconds = 600;
    // Frames moved at a time when a buffer is copied into a sample array.
    static constexpr std::uint32_t copyChunkSize = 1024;
    // The floor of the peak a channel mix is scaled against.
    static constexpr float minimumMixPeak = 0.0001f;

    // --- Files ---

    // Reads seconds `startTime` (0 when absent) to `endTime` (the end when absent) of the file at
    // `path` as a 16 kHz mono buffer. Throws WhisperError.loadAudioFailed ("Resource path does not
    // exist " + path, "Failed to read audio file: …", "Failed to process audio buffer"), or the
    // AudioFileError of a file that cannot be opened.
    static std::shared_ptr<AudioPCMBuffer> loadAudio(const std::string& path,
                                                     const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                                     std::optional<double> startTime = std::nullopt,
                                                     std::optional<double> endTime = std::nullopt,
                                                     std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);
    // The same from a file already open; reads move its position.
    static std::shared_ptr<AudioPCMBuffer> loadAudio(AudioFile& file,
                                                     const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                                     std::optional<double> startTime = std::nullopt,
                                                     std::optional<double> endTime = std::nullopt,
                                                     std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);
    // The whole file (all channels summed, no read limit) as a 16 kHz mono buffer.
    static std::shared_ptr<AudioPCMBuffer> loadAudioAsync(const std::string& path);

    // Seconds `startTime` to `endTime` of the file as 16 kHz mono samples, read in pieces of
    // `pieceDurationSeconds` so that memory stays bounded; the pieces join without gap or
    // overlap. Throws as `loadAudio`; no partial result is returned.
    static std::vector<float> loadAudioAsFloatArray(const std::string& path,
                                                    const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                                    std::optional<double> startTime = std::nullopt,
                                                    std::optional<double> endTime = std::nullopt);

    // Loads several whole files at once, at most one per processor core at a time; one outcome
    // per path, in the order of the paths. One file's failure does not affect the others.
    static std::vector<AudioFileLoadResult> loadAudio(const std::vector<std::string>& paths,
                                                      const ChannelMode& channelMode = ChannelMode::sumChannels());

    // The stream of chunks of an incremental load.
    using IncrementalChunkStream = AsyncThrowingStream<IncrementalFileChunk>;

    // Loads a long file piece by piece while its chunks are being transcribed. A thread of its
    // own reads pieces of `chunkDurationSeconds`, cuts the audio read so far at silences
    // (chunks of at most `maxChunkLength` samples, cut by a chunker with 1 s of padding and the
    // detector `vad`, the standard one when null) and hands over each chunk once its end can no
    // longer change: when more than a whole `maxChunkLength` window from its start has been
    // read, or the file is read to its end; the cuts are those of chunking the whole file. The chunks are contiguous,
    // in file order, with whole-file offsets; a last stretch of at most 1 s after the final cut is not handed over. At
    // most `maxBufferedChunks` chunks are handed over and not yet signalled complete; the reader waits for a signal
    // before the next. Ending the stream from the reading side (cancel, or dropping it) stops the loader; the stream
    // owns the loader's thread, and dropping its last copy waits until that thread has ended. A file that cannot be
    // read or decoded ends the stream with its error (and an error line "Error loading audio file incrementally: …").
    // Throws WhisperError.loadAudioFailed before anything starts: "Incremental chunk duration must
    // be greater than 0" (a piece length that is not a positive finite number), "Incremental chunk
    // buffer size must be greater than 0" (fewer than 1 slot), "Audio file not found at path: " +
    // path. `maxChunkLength` should exceed the chunker's padding, VADAudioChunker::standardWindowPadding.
    static IncrementalChunkStream loadFileIncrementally(const std::string& path, const ChannelMode& channelMode,
                                                        double chunkDurationSeconds, int maxBufferedChunks,
                                                        int maxChunkLength,
                                                        std::shared_ptr<VoiceActivityDetector> vad = nullptr);

    // Reads `frameCount` frames (the whole file when absent) from the file's position, at most
    // `maxReadFrameSize` at a time; each read is mixed and resampled on its own. Returns nothing
    // (with an error line in the log) when a step fails. A file that ends early gives what it holds.
    static std::shared_ptr<AudioPCMBuffer> resampleAudio(AudioFile& file, double toSampleRate,
                                                         std::uint32_t channelCount, const ChannelMode& channelMode,
                                                         std::optional<std::uint32_t> frameCount,
                                                         std::uint32_t maxReadFrameSize = defaultMaxReadFrameSize);
    // Converts a buffer to the rate and channel count; nothing (and an error line) on failure.
    static std::shared_ptr<AudioPCMBuffer> resampleAudio(const AudioPCMBuffer& buffer, double toSampleRate,
                                                         std::uint32_t channelCount);
    // Converts a buffer with the converter into a new buffer of round(rate ratio × frames)
    // frames (at least 1). Throws WhisperError.audioProcessingFailed ("Failed to create converted
    // buffer", "Error converting audio: …").
    static std::shared_ptr<AudioPCMBuffer> resampleBuffer(const AudioPCMBuffer& buffer, AudioConverter& converter);

    // One channel of the buffer, or the mix of several scaled to the peak of the loudest one.
    // A buffer with fewer than 2 channels is returned as it is. Nothing (and an error line) when
    // the buffer holds no float samples.
    static std::shared_ptr<AudioPCMBuffer> convertToMono(const std::shared_ptr<AudioPCMBuffer>& buffer,
                                                         const ChannelMode& mode);

    // The buffer's first channel as a sample array, copied `chunkSize` frames at a time; the
    // copied samples of the buffer are set to zero.
    static std::vector<float> convertBufferToArray(AudioPCMBuffer& buffer, std::uint32_t chunkSize = copyChunkSize);

    // --- Windows and measures ---

    // `toLength` samples of `array` from `startAt`, trimmed or padded with zeros at the end, as a
    // one-dimensional float array. Nothing (and the error line "startIndex is outside the buffer
    // size") when the start lies outside the array or the length is not positive. Samples that
    // are not finite numbers become silence in the window, with one error line. `saveSegment`
    // has no effect.
    static std::optional<platform::MultiArray> padOrTrimAudio(const std::vector<float>& array, std::int64_t startAt = 0,
                                                              std::int64_t toLength = platform::audiowindow::samples,
                                                              bool saveSegment = false);

    static float calculateAverageEnergy(const std::vector<float>& signal);
    static AudioEnergy calculateEnergy(const std::vector<float>& signal);
    // The level of the samples on a 0 to 1 scale: 0 at the reference level (0.001 when absent,
    // at least 1e-8), 1 at full scale, linear in decibels between.
    static float calculateRelativeEnergy(const std::vector<float>& signal, std::optional<float> relativeTo);
    // One flag per frame: frame i covers samples i × frameLengthSamples up to frameLengthSamples +
    // frameOverlapSamples further (cut at the array's end) and is voiced when its RMS exceeds
    // the threshold.
    static std::vector<bool> calculateVoiceActivityInChunks(const std::vector<float>& signal, int chunkCount,
                                                            int frameLengthSamples, int frameOverlapSamples,
                                                            float energyThreshold);
    // The voiced stretches of the samples (0.1-s frames, threshold 0.02), end exclusive.
    static std::vector<SampleRange> calculateNonSilentChunks(const std::vector<float>& signal);
    // Whether the relative energies (one per 0.1 s) of the newest `nextBufferInSeconds` of audio,
    // less their last second, hold a value above the threshold.
    static bool isVoiceDetected(const std::vector<float>& energies, float nextBufferInSeconds, float silenceThreshold);
    // The samples' bytes as the pixels of a width × height image (one sample per pixel). Throws
    // WhisperError.audioProcessingFailed when the array holds fewer than width × height samples
    // or the size is not a usable image size.
    static WaveformImage createWaveformImage(const std::vector<float>& samples, double width, double height);

    // --- The stage ---

    // Captures through `inputDevices`; with none, through the system's devices (PortAudio),
    // which are not touched before the first capture.
    explicit AudioProcessor(std::shared_ptr<AudioInputDevices> inputDevices = nullptr);
    // Stops recording. Must not run inside one of this processor's own sample callbacks.
    ~AudioProcessor() override;
    AudioProcessor(const AudioProcessor&) = delete;
    AudioProcessor& operator=(const AudioProcessor&) = delete;

    std::shared_ptr<AudioProcessorOutputType> padOrTrim(const std::vector<float>& audioArray, std::int64_t startAt,
                                                        std::int64_t length) override;

    // --- Live capture ---
    //
    // Recording converts every captured buffer to 16 kHz mono (the device's first channel,
    // resampled when the device runs at another rate), appends it to the store of samples,
    // records its energies and hands it to the callback. Buffers arrive on a capture thread of
    // the device's; the store, the energies and the settings are kept behind one lock, so any
    // thread may read (a consistent copy), trim or change them meanwhile. The callback runs on
    // the capture thread, outside the lock; it may call this processor's operations.

    // Every captured sample since the last start, 16 kHz mono.
    std::vector<float> audioSamples() const override;
    // The number of captured samples, read under the lock without copying them.
    std::int64_t audioSampleCount() const override;
    // The captured samples from..<to (cut to what is held), copied under the lock.
    std::vector<float> copyAudioSamples(std::int64_t from, std::int64_t to) const override;
    void setAudioSamples(std::vector<float> samples);
    // Drops the oldest samples so that at most the last `keepingLast` remain; the energies stay.
    void purgeAudioSamples(std::int64_t keepingLast) override;
    // One entry per captured buffer.
    std::vector<CapturedEnergy> audioEnergy() const;
    void setAudioEnergy(std::vector<CapturedEnergy> energy);
    // The `rel` of each entry of `audioEnergy`, in order.
    std::vector<float> relativeEnergy() const override;
    // How many buffers of `minBufferLength` samples pass between two debug lines on the store.
    int relativeEnergyWindow() const override;
    void setRelativeEnergyWindow(int window) override;
    // Receives the samples of each captured buffer.
    SampleCallback audioBufferCallback() const;
    void setAudioBufferCallback(SampleCallback callback);
    // The length of a captured buffer, in 16 kHz samples (1600: 0.1 s). A change applies from
    // the next start of a device.
    int minBufferLength() const;
    void setMinBufferLength(int length);
    // While set, captured samples are replaced by silence.
    bool isInputSuppressed() const;
    void setInputSuppressed(bool suppressed);
    // The device of the last start (absent: the default input); resuming does not change it.
    std::optional<AudioDeviceID> lastInputDevice() const;
    // Whether a device is open (recording or paused).
    bool hasAudioEngine() const;

    // Empties the store and the energies and records from the device (the default input when
    // absent; a device that does not exist or has no input is reported in the log and the
    // default input is used instead). A capture already running is stopped first. Throws
    // WhisperError.audioProcessingFailed "Failed to create node format" when there is no input
    // device, "Failed to create audio converter" when the device's rate cannot be converted, or
    // the AudioCaptureError of a device that cannot be opened or started; the store stays empty.
    void startRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
                            SampleCallback callback = nullptr) override;
    // Records as `startRecordingLive`, sending each buffer into a stream. Ending the stream
    // (finishing the continuation, cancelling or dropping the stream) clears the callback and
    // stops recording; when recording cannot start, the stream ends with the error.
    std::pair<SampleStream, SampleStream::Continuation> startStreamingRecordingLive(
        std::optional<AudioDeviceID> inputDeviceID = std::nullopt) override;
    // Pauses the device, when there is one; the store is kept.
    void pauseRecording() override;
    // Closes the device, when there is one; the store is kept.
    void stopRecording() override;
    // The same device as the last start (both absent counts as the same): starts the open
    // device again, if there is one. Another device: opens it and records from it, leaving
    // `lastInputDevice` as it is. A callback given replaces the current one; none keeps it. The
    // store and the energies are kept. Throws as `startRecordingLive`.
    void resumeRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
                             SampleCallback callback = nullptr) override;

    // Whether recording is possible: the system has a default input device.
    static bool requestRecordPermission();
    // The system's devices that have input channels, in the system's order; empty (with an
    // error line) when they cannot be listed.
    static std::vector<AudioDevice> getAudioDevices();

private:
    struct CaptureEngine;
    struct Anchor;

    // Opens and starts a device; throws as `startRecordingLive`.
    std::shared_ptr<CaptureEngine> setupEngine(std::optional<AudioDeviceID> inputDeviceID);
    // Starts the open engine again, or replaces it with one on another device.
    void resumeEngine(std::shared_ptr<CaptureEngine> engine, bool sameDevice,
                      std::optional<AudioDeviceID> inputDeviceID);
    // The device to open: the one asked for when it exists, else the default input.
    std::optional<AudioDeviceID> assignAudioInput(std::optional<AudioDeviceID> inputDeviceID);
    // What the capture thread does with each captured buffer.
    void tap(CaptureEngine& engine, const float* samples, std::size_t count);
    void processBuffer(const std::vector<float>& samples);
    // Stops an engine taken out of `engine_`. Inside one of this processor's capture callbacks
    // the engine cannot wait for its own thread, so it is kept aside and destroyed later.
    void retire(std::shared_ptr<CaptureEngine> engine);
    void destroyRetiredEngines();

    const std::shared_ptr<AudioInputDevices> inputDevices_;

    // Which engine runs. Engines are stopped outside this lock, so a capture callback may call
    // the capture operations while another thread waits for it to finish.
    mutable std::mutex captureMutex_;
    std::shared_ptr<CaptureEngine> engine_;
    std::vector<std::shared_ptr<CaptureEngine>> retiredEngines_;
    std::optional<AudioDeviceID> lastInputDevice_;
    std::shared_ptr<Anchor> anchor_;

    // The store and the settings the capture thread reads.
    mutable std::mutex storeMutex_;
    std::vector<float> audioSamples_;
    std::vector<CapturedEnergy> audioEnergy_;
    int relativeEnergyWindow_ = 20;
    SampleCallback audioBufferCallback_;
    int minBufferLength_ = 1600;
    bool isInputSuppressed_ = false;
};

}  // namespace murmex
