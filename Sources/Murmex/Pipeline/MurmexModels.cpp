#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/HubApiWrapper.h"
#include "HalvexCore/Logging.h"
#include "HalvexCore/ModelUtilities.h"
#include "Murmex/Model/ModelUtilities.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Model/WhisperMLModel.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/ModelFolderManifests.h"
#include "Platform/Text/NumberText.h"

namespace murmex {

using halvex::Logging;
using halvex::ModelState;

namespace {

// The vocabulary size of the English-only models.
constexpr int englishOnlyVocabularySize = 51864;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string twoDecimals(double value) { return platform::numbertext::fixed(value, 2); }

// The model-owning side of a stage: a stage that is a WhisperMLModel. Any other stage owns no
// model this pipeline loads, and is skipped.
struct ModelOwner {
    WhisperMLModel* model = nullptr;

    template <class Stage>
    explicit ModelOwner(const std::shared_ptr<Stage>& stage) : model(dynamic_cast<WhisperMLModel*>(stage.get())) {}

    explicit operator bool() const { return model != nullptr; }

    void load(const std::filesystem::path& location, platform::ComputeUnits computeUnits, bool prewarmMode) const {
        model->loadModel(location, computeUnits, prewarmMode);
    }
    void unload() const {
        if (model) model->unloadModel();
    }
};

}  // namespace

void Murmex::setupModels(const std::optional<std::string>& model,
                         const std::optional<std::filesystem::path>& downloadBase,
                         const std::optional<std::string>& modelRepo, const std::optional<std::string>& modelToken,
                         const std::optional<std::string>& modelFolder, bool download,
                         const std::string& remoteConfigName, const std::string& endpoint) {
    if (modelFolder) {
        setModelFolder(std::filesystem::path(*modelFolder));
        return;
    }
    if (!download) return;

    const std::string repo = modelRepo.value_or(defaultModelRepository);
    const std::string variant = model ? *model
                                      : recommendedRemoteModels(repo, downloadBase, modelToken, remoteConfigName,
                                                                endpoint, useBackgroundDownloadSession())
                                            .defaultModel;
    try {
        setModelFolder(Murmex::download(variant, downloadBase, useBackgroundDownloadSession(), repo, modelToken,
                                        endpoint, nullptr));
    } catch (...) {
        throw WhisperError::modelsUnavailable(
            WhisperErrorMessage::modelNotFound(halvex::localizedDescription(std::current_exception())));
    }
}

void Murmex::prewarmModels() { loadModels(true); }

void Murmex::loadModels(bool prewarmMode) {
    setModelState(prewarmMode ? ModelState::prewarming : ModelState::loading);
    const auto start = Clock::now();

    const auto folder = modelFolder();
    if (!folder) throw WhisperError::modelsUnavailable(std::string(WhisperErrorMessage::modelFolderNotSet));

    Logging::debug("Loading models from " + folder->string() +
                   " with prewarmMode: " + (prewarmMode ? "true" : "false"));

    using platform::ModelFolder;
    const auto melURL = halvex::ModelUtilities::detectModelURL(*folder, std::string(ModelFolder::melSpectrogram));
    const auto encoderURL = halvex::ModelUtilities::detectModelURL(*folder, std::string(ModelFolder::audioEncoder));
    const auto decoderURL = halvex::ModelUtilities::detectModelURL(*folder, std::string(ModelFolder::textDecoder));
    for (const auto& location : {melURL, encoderURL, decoderURL}) {
        std::error_code error;
        if (!std::filesystem::exists(location, error))
            throw WhisperError::modelsUnavailable(WhisperErrorMessage::modelFileNotFound(location.string()));
    }

    // The three models must belong together, or a transcription would fail half-way. A folder
    // whose descriptions cannot be read is left to the stages' loaders to report.
    std::optional<platform::ModelFolderManifests> manifests;
    try {
        manifests = platform::ModelFolderManifests::read(*folder);
    } catch (const platform::MLError&) {}
    if (manifests) manifests->requireAgreement(*folder);

    const ModelComputeOptions compute = modelCompute();

    if (const ModelOwner extractor(featureExtractor()); extractor) {
        Logging::debug("Loading feature extractor");
        extractor.load(melURL, compute.melCompute, prewarmMode);
        Logging::debug("Loaded feature extractor");
    }

    if (const ModelOwner decoder(textDecoder()); decoder) {
        Logging::debug("Loading text decoder");
        const auto decoderStart = Clock::now();
        decoder.load(decoderURL, compute.textDecoderCompute, prewarmMode);
        const double elapsed = secondsSince(decoderStart);
        if (prewarmMode) {
            mutableCurrentTimings().decoderSpecializationTime = elapsed;
        } else {
            mutableCurrentTimings().decoderLoadTime = elapsed;
        }
        Logging::debug("Loaded text decoder in " + twoDecimals(elapsed) + "s");
    }

    if (const ModelOwner encoder(audioEncoder()); encoder) {
        Logging::debug("Loading audio encoder");
        const auto encoderStart = Clock::now();
        encoder.load(encoderURL, compute.audioEncoderCompute, prewarmMode);
        const double elapsed = secondsSince(encoderStart);
        if (prewarmMode) {
            mutableCurrentTimings().encoderSpecializationTime = elapsed;
        } else {
            mutableCurrentTimings().encoderLoadTime = elapsed;
        }
        Logging::debug("Loaded audio encoder in " + twoDecimals(elapsed) + "s");
    }

    if (prewarmMode) {
        setModelState(ModelState::prewarmed);
        mutableCurrentTimings().prewarmLoadTime = secondsSince(start);
        return;
    }

    loadTokenizerIfNeeded();
    setModelState(ModelState::loaded);
    auto& timings = mutableCurrentTimings();
    timings.modelLoading = secondsSince(start) + timings.prewarmLoadTime;
    Logging::info("Loaded models in " + twoDecimals(timings.modelLoading) + "s");
}

void Murmex::loadTokenizerIfNeeded() {
    if (tokenizer()) {
        Logging::debug("Tokenizer already exists on Murmex, skipping load");
        return;
    }

    const auto decoder = textDecoder();
    const auto encoder = audioEncoder();
    if (!decoder || !encoder) throw WhisperError::tokenizerUnavailable();
    const std::optional<int> logitsDim = decoder->logitsSize();
    const std::optional<int> encoderDim = encoder->embedSize();
    if (!logitsDim.has_value() || !encoderDim.has_value()) throw WhisperError::tokenizerUnavailable();
    const int vocabularySize = logitsDim.value();

    decoder->setIsModelMultilingual(vocabularySize != englishOnlyVocabularySize);
    setModelVariant(ModelUtilities::detectVariant(vocabularySize, encoderDim.value()));
    const ModelVariant variant = modelVariant();
    Logging::info("Loading tokenizer for whisper size: " + std::string(description(variant)));

    const auto start = Clock::now();

    std::vector<std::filesystem::path> searchPaths;
    if (const auto folder = modelFolder()) {
        const halvex::HubApiWrapper localHub(*folder, std::nullopt, std::nullopt, false);
        searchPaths.push_back(*folder);
        searchPaths.push_back(localHub.localRepoLocation(halvex::HubApiWrapper::Repo{
            ModelUtilities::tokenizerNameForVariant(variant), halvex::HubApiWrapper::RepoType::models}));
    }

    auto loaded =
        ModelUtilities::loadTokenizer(variant, tokenizerFolder(), searchPaths, useBackgroundDownloadSession());

    const double elapsed = secondsSince(start);
    mutableCurrentTimings().tokenizerLoadTime = elapsed;
    setTokenizer(std::move(loaded));
    Logging::debug("Loaded tokenizer in " + twoDecimals(elapsed) + "s");
}

void Murmex::unloadModels() {
    setModelState(ModelState::unloading);
    ModelOwner(featureExtractor()).unload();
    ModelOwner(audioEncoder()).unload();
    ModelOwner(textDecoder()).unload();
    setModelState(ModelState::unloaded);
    Logging::info("Unloaded all models");
}

}  // namespace murmex
