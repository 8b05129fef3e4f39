#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HalvexCore/Logging.h"
#include "Murmex/Core/Audio/AudioInputOptions.h"
#include "Murmex/Core/AudioEncoding.h"
#include "Murmex/Core/AudioProcessing.h"
#include "Murmex/Core/FeatureExtracting.h"
#include "Murmex/Core/LogitsFiltering.h"
#include "Murmex/Core/ModelComputeOptions.h"
#include "Murmex/Core/SegmentSeeking.h"
#include "Murmex/Core/TextDecoding.h"
#include "Murmex/Core/VoiceActivityDetector.h"

namespace murmex {

// The configuration from which a speech pipeline is built. It only stores what it is given;
// the pipeline reads every field once while it is constructed and fills in a default for each
// empty one. Stage objects are shared: the pipeline takes the same objects. Not thread-safe:
// build and read it on one thread.
class MurmexConfig {
public:
    // The initializer's arguments; omitted optional fields are empty.
    struct Arguments {
        std::optional<std::string> model{};
        std::optional<std::filesystem::path> downloadBase{};
        std::optional<std::string> modelRepo{};
        std::optional<std::string> modelToken{};
        std::optional<std::string> modelEndpoint{};
        std::optional<std::string> modelFolder{};
        std::optional<std::filesystem::path> tokenizerFolder{};
        std::optional<ModelComputeOptions> computeOptions{};
        std::optional<AudioInputOptions> audioInputConfig{};
        std::shared_ptr<AudioProcessing> audioProcessor{};
        std::shared_ptr<FeatureExtracting> featureExtractor{};
        std::shared_ptr<AudioEncoding> audioEncoder{};
        std::shared_ptr<TextDecoding> textDecoder{};
        std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters{};
        std::shared_ptr<SegmentSeeking> segmentSeeker{};
        std::shared_ptr<VoiceActivityDetector> voiceActivityDetector{};
        bool verbose = false;
        halvex::Logging::LogLevel logLevel = halvex::Logging::LogLevel::info;
        std::optional<bool> prewarm{};
        std::optional<bool> load{};
        bool download = true;
        bool useBackgroundDownloadSession = false;
    };

    MurmexConfig() : MurmexConfig(Arguments{}) {}
    explicit MurmexConfig(Arguments arguments);
    virtual ~MurmexConfig() = default;

