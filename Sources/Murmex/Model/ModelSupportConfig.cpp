#include "Murmex/Model/ModelSupportConfig.h"

#include <algorithm>
#include <set>
#include <unordered_set>
#include <utility>

#include "Murmex/Model/Constants.h"
#include "Murmex/Model/MurmexLog.h"

namespace murmex {

namespace {

void appendUnique(std::vector<std::string>& list, std::unordered_set<std::string>& seen,
                  const std::vector<std::string>& names) {
    for (const auto& name : names) {
        if (seen.insert(name).second) list.push_back(name);
    }
}

std::size_t characterCount(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string listDescription(const std::vector<std::string>& items) {
    std::string text = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += ", ";
        text += "\"" + items[i] + "\"";
    }
    return text + "]";
}

}  // namespace

ModelSupportConfig::ModelSupportConfig(std::string repoName, std::string repoVersion,
                                       std::vector<DeviceSupport> deviceSupports, bool includeFallback)
    : repoName(std::move(repoName)), repoVersion(std::move(repoVersion)), deviceSupports(std::move(deviceSupports)) {
    if (includeFallback) {
        const ModelSupportConfig& builtIn = Constants::fallbackModelSupportConfig();
        if (builtIn.repoName.find(this->repoName) != std::string::npos) {
            this->deviceSupports = mergeDeviceSupport(this->deviceSupports, builtIn.deviceSupports);
        }
    }
    complete();
}

void ModelSupportConfig::complete() {
    knownModels.clear();
    std::unordered_set<std::string> seen;
    for (const auto& device : deviceSupports) appendUnique(knownModels, seen, device.models.supported);
    for (auto& device : deviceSupports) {
        const std::set<std::string> supported(device.models.supported.begin(), device.models.supported.end());
        device.models.disabled.clear();
        for (const auto& name : knownModels) {
            if (!supported.count(name)) device.models.disabled.push_back(name);
        }
    }
    defaultSupport = DeviceSupport{std::nullopt, {}, ModelSupport{defaultBaseModelFolder, knownModels, {}}};
}

std::vector<DeviceSupport> ModelSupportConfig::mergeDeviceSupport(const std::vector<DeviceSupport>& remote,
                                                                  const std::vector<DeviceSupport>& fallback) {
    std::set<std::string> remoteIdentifiers;
    for (const auto& device : remote) remoteIdentifiers.insert(device.identifiers.begin(), device.identifiers.end());

    std::vector<DeviceSupport> merged;
    for (const auto& device : remote) {
        const std::set<std::string> own(device.identifiers.begin(), device.identifiers.end());
        auto match = std::find_if(fallback.begin(), fallback.end(), [&](const DeviceSupport& candidate) {
            return std::any_of(candidate.identifiers.begin(), candidate.identifiers.end(),
                               [&](const std::string& identifier) { return own.count(identifier) > 0; });
        });
        if (match == fallback.end()) {
            merged.push_back(device);
            continue;
        }
        std::vector<std::string> supported;
        std::unordered_set<std::string> seen;
        appendUnique(supported, seen, device.models.supported);
        appendUnique(supported, seen, match->models.supported);
        merged.push_back(DeviceSupport{device.chips, device.identifiers,
                                       ModelSupport{device.models.defaultModel, std::move(supported), {}}});
    }
    for (const auto& device : fallback) {
        const bool named =
            std::any_of(device.identifiers.begin(), device.identifiers.end(),
                        [&](const std::string& identifier) { return remoteIdentifiers.count(identifier) > 0; });
        if (!named) merged.push_back(device);
    }
    return merged;
}

ModelSupport ModelSupportConfig::modelSupport(const std::string& deviceIdentifier) const {
    const DeviceSupport* best = nullptr;
    std::size_t bestLength = 0;
    for (const auto& device : deviceSupports) {
        for (const auto& identifier : device.identifiers) {
            if (deviceIdentifier.compare(0, identifier.size(), identifier) != 0) continue;
            const std::size_t length = characterCount(identifier);
            if (best == nullptr || length > bestLength) {
                best = &device;
                bestLength = length;
            }
        }
    }
    if (best != nullptr) {
        log::debug("Matched " + deviceIdentifier + " to devices: " + listDescription(best->identifiers));
        return best->models;
    }
    log::info("No device support found for " + deviceIdentifier + ", using default");
    return defaultSupport.models;
}

void to_json(Json& json, const ModelSupport& support) {
    json = Json::object();
    json["default"] = support.defaultModel;
    json["supported"] = coding::encode(support.supported);
}

void from_json(const Json& json, ModelSupport& support) {
    coding::requireObject(json, "ModelSupport");
    ModelSupport read;
    read.defaultModel = coding::decodeKey<std::string>(json, "default");
    read.supported = coding::decodeKey<std::vector<std::string>>(json, "supported");
    support = std::move(read);
}

void to_json(Json& json, const DeviceSupport& device) {
    json = Json::object();
    coding::encodeKeyIfPresent(json, "chips", device.chips);
    json["identifiers"] = coding::encode(device.identifiers);
    json["models"] = coding::encode(device.models);
}

void from_json(const Json& json, DeviceSupport& device) {
    coding::requireObject(json, "DeviceSupport");
    DeviceSupport read;
    read.chips = coding::decodeKeyIfPresent<std::string>(json, "chips");
    read.identifiers = coding::decodeKey<std::vector<std::string>>(json, "identifiers");
    read.models = coding::decodeKey<ModelSupport>(json, "models");
    device = std::move(read);
}

void to_json(Json& json, const ModelSupportConfig& config) {
    json = Json::object();
    json["name"] = config.repoName;
    json["version"] = config.repoVersion;
    json["device_support"] = coding::encode(config.deviceSupports);
}

void from_json(const Json& json, ModelSupportConfig& config) {
    coding::requireObject(json, "ModelSupportConfig");
    auto name = coding::decodeKey<std::string>(json, "name");
    auto version = coding::decodeKey<std::string>(json, "version");
    auto rows = coding::decodeKey<std::vector<DeviceSupport>>(json, "device_support");
    config = ModelSupportConfig(std::move(name), std::move(version), std::move(rows), true);
}

// The built-in table. Folder names follow the model repository's pattern
// <family>-<size>[.en][_turbo][_<N>MB].
namespace {

const std::string kTiny = "openai_whisper-tiny";
const std::string kTinyEn = "openai_whisper-tiny.en";
const std::string kBase = "openai_whisper-base";
const std::string kBaseEn = "openai_whisper-base.en";
const std::string kSmall = "openai_whisper-small";
const std::string kSmallEn = "openai_whisper-small.en";
const std::string kSmallCompressed = "openai_whisper-small_216MB";
const std::string kLargeV2 = "openai_whisper-large-v2";
const std::string kLargeV2Compressed = "openai_whisper-large-v2_949MB";
const std::string kLargeV2TurboCompressed = "openai_whisper-large-v2_turbo_955MB";
const std::string kLargeV3 = "openai_whisper-large-v3";
const std::string kLargeV3Compressed = "openai_whisper-large-v3_947MB";
const std::string kLargeV3Turbo = "openai_whisper-large-v3_turbo";
const std::string kLargeV3TurboCompressed = "openai_whisper-large-v3_turbo_954MB";
const std::string kDistilLargeV3 = "distil-whisper_distil-large-v3";
const std::string kDistilLargeV3Compressed = "distil-whisper_distil-large-v3_594MB";
const std::string kDistilLargeV3Turbo = "distil-whisper_distil-large-v3_turbo";
const std::string kDistilLargeV3TurboCompressed = "distil-whisper_distil-large-v3_turbo_600MB";
const std::string kRevision = "openai_whisper-large-v3-v20240930";
const std::string kRevisionCompressed = "openai_whisper-large-v3-v20240930_626MB";
const std::string kRevisionTurbo = "openai_whisper-large-v3-v20240930_turbo";
const std::string kRevisionTurboCompressed = "openai_whisper-large-v3-v20240930_turbo_632MB";

std::vector<DeviceSupport> builtInRows() {
    const std::vector<std::string> smallSizes = {kTiny, kTinyEn, kBase, kBaseEn, kSmall, kSmallEn};
    std::vector<std::string> phones = smallSizes;
    phones.insert(phones.end(), {kLargeV2Compressed, kLargeV2TurboCompressed, kLargeV3Compressed,
                                 kLargeV3TurboCompressed, kDistilLargeV3Compressed, kDistilLargeV3TurboCompressed,
                                 kRevisionCompressed, kRevisionTurboCompressed});
    std::vector<std::string> firstChips = smallSizes;
    firstChips.insert(firstChips.end(), {kLargeV2, kLargeV2Compressed, kLargeV3, kLargeV3Compressed, kDistilLargeV3,
                                         kDistilLargeV3Compressed, kRevisionCompressed});
    const std::vector<std::string> everything = {kTiny,
                                                 kTinyEn,
                                                 kBase,
                                                 kBaseEn,
                                                 kSmall,
                                                 kSmallEn,
                                                 kSmallCompressed,
                                                 kLargeV2,
                                                 kLargeV2Compressed,
                                                 kLargeV2TurboCompressed,
                                                 kLargeV3,
                                                 kLargeV3Compressed,
                                                 kLargeV3Turbo,
                                                 kLargeV3TurboCompressed,
                                                 kDistilLargeV3,
                                                 kDistilLargeV3Compressed,
                                                 kDistilLargeV3Turbo,
                                                 kDistilLargeV3TurboCompressed,
                                                 kRevision,
                                                 kRevisionCompressed,
                                                 kRevisionTurbo,
                                                 kRevisionTurboCompressed};

    return {
        {"A12, A13, S9, S10",
         {"iPhone11", "iPhone12", "iPad12,1", "iPad12,2", "Watch7", "Watch8"},
         {kTiny, {kBase, kBaseEn, kTiny, kTinyEn}, {}}},
        {"A16, A17 Pro, A18",
         {"iPhone15", "iPhone16", "iPhone17", "iPad15,7", "iPad15,8", "iPad16,1", "iPad16,2"},
         {kBase, phones, {}}},
        {"M1",
         {"MacBookPro17,1", "MacBookPro18,1", "MacBookPro18,2", "MacBookPro18,3", "MacBookPro18,4",
          "MacBookAir10,1", "Macmini9,1",     "iMac21,1",       "iMac21,2",       "Mac13",
          "iPad13,4",       "iPad13,5",       "iPad13,6",       "iPad13,7",       "iPad13,8",
          "iPad13,9",       "iPad13,10",      "iPad13,11",      "iPad13,16",      "iPad13,17"},
         {kRevisionCompressed, firstChips, {}}},
        {"M2, M3, M4",
         {"Mac14", "Mac15", "Mac16", "iPad14,3", "iPad14,4", "iPad14,5", "iPad14,6", "iPad14,8", "iPad14,9",
          "iPad14,10", "iPad14,11", "iPad15", "iPad16"},
         {kRevision, everything, {}}},
        {"A14", {"iPhone13", "iPad13,1", "iPad13,2", "iPad13,18", "iPad13,19"}, {kBase, smallSizes, {}}},
        {"A15", {"iPhone14", "iPad14,1", "iPad14,2"}, {kBase, phones, {}}},
    };
}

}  // namespace

const ModelSupportConfig& Constants::fallbackModelSupportConfig() {
    static const ModelSupportConfig config("murmex-coreml-fallback", "0.4", builtInRows(), false);
    return config;
}

const std::vector<std::string>& Constants::knownModels() { return fallbackModelSupportConfig().knownModels; }

}  // namespace murmex
