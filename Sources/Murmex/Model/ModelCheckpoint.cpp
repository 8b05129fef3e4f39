#include "Murmex/Model/ModelCheckpoint.h"

#include "HalvexCore/CollectionHelpers.h"
#include "Murmex/Model/ModelSupportConfig.h"

namespace murmex {

const std::vector<ModelCheckpoint>& ModelCheckpoint::all() {
    static const std::vector<ModelCheckpoint> table = {
        {"openai_whisper-tiny", "openai/whisper-tiny"},
        {"openai_whisper-tiny.en", "openai/whisper-tiny.en"},
        {"openai_whisper-base", "openai/whisper-base"},
        {"openai_whisper-base.en", "openai/whisper-base.en"},
        {"openai_whisper-small", "openai/whisper-small"},
        {"openai_whisper-small.en", "openai/whisper-small.en"},
        {"openai_whisper-small_216MB", "openai/whisper-small"},
        {"openai_whisper-large-v2", "openai/whisper-large-v2"},
        {"openai_whisper-large-v2_949MB", "openai/whisper-large-v2"},
        {"openai_whisper-large-v3", "openai/whisper-large-v3"},
        {"openai_whisper-large-v3_947MB", "openai/whisper-large-v3"},
        {"openai_whisper-large-v3_turbo", "openai/whisper-large-v3-turbo"},
        {"openai_whisper-large-v3_turbo_954MB", "openai/whisper-large-v3-turbo"},
        // The turbo release of large-v3, published on 2024-09-30.
        {"openai_whisper-large-v3-v20240930", "openai/whisper-large-v3-turbo"},
        {"openai_whisper-large-v3-v20240930_626MB", "openai/whisper-large-v3-turbo"},
        {"openai_whisper-large-v3-v20240930_turbo", "openai/whisper-large-v3-turbo"},
        {"openai_whisper-large-v3-v20240930_turbo_632MB", "openai/whisper-large-v3-turbo"},
        {"distil-whisper_distil-large-v3", "distil-whisper/distil-large-v3"},
        {"distil-whisper_distil-large-v3_594MB", "distil-whisper/distil-large-v3"},
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