    // Name of the model variant to download when no model folder is given; empty means the
    // device's default.
    virtual const std::optional<std::string>& model() const { return model_; }
    virtual void setModel(std::optional<std::string> value) { model_ = std::move(value); }
    // Folder under which hub downloads are kept.
    virtual const std::optional<std::filesystem::path>& downloadBase() const { return downloadBase_; }
    virtual void setDownloadBase(std::optional<std::filesystem::path> value) { downloadBase_ = std::move(value); }
    // Hub repository of the model folders; empty means the library's repository.
    virtual const std::optional<std::string>& modelRepo() const { return modelRepo_; }
    virtual void setModelRepo(std::optional<std::string> value) { modelRepo_ = std::move(value); }
    virtual const std::optional<std::string>& modelToken() const { return modelToken_; }
    virtual void setModelToken(std::optional<std::string> value) { modelToken_ = std::move(value); }
    // Base URL of the hub; empty means the hub's default.
    virtual const std::optional<std::string>& modelEndpoint() const { return modelEndpoint_; }
    virtual void setModelEndpoint(std::optional<std::string> value) { modelEndpoint_ = std::move(value); }
    // A local folder that already holds the three models; when given, nothing is downloaded.
    virtual const std::optional<std::string>& modelFolder() const { return modelFolder_; }
    virtual void setModelFolder(std::optional<std::string> value) { modelFolder_ = std::move(value); }
    // Folder searched for tokenizer files; empty means the download base.
    virtual const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }
    virtual void setTokenizerFolder(std::optional<std::filesystem::path> value) { tokenizerFolder_ = std::move(value); }
    virtual const std::optional<ModelComputeOptions>& computeOptions() const { return computeOptions_; }
    virtual void setComputeOptions(std::optional<ModelComputeOptions> value) { computeOptions_ = std::move(value); }
    // How files are read by default; empty means the sum of all channels, whole file.
    virtual const std::optional<AudioInputOptions>& audioInputConfigStorage() const { return audioInputConfigStorage_; }
    virtual void setAudioInputConfigStorage(std::optional<AudioInputOptions> value) {
        audioInputConfigStorage_ = std::move(value);
    }
    // The same value as `audioInputConfigStorage`, unchanged either way.
    virtual const std::optional<AudioInputOptions>& audioInputConfig() const { return audioInputConfigStorage(); }
    virtual void setAudioInputConfig(std::optional<AudioInputOptions> value) {
        setAudioInputConfigStorage(std::move(value));
    }
    // Replacement stages; null means the library's own.
    virtual const std::shared_ptr<AudioProcessing>& audioProcessor() const { return audioProcessor_; }
    virtual void setAudioProcessor(std::shared_ptr<AudioProcessing> value) { audioProcessor_ = std::move(value); }
    virtual const std::shared_ptr<FeatureExtracting>& featureExtractor() const { return featureExtractor_; }
    virtual void setFeatureExtractor(std::shared_ptr<FeatureExtracting> value) { featureExtractor_ = std::move(value); }
    virtual const std::shared_ptr<AudioEncoding>& audioEncoder() const { return audioEncoder_; }
    virtual void setAudioEncoder(std::shared_ptr<AudioEncoding> value) { audioEncoder_ = std::move(value); }
    virtual const std::shared_ptr<TextDecoding>& textDecoder() const { return textDecoder_; }
    virtual void setTextDecoder(std::shared_ptr<TextDecoding> value) { textDecoder_ = std::move(value); }
    // Logit filters handed to the text decoder.
    virtual const std::optional<std::vector<std::shared_ptr<LogitsFiltering>>>& logitsFilters() const {
        return logitsFilters_;
    }
    virtual void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> value) {
        logitsFilters_ = std::move(value);
    }
    virtual const std::shared_ptr<SegmentSeeking>& segmentSeeker() const { return segmentSeeker_; }
    virtual void setSegmentSeeker(std::shared_ptr<SegmentSeeking> value) { segmentSeeker_ = std::move(value); }
    // The detector used when audio is cut at silences.
    virtual const std::shared_ptr<VoiceActivityDetector>& voiceActivityDetector() const {
        return voiceActivityDetector_;
    }
    virtual void setVoiceActivityDetector(std::shared_ptr<VoiceActivityDetector> value) {
        voiceActivityDetector_ = std::move(value);
    }
    // Whether the pipeline logs at all, and at which level when it does.
    virtual bool verbose() const { return verbose_; }
    virtual void setVerbose(bool value) { verbose_ = value; }
    virtual halvex::Logging::LogLevel logLevel() const { return logLevel_; }
    virtual void setLogLevel(halvex::Logging::LogLevel value) { logLevel_ = value; }
    // True: prewarm the models during construction.
    virtual std::optional<bool> prewarm() const { return prewarm_; }
    virtual void setPrewarm(std::optional<bool> value) { prewarm_ = value; }
    // True: load the models during construction; empty: only when a model folder is given.
    virtual std::optional<bool> load() const { return load_; }
    virtual void setLoad(std::optional<bool> value) { load_ = value; }
    // Whether the model is downloaded from the hub when no model folder is given.
    virtual bool download() const { return download_; }
    virtual void setDownload(bool value) { download_ = value; }
    virtual bool useBackgroundDownloadSession() const { return useBackgroundDownloadSession_; }
    virtual void setUseBackgroundDownloadSession(bool value) { useBackgroundDownloadSession_ = value; }

private:
    std::optional<std::string> model_;
    std::optional<std::filesystem::path> downloadBase_;
    std::optional<std::string> modelRepo_;
    std::optional<std::string> modelToken_;
    std::optional<std::string> modelEndpoint_;
    std::optional<std::string> modelFolder_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    std::optional<ModelComputeOptions> computeOptions_;
    std::optional<AudioInputOptions> audioInputConfigStorage_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector_;
    bool verbose_;
    halvex::Logging::LogLevel logLevel_;
    std::optional<bool> prewarm_;
    std::optional<bool> load_;
    bool download_;
    bool useBackgroundDownloadSession_;
};

// The hub repository of the model folders when a configuration names none.
inline constexpr const char* defaultModelRepository = "zodavaruz/murmex-coreml";

}  // namespace murmex
