#include "Platform/ML/Conversion/CheckpointConfig.h"

#include "Platform/IO/RegularFile.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/TokenizerIds.h"
#include "Platform/Text/MessageText.h"
#include "Platform/Text/StrictJson.h"

#include <nlohmann/json.hpp>

namespace platform::conversion {

namespace {

using messagetext::shortened;
using nlohmann::json;

[[noreturn]] void invalid(const std::string& why) {
    throw MLError(MLError::Code::invalidModel, "Cannot convert: " + why);
}

// A whole number within low...high: nothing for any other value, including one that a
// narrower type would wrap into the range (4294967296 is not 0).
std::optional<long long> wholeNumberIn(const json& value, long long low, long long high) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(high) || static_cast<long long>(number) < low) return std::nullopt;
        return static_cast<long long>(number);
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number < low || number > high) return std::nullopt;
        return number;
    }
    return std::nullopt;
}

int configInt(const json& config, const char* key, int low, int high) {
    if (!config.contains(key) || !config[key].is_number_integer())
        invalid(std::string("config.json has no whole number \"") + key + "\"");
    const auto value = wholeNumberIn(config[key], low, high);
    if (!value)
        invalid(std::string("config.json \"") + key + "\" is " + shortened(config[key].dump()) + ", outside " +
                std::to_string(low) + "..." + std::to_string(high));
    return static_cast<int>(*value);
}

}  // namespace

json readCheckpointJson(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    std::string text;
    try {
        text = readRegularFile(path, CheckpointConfig::maximumConfigBytes);
    } catch (const RegularFileError& error) {
        switch (error.reason()) {
            case RegularFileError::Reason::missing:
                throw MLError(MLError::Code::modelNotFound, "Cannot convert: the checkpoint has no " + name);
            case RegularFileError::Reason::notRegularFile: invalid(name + " is not a regular file");
            case RegularFileError::Reason::tooLarge:
                invalid(name + " is larger than " + std::to_string(CheckpointConfig::maximumConfigBytes / 1'000'000) +
                        " MB");
            case RegularFileError::Reason::unreadable: break;
        }
        invalid(std::string("cannot read ") + error.what());
    }
    try {
        return parseStrictJson(text);
    } catch (const json::exception& error) {
        invalid(name + " is not JSON: " + shortened(error.what(), 200));
    } catch (const DuplicateKeyError& error) {
        invalid(name + " is not valid: " + error.what());
    }
}

CheckpointConfig CheckpointConfig::read(const std::filesystem::path& checkpointFolder) {
    const json config = readCheckpointJson(checkpointFolder / "config.json");
    if (!config.is_object()) invalid("config.json is not a JSON object");
    CheckpointConfig c;
    c.width = configInt(config, "d_model", 1, 1 << 14);
    c.encoderLayers = configInt(config, "encoder_layers", 0, 1 << 10);
    c.encoderHeads = configInt(config, "encoder_attention_heads", 1, 1 << 10);
    c.decoderLayers = configInt(config, "decoder_layers", 1, 1 << 10);
    c.decoderHeads = configInt(config, "decoder_attention_heads", 1, 1 << 10);
    c.melCount = configInt(config, "num_mel_bins", 1, 1024);
    c.vocabulary = configInt(config, "vocab_size", 1, 1 << 24);
    c.audioFrames = configInt(config, "max_source_positions", 1, 1 << 16);
    c.textContext = configInt(config, "max_target_positions", 1, 1 << 16);
    if (c.width % c.encoderHeads != 0 || c.width % c.decoderHeads != 0)
        invalid("d_model is not a multiple of the heads");
    for (const char* key : {"encoder_ffn_dim", "decoder_ffn_dim"}) {
        if (config.contains(key) && config[key] != 4 * c.width) invalid(std::string(key) + " is not 4 × d_model");
    }
    if (config.contains("activation_function") && config["activation_function"] != "gelu")
        invalid("activation_function is not gelu");

    const auto generation = checkpointFolder / "generation_config.json";
    std::error_code error;
    if (std::filesystem::exists(generation, error)) {
        const json g = readCheckpointJson(generation);
        if (g.is_object() && g.contains("alignment_heads")) {
            if (!g["alignment_heads"].is_array()) invalid("alignment_heads is not a list");
            for (const auto& pair : g["alignment_heads"]) {
                if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() ||
                    !pair[1].is_number_integer())
                    invalid("alignment_heads entries must be [layer, head]");
                const auto layer = wholeNumberIn(pair[0], 0, c.decoderLayers - 1);
                const auto head = wholeNumberIn(pair[1], 0, c.decoderHeads - 1);
                if (!layer || !head)
                    invalid("the alignment head " + shortened(pair.dump()) + " lies outside the decoder's " +
                            std::to_string(c.decoderLayers) + " layers of " + std::to_string(c.decoderHeads) +
                            " heads");
                c.alignmentHeads.emplace_back(static_cast<int>(*layer), static_cast<int>(*head));
            }
        }
    }
    return c;
}

