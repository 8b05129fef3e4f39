#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "HalvexCore/Logging.h"
#include "Murmex/Model/AudioEncoding.h"
#include "Murmex/Model/AudioInputOptions.h"
#include "Murmex/Model/AudioProcessing.h"
#include "Murmex/Model/FeatureExtracting.h"
#include "Murmex/Model/LogitsFiltering.h"
#include "Murmex/Model/ModelComputeOptions.h"
#include "Murmex/Model/SegmentSeeking.h"
#include "Murmex/Model/TextDecoding.h"
#include "Murmex/Model/VoiceActivityDetector.h"

namespace murmex {

// The configuration from which a speech pipeline is built. It only stores what it is given;
// the pipeline reads every field once while it is constructed and fills in a default for each
// empty one. Stage objects are shared: the pipeline takes the same objects. Not thread-safe:
// build and read it on one thread.
class MurmexConfig {
public:
    // Every value of the configuration, with its default: the initializer's arguments and the
    // configuration's own storage. Omitted optional fields are empty. Use with designated
    // initializers: `MurmexConfig({.modelFolder = folder, .download = false})`.
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

    MurmexConfig() = default;
    explicit MurmexConfig(Arguments arguments) : values_(std::move(arguments)) {}
    virtual ~MurmexConfig() = default;

    // Name of the model variant to download when no model folder is given; empty means the
    // device's default.
    virtual const std::optional<std::string>& model() const { return values_.model; }
    virtual void setModel(std::optional<std::string> value) { values_.model = std::move(value); }
    // Folder under which hub downloads are kept.
    virtual const std::optional<std::filesystem::path>& downloadBase() const { return values_.downloadBase; }
    virtual void setDownloadBase(std::optional<std::filesystem::path> value) {
        values_.downloadBase = std::move(value);
    }
    // Hub repository of the model folders; empty means the library's repository.
    virtual const std::optional<std::string>& modelRepo() const { return values_.modelRepo; }
    virtual void setModelRepo(std::optional<std::string> value) { values_.modelRepo = std::move(value); }
    virtual const std::optional<std::string>& modelToken() const { return values_.modelToken; }
    virtual void setModelToken(std::optional<std::string> value) { values_.modelToken = std::move(value); }
    // Base URL of the hub; empty means the hub's default.
    virtual const std::optional<std::string>& modelEndpoint() const { return values_.modelEndpoint; }
    virtual void setModelEndpoint(std::optional<std::string> value) { values_.modelEndpoint = std::move(value); }
    // A local folder that already holds the three models; when given, nothing is downloaded.
    virtual const std::optional<std::string>& modelFolder() const { return values_.modelFolder; }
    virtual void setModelFolder(std::optional<std::string> value) { values_.modelFolder = std::move(value); }
    // Folder searched for tokenizer files; empty means the download base.
    virtual const std::optional<std::filesystem::path>& tokenizerFolder() const { return values_.tokenizerFolder; }
    virtual void setTokenizerFolder(std::optional<std::filesystem::path> value) {
        values_.tokenizerFolder = std::move(value);
    }
    virtual const std::optional<ModelComputeOptions>& computeOptions() const { return values_.computeOptions; }
    virtual void setComputeOptions(std::optional<ModelComputeOptions> value) {
        values_.computeOptions = std::move(value);
    }
    // How files are read by default; empty means the sum of all channels, whole file.
    virtual const std::optional<AudioInputOptions>& audioInputConfigStorage() const { return values_.audioInputConfig; }
    virtual void setAudioInputConfigStorage(std::optional<AudioInputOptions> value) {
        values_.audioInputConfig = std::move(value);
    }
    // The same value as `audioInputConfigStorage`, unchanged either way.
    virtual const std::optional<AudioInputOptions>& audioInputConfig() const { return audioInputConfigStorage(); }
    virtual void setAudioInputConfig(std::optional<AudioInputOptions> value) {
        setAudioInputConfigStorage(std::move(value));
    }
    // Replacement stages; null means the library's own.
    virtual const std::shared_ptr<AudioProcessing>& audioProcessor() const { return values_.audioProcessor; }
    virtual void setAudioProcessor(std::shared_ptr<AudioProcessing> value) {
        values_.audioProcessor = std::move(value);
    }
    virtual const std::shared_ptr<FeatureExtracting>& featureExtractor() const { return values_.featureExtractor; }
    virtual void setFeatureExtractor(std::shared_ptr<FeatureExtracting> value) {
        values_.featureExtractor = std::move(value);
    }
    virtual const std::shared_ptr<AudioEncoding>& audioEncoder() const { return values_.audioEncoder; }
    virtual void setAudioEncoder(std::shared_ptr<AudioEncoding> value) { values_.audioEncoder = std::move(value); }
    virtual const std::shared_ptr<TextDecoding>& textDecoder() const { return values_.textDecoder; }
    virtual void setTextDecoder(std::shared_ptr<TextDecoding> value) { values_.textDecoder = std::move(value); }
    // Logit filters handed to the text decoder.
    virtual const std::optional<std::vector<std::shared_ptr<LogitsFiltering>>>& logitsFilters() const {
        return values_.logitsFilters;
    }
    virtual void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> value) {
        values_.logitsFilters = std::move(value);
    }
    virtual const std::shared_ptr<SegmentSeeking>& segmentSeeker() const { return values_.segmentSeeker; }
    virtual void setSegmentSeeker(std::shared_ptr<SegmentSeeking> value) { values_.segmentSeeker = std::move(value); }
    // The detector used when audio is cut at silences.
    virtual const std::shared_ptr<VoiceActivityDetector>& voiceActivityDetector() const {
        return values_.voiceActivityDetector;
    }
    virtual void setVoiceActivityDetector(std::shared_ptr<VoiceActivityDetector> value) {
        values_.voiceActivityDetector = std::move(value);
    }
    // Whether the pipeline logs at all, and at which level when it does.
    virtual bool verbose() const { return values_.verbose; }
    virtual void setVerbose(bool value) { values_.verbose = value; }
    virtual halvex::Logging::LogLevel logLevel() const { return values_.logLevel; }
    virtual void setLogLevel(halvex::Logging::LogLevel value) { values_.logLevel = value; }
    // True: prewarm the models during construction.
    virtual std::optional<bool> prewarm() const { return values_.prewarm; }
    virtual void setPrewarm(std::optional<bool> value) { values_.prewarm = value; }
    // True: load the models during construction; empty: only when a model folder is given.
    virtual std::optional<bool> load() const { return values_.load; }
    virtual void setLoad(std::optional<bool> value) { values_.load = value; }
    // Whether the model is downloaded from the hub when no model folder is given.
    virtual bool download() const { return values_.download; }
    virtual void setDownload(bool value) { values_.download = value; }
    virtual bool useBackgroundDownloadSession() const { return values_.useBackgroundDownloadSession; }
    virtual void setUseBackgroundDownloadSession(bool value) { values_.useBackgroundDownloadSession = value; }

private:
    Arguments values_;
};

// The hub repository of the model folders when a configuration names none.
inline constexpr const char* defaultModelRepository = "zodavaruz/murmex-coreml";

}  // namespace murmex
