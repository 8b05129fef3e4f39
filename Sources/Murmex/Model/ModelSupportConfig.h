#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Murmex/Model/JSONCoding.h"

namespace murmex {

// A device family's model folders: the one to use by default, those it can run (in the
// document's order) and those known to the configuration that it cannot run.
struct ModelSupport {
    std::string defaultModel;  // "default" in JSON
    std::vector<std::string> supported;
    std::vector<std::string> disabled;

    friend bool operator==(const ModelSupport&, const ModelSupport&) = default;
};

// One row of the support configuration: readable chip names, the hardware model identifier
// prefixes that select it, and its models.
struct DeviceSupport {
    std::optional<std::string> chips;
    std::vector<std::string> identifiers;
    ModelSupport models;

    friend bool operator==(const DeviceSupport&, const DeviceSupport&) = default;
};

// Which model folders each device family supports. A document of the built-in repository
// family is merged with the built-in rows (`Constants::fallbackModelSupportConfig()`).
struct ModelSupportConfig {
    std::string repoName;
    std::string repoVersion;
    std::vector<DeviceSupport> deviceSupports;
    // Every folder supported by some row, each once, in first-seen order.
    std::vector<std::string> knownModels;
    // The row of devices that no identifier matches: every known folder, the base folder by
    // default.
    DeviceSupport defaultSupport;

    ModelSupportConfig() = default;
    // Merges with the built-in rows when `includeFallback` is true and the built-in repository
    // name contains `repoName`; then computes `knownModels`, every row's disabled list (in
    // `knownModels` order) and `defaultSupport`.
    ModelSupportConfig(std::string repoName, std::string repoVersion, std::vector<DeviceSupport> deviceSupports,
                       bool includeFallback = true);

    // The models of the row whose longest identifier is a prefix of `deviceIdentifier` (the
    // earlier row on equal lengths), or of `defaultSupport`; logs which.
    ModelSupport modelSupport(const std::string& deviceIdentifier) const;

    // The remote rows, each completed by the first built-in row sharing an identifier, then
    // the built-in rows none of whose identifiers the remote rows name.
    static std::vector<DeviceSupport> mergeDeviceSupport(const std::vector<DeviceSupport>& remote,
                                                         const std::vector<DeviceSupport>& fallback);

    friend bool operator==(const ModelSupportConfig&, const ModelSupportConfig&) = default;

private:
    void complete();
};

// The folder name of the base model in the model repository, the built-in default.
inline constexpr const char* defaultBaseModelFolder = "openai_whisper-base";

// {"default": …, "supported": […]}; the disabled list is neither written nor read.
void to_json(Json& json, const ModelSupport& support);
void from_json(const Json& json, ModelSupport& support);
// {"chips"?: …, "identifiers": […], "models": {…}}.
void to_json(Json& json, const DeviceSupport& device);
void from_json(const Json& json, DeviceSupport& device);
// {"name": …, "version": …, "device_support": […]}; reading runs the initializer with the
// built-in rows included.
void to_json(Json& json, const ModelSupportConfig& config);
void from_json(const Json& json, ModelSupportConfig& config);

}  // namespace murmex