runtime::MelHyperparameters CheckpointConfig::melParameters() const {
    runtime::MelHyperparameters p;
    p.melCount = melCount;
    p.sampleCount = audioFrames * 2 * p.hopLength;
    return p;
}

runtime::EncoderHyperparameters CheckpointConfig::encoderParameters() const {
    runtime::EncoderHyperparameters p;
    p.melCount = melCount;
    p.width = width;
    p.heads = encoderHeads;
    p.layers = encoderLayers;
    p.frames = audioFrames;
    return p;
}

runtime::DecoderHyperparameters CheckpointConfig::decoderParameters(int cacheLength) const {
    runtime::DecoderHyperparameters p;
    p.vocabulary = vocabulary;
    p.width = width;
    p.heads = decoderHeads;
    p.layers = decoderLayers;
    p.textContext = textContext;
    p.cacheLength = cacheLength;
    p.audioFrames = audioFrames;
    p.alignmentHeads = alignmentHeads;
    if (p.alignmentHeads.empty()) {
        for (int layer = decoderLayers / 2; layer < decoderLayers; ++layer)
            for (int head = 0; head < decoderHeads; ++head) p.alignmentHeads.emplace_back(layer, head);
    }
    return p;
}

void CheckpointConfig::requireRunnable(int cacheLength, std::optional<std::int64_t> highestTokenId,
                                       const std::string& highestToken) const {
    const auto mel = melParameters();
    if (mel.sampleCount < mel.fftLength)
        invalid("max_source_positions " + std::to_string(audioFrames) + " gives windows of " +
                std::to_string(mel.sampleCount) + " samples, shorter than one FFT of " + std::to_string(mel.fftLength) +
                "; the runtime needs at least " +
                std::to_string((mel.fftLength + 2 * mel.hopLength - 1) / (2 * mel.hopLength)));
    if (cacheLength < 1 || cacheLength > textContext)
        invalid("the cache length " + std::to_string(cacheLength) + " is outside 1..." + std::to_string(textContext) +
                " (max_target_positions)");
    if (highestTokenId && *highestTokenId >= vocabulary)
        invalid("vocab_size " + std::to_string(vocabulary) + " does not reach the tokenizer's token \"" + highestToken +
                "\" of id " + std::to_string(*highestTokenId));
    // The runtime's own checks, on the descriptions the conversion will write.
    try {
        using runtime::ModelManifest;
        ModelManifest::parse(ModelManifest::forMel(mel).serialize(), "the mel spectrogram");
        ModelManifest::parse(ModelManifest::forEncoder(encoderParameters()).serialize(), "the audio encoder");
        ModelManifest::parse(ModelManifest::forDecoder(decoderParameters(cacheLength)).serialize(), "the text decoder");
    } catch (const MLError& error) {
        invalid(std::string("the runtime cannot run a model of these dimensions: ") + error.what());
    }
}

void checkTokenizerFile(const std::filesystem::path& file) {
    const std::string name = file.filename().string();
    std::string text;
    try {
        text = readRegularFile(file, TokenizerIds::maximumFileBytes);
    } catch (const RegularFileError& error) {
        if (error.reason() == RegularFileError::Reason::notRegularFile)
            invalid("the tokenizer file " + name + " is not a regular file");
        if (error.reason() == RegularFileError::Reason::tooLarge)
            invalid("the tokenizer file " + name + " is larger than " +
                    std::to_string(TokenizerIds::maximumFileBytes >> 20) + " MiB");
        invalid(std::string("cannot read the tokenizer file: ") + error.what());
    }
    if (name.ends_with(".json")) {
        if (json::accept(text)) return;
        // Parsed again only to say where it fails.
        try {
            const json document = json::parse(text);
        } catch (const json::exception& error) {
            invalid("the tokenizer file " + name + " is not valid JSON (" + shortened(error.what(), 200) + ")");
        }
        invalid("the tokenizer file " + name + " is not valid JSON");
    }
    // Text files (merges.txt): UTF-8 throughout.
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte < 0x80           ? 1
                                   : (byte >> 5) == 0x6  ? 2
                                   : (byte >> 4) == 0xE  ? 3
                                   : (byte >> 3) == 0x1E ? 4
                                                         : 0;
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!valid) invalid("the tokenizer file " + name + " is not UTF-8 text (byte " + std::to_string(i) + ")");
        i += length;
    }
}

}  // namespace platform::conversion
