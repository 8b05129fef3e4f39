#include "Murmex/Model/ModelCheckpoint.h"

#include "HalvexCore/CollectionHelpers.h"
#include "Murmex/Model/ModelSupportConfig.h"

namespace murmex {

namespace {

constexpr std::int64_t MB = 1000 * 1000;

// The weights file of each size, plus its configuration and tokenizer files (about 3 MB).
constexpr std::int64_t tinyBytes = 154 * MB;
constexpr std::int64_t baseBytes = 293 * MB;
constexpr std::int64_t smallBytes = 970 * MB;
constexpr std::int64_t largeV2Bytes = 6176 * MB;  // single precision
constexpr std::int64_t largeV3Bytes = 3090 * MB;  // half precision
constexpr std::int64_t turboBytes = 1621 * MB;    // half precision
constexpr std::int64_t distilBytes = 1516 * MB;   // half precision

}  // namespace

const std::vector<ModelCheckpoint>& ModelCheckpoint::all() {
    static const std::vector<ModelCheckpoint> table = {
        {"openai_whisper-tiny", "openai/whisper-tiny", tinyBytes},
        {"openai_whisper-tiny.en", "openai/whisper-tiny.en", tinyBytes},
        {"openai_whisper-base", "openai/whisper-base", baseBytes},
        {"openai_whisper-base.en", "openai/whisper-base.en", baseBytes},
        {"openai_whisper-small", "openai/whisper-small", smallBytes},
        {"openai_whisper-small.en", "openai/whisper-small.en", smallBytes},
        {"openai_whisper-small_216MB", "openai/whisper-small", smallBytes},
        {"openai_whisper-large-v2", "openai/whisper-large-v2", largeV2Bytes},
        {"openai_whisper-large-v2_949MB", "openai/whisper-large-v2", largeV2Bytes},
        {"openai_whisper-large-v3", "openai/whisper-large-v3", largeV3Bytes},
        {"openai_whisper-large-v3_947MB", "openai/whisper-large-v3", largeV3Bytes},
        {"openai_whisper-large-v3_turbo", "openai/whisper-large-v3-turbo", turboBytes},
        {"openai_whisper-large-v3_turbo_954MB", "openai/whisper-large-v3-turbo", turboBytes},
        // The turbo release of large-v3, published on 2024-09-30.
        {"openai_whisper-large-v3-v20240930", "openai/whisper-large-v3-turbo", turboBytes},
        {"openai_whisper-large-v3-v20240930_626MB", "openai/whisper-large-v3-turbo", turboBytes},
        {"openai_whisper-large-v3-v20240930_turbo", "openai/whisper-large-v3-turbo", turboBytes},
        {"openai_whisper-large-v3-v20240930_turbo_632MB", "openai/whisper-large-v3-turbo", turboBytes},
        {"distil-whisper_distil-large-v3", "distil-whisper/distil-large-v3", distilBytes},
        {"distil-whisper_distil-large-v3_594MB", "distil-whisper/distil-large-v3", distilBytes},
    };
    return table;
}

std::optional<ModelCheckpoint> ModelCheckpoint::forVariant(const std::string& variant) {
    if (variant.empty()) return std::nullopt;
    auto matches = [](const std::string& pattern) {
        std::vector<const ModelCheckpoint*> found;
        for (const auto& checkpoint : all()) {
            if (halvex::matchesGlob(checkpoint.variantFolder, pattern)) found.push_back(&checkpoint);
        }
        return found;
    };
    std::string first(1, '*');
    first += variant;
    auto found = matches(first);
    if (found.size() != 1) {
        const std::string folder = defaultBaseModelFolder;
        std::string second(1, '*');
        second += folder.substr(0, folder.find('_'));
        second += '*';
        second += variant;
        found = matches(second);
    }
    if (found.size() != 1) return std::nullopt;
    return *found.front();
}

const std::vector<std::string>& ModelCheckpoint::fileGlobs() {
    static const std::vector<std::string> globs = {
        "config.json",         "generation_config.json", "model.safetensors",     "model.safetensors.index.json",
        "model-*.safetensors", "tokenizer.json",         "tokenizer_config.json",
    };
    return globs;
}

}  // namespace murmex
