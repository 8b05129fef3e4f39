#pragma once

#include "HalvexCore/External/Hub/Progress.h"
#include "HalvexCore/HubApiWrapper.h"
#include "Murmex/Model/ModelCheckpoint.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace murmex {

// Fetches a variant's hub checkpoint through the hub client's resumable, verified snapshot and
// converts it into a model folder of this library's format, installed atomically.
class CheckpointDownload {
public:
    using ProgressCallback = std::function<void(const halvex::Progress&)>;

    // The name of the hidden file that marks a model folder as converted from a checkpoint; it
    // holds the checkpoint's repository id.
    static constexpr const char* markerName = ".converted-from-checkpoint";

    // Downloads the checkpoint's files (never other weight formats), converts them into a
    // hidden folder beside `destination` and renames that into place once the three models and
    // the tokenizer files are complete. Progress: the snapshot's (counting bytes), then one of
    // 1000 units whose file operation is `converting`. The raw weights and configuration are
    // removed once the conversion has succeeded; until then they stay, so a cut download
    // resumes. Fails with the hub client's errors, halvex::CancellationError once `stop` is
    // requested (also during the conversion), WhisperError.modelsUnavailable naming what is
    // wrong with a checkpoint that cannot be converted, and file-system errors (a full disk).
    static std::filesystem::path run(const ModelCheckpoint& checkpoint, const halvex::HubApiWrapper& hub,
                                     const std::filesystem::path& destination, const ProgressCallback& progress,
                                     std::stop_token stop = {});

    // Whether `folder` is a complete model folder converted from a checkpoint.
    static bool isInstalled(const std::filesystem::path& folder);

    // The files to fetch among the listed ones: the configuration, the tokenizer files, the
    // generation configuration when there is one, and model.safetensors, or the shard index
    // when the weights come only in shards (the shards themselves are named by the index).
    // WhisperError.modelsUnavailable names a missing file.
    static std::vector<std::string> selectFiles(const std::string& repository, const std::vector<std::string>& listed);
};

}  // namespace murmex
