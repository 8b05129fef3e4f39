#include "Platform/ML/Runtime/ModelManifest.h"

#include "Platform/ML/MLError.h"
#include "Platform/Text/MessageText.h"

#include <cstdint>
#include <optional>

namespace platform::runtime {

namespace {

using nlohmann::json;

constexpr int formatVersion = 1;

FeatureDescription arrayFeature(const std::string& name, MultiArrayDataType type, Shape shape, bool optional = false) {
    return FeatureDescription{name, FeatureType::multiArray, optional, MultiArrayConstraint{std::move(shape), type}};
}

void addInput(ModelDescription& d, FeatureDescription f) { d.inputDescriptionsByName[f.name] = std::move(f); }
void addOutput(ModelDescription& d, FeatureDescription f) { d.outputDescriptionsByName[f.name] = std::move(f); }

bool parseDataType(const std::string& text, MultiArrayDataType& type) {
    for (auto candidate : {MultiArrayDataType::float16, MultiArrayDataType::float32, MultiArrayDataType::float64,
                           MultiArrayDataType::int32, MultiArrayDataType::int8}) {
        if (text == dataTypeName(candidate)) {
            type = candidate;
            return true;
        }
    }
    return false;
}

json featuresToJson(const std::map<std::string, FeatureDescription>& features) {
    json list = json::array();
    for (const auto& [name, f] : features) {
        json item = {{"name", name}, {"type", "multiArray"}, {"optional", f.isOptional}};
        if (f.multiArrayConstraint) {
            item["dataType"] = dataTypeName(f.multiArrayConstraint->dataType);
            item["shape"] = f.multiArrayConstraint->shape;
        }
        list.push_back(item);
    }
    return list;
}

[[noreturn]] void invalid(const std::string& source, const std::string& why) {
    throw MLError(MLError::Code::invalidModel, "Invalid model description in " + source + ": " + why);
}

std::map<std::string, FeatureDescription> featuresFromJson(const json& list, const std::string& source) {
    if (!list.is_array()) invalid(source, "feature list is not an array");
    std::map<std::string, FeatureDescription> features;
    for (const auto& item : list) {
        if (!item.is_object() || !item.contains("name") || !item["name"].is_string())
            invalid(source, "feature without a name");
        FeatureDescription f;
        f.name = item["name"].get<std::string>();
        const std::string quoted = "feature " + messagetext::shortened(f.name);
        if (!item.contains("type") || item["type"] != "multiArray") invalid(source, quoted + " is not a multi-array");
        f.type = FeatureType::multiArray;
        f.isOptional = item.contains("optional") && item["optional"] == true;
        MultiArrayConstraint constraint;
        if (!item.contains("dataType") || !item["dataType"].is_string() ||
            !parseDataType(item["dataType"].get<std::string>(), constraint.dataType))
            invalid(source, quoted + " has no valid dataType");
        if (!item.contains("shape") || !item["shape"].is_array()) invalid(source, quoted + " has no shape");
        for (const auto& d : item["shape"]) {
            if (!d.is_number_unsigned() || d.get<std::uint64_t>() > (1ULL << 30))
                invalid(source, quoted + " has a bad dimension");
            constraint.shape.push_back(static_cast<int>(d.get<long long>()));
        }
        f.multiArrayConstraint = constraint;
        features[f.name] = f;
    }
    return features;
}

// A whole number of a JSON value within low...high: nothing for any other value, including
// one that a narrower type would wrap into the range (4294967296 is not 0).
std::optional<int> wholeNumberIn(const json& value, long long low, long long high) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (high < 0 || number > static_cast<std::uint64_t>(high) || static_cast<long long>(number) < low)
            return std::nullopt;
        return static_cast<int>(number);
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number < low || number > high) return std::nullopt;
        return static_cast<int>(number);
    }
    return std::nullopt;
}

int readInt(const json& object, const char* key, int low, int high, const std::string& source) {
    if (!object.contains(key) || !object[key].is_number_integer())
        invalid(source, std::string("missing integer ") + key);
    const auto value = wholeNumberIn(object[key], low, high);
    if (!value)
        invalid(source, std::string(key) + " = " + messagetext::shortened(object[key].dump()) + " is outside " +
                            std::to_string(low) + "..." + std::to_string(high));
    return *value;
}

bool sameFeatures(const std::map<std::string, FeatureDescription>& a,
                  const std::map<std::string, FeatureDescription>& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [name, f] : a) {
        auto it = b.find(name);
        if (it == b.end() || it->second.type != f.type || it->second.isOptional != f.isOptional) return false;
        const auto& x = f.multiArrayConstraint;
        const auto& y = it->second.multiArrayConstraint;
        if (x.has_value() != y.has_value()) return false;
        if (x && (x->shape != y->shape || x->dataType != y->dataType)) return false;
    }
    return true;
}

// The stored type of the encoder's embeddings among `features`: half precision, or 32-bit
// floats as folders written before hold them; any other type is left to the comparison
// with the description to refuse.
MultiArrayDataType embeddingsType(const std::map<std::string, FeatureDescription>& features) {
    const auto it = features.find("encoder_output_embeds");
    if (it != features.end() && it->second.multiArrayConstraint &&
        it->second.multiArrayConstraint->dataType == MultiArrayDataType::float32)
        return MultiArrayDataType::float32;
    return MultiArrayDataType::float16;
}

WeightFormat parseWeightFormat(const json& root, const std::string& kind, const std::string& source) {
    if (!root.contains(kWeightFormatKey) && !root.contains(kWeightFormatVersionKey)) return WeightFormat::half;
    const json name = root.value(kWeightFormatKey, json());
    const json version = root.value(kWeightFormatVersionKey, json());
    if (!name.is_string() || name.get<std::string>() != kBlockwiseFormatName || !version.is_number_integer() ||
        version.get<long long>() != kBlockwiseFormatVersion)
        invalid(source, "the weights are stored in format " + name.dump() + " version " + version.dump() +
                            ", which this runtime cannot read");
    if (kind == programKindName(ProgramKind::melSpectrogram))
        invalid(source, "a MelSpectrogram has no compressed weights");
    return WeightFormat::blockwise;
}

}  // namespace

const char* programKindName(ProgramKind kind) {
    switch (kind) {
        case ProgramKind::melSpectrogram: return "MelSpectrogram";
        case ProgramKind::audioEncoder: return "AudioEncoder";
        case ProgramKind::textDecoder: return "TextDecoder";
    }
    return "?";
}

ModelDescription describeMel(const MelHyperparameters& p) {
    ModelDescription d;
    addInput(d, arrayFeature("audio", MultiArrayDataType::float32, {p.sampleCount}));
    addOutput(d,
              arrayFeature("melspectrogram_features", MultiArrayDataType::float32, {1, p.melCount, 1, p.frameCount()}));
    return d;
}

ModelDescription describeEncoder(const EncoderHyperparameters& p) {
    ModelDescription d;
    addInput(d, arrayFeature("melspectrogram_features", MultiArrayDataType::float32, {1, p.melCount, 1, 2 * p.frames}));
    addOutput(d, arrayFeature("encoder_output_embeds", p.outputType, {1, p.width, 1, p.frames}));
    return d;
}

ModelDescription describeDecoder(const DecoderHyperparameters& p) {
    ModelDescription d;
    const int e = p.cacheWidth(), s = p.cacheLength;
    addInput(d, arrayFeature("input_ids", MultiArrayDataType::int32, {1}));
    addInput(d, arrayFeature("cache_length", MultiArrayDataType::int32, {1}));
    addInput(d, arrayFeature("key_cache", MultiArrayDataType::float16, {1, e, 1, s}));
    addInput(d, arrayFeature("value_cache", MultiArrayDataType::float16, {1, e, 1, s}));
    addInput(d, arrayFeature("kv_cache_update_mask", MultiArrayDataType::int32, {1, s}));
    addInput(d, arrayFeature("encoder_output_embeds", p.encoderOutputType, {1, p.width, 1, p.audioFrames}));
    addInput(d, arrayFeature("decoder_key_padding_mask", MultiArrayDataType::float16, {1, s}));
    addOutput(d, arrayFeature("logits", MultiArrayDataType::float16, {1, 1, p.vocabulary}));
    addOutput(d, arrayFeature("key_cache_updates", MultiArrayDataType::float16, {1, e, 1, 1}));
    addOutput(d, arrayFeature("value_cache_updates", MultiArrayDataType::float16, {1, e, 1, 1}));
    if (!p.alignmentHeads.empty())
        addOutput(d, arrayFeature("alignment_heads_weights", MultiArrayDataType::float16, {1, p.audioFrames}));
    return d;
}

ModelManifest ModelManifest::forMel(const MelHyperparameters& parameters) {
    ModelManifest m;
    m.kind = ProgramKind::melSpectrogram;
    m.mel = parameters;
    m.description = describeMel(parameters);
    return m;
}

ModelManifest ModelManifest::forEncoder(const EncoderHyperparameters& parameters) {
    ModelManifest m;
    m.kind = ProgramKind::audioEncoder;
    m.encoder = parameters;
    m.description = describeEncoder(parameters);
    return m;
}

ModelManifest ModelManifest::forDecoder(const DecoderHyperparameters& parameters) {
    ModelManifest m;
    m.kind = ProgramKind::textDecoder;
    m.decoder = parameters;
    m.description = describeDecoder(parameters);
    return m;
}

std::string ModelManifest::serialize() const {
    json h;
    switch (kind) {
        case ProgramKind::melSpectrogram:
            h = {{"sample_count", mel.sampleCount},
                 {"fft_length", mel.fftLength},
                 {"hop_length", mel.hopLength},
                 {"mel_count", mel.melCount}};
            break;
        case ProgramKind::audioEncoder:
            h = {{"mel_count", encoder.melCount},
                 {"width", encoder.width},
                 {"heads", encoder.heads},
                 {"layers", encoder.layers},
                 {"frames", encoder.frames}};
            break;
        case ProgramKind::textDecoder: {
            json heads = json::array();
            for (const auto& [layer, head] : decoder.alignmentHeads) heads.push_back({layer, head});
            h = {{"vocabulary", decoder.vocabulary},
                 {"width", decoder.width},
                 {"heads", decoder.heads},
                 {"layers", decoder.layers},
                 {"text_context", decoder.textContext},
                 {"cache_length", decoder.cacheLength},
                 {"audio_frames", decoder.audioFrames},
                 {"alignment_heads", heads}};
            break;
        }
    }
    json root = {{"format_version", formatVersion},
                 {"kind", programKindName(kind)},
                 {"hyperparameters", h},
                 {"inputs", featuresToJson(description.inputDescriptionsByName)},
                 {"outputs", featuresToJson(description.outputDescriptionsByName)}};
    if (weightFormat == WeightFormat::blockwise) {
        root[kWeightFormatKey] = kBlockwiseFormatName;
        root[kWeightFormatVersionKey] = kBlockwiseFormatVersion;
    }
    return root.dump(2) + "\n";
}

ModelManifest ModelManifest::parse(const std::string& text, const std::string& source) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception& error) {
        invalid(source, "not JSON: " + messagetext::shortened(error.what(), 200));
    }
    if (!root.is_object()) invalid(source, "not a JSON object");
    if (!root.contains("format_version") || root["format_version"] != formatVersion)
        invalid(source, "unsupported format_version");
    const std::string kind = root.contains("kind") && root["kind"].is_string() ? root["kind"].get<std::string>() : "";
    const WeightFormat weightFormat = parseWeightFormat(root, kind, source);
    if (!root.contains("hyperparameters") || !root["hyperparameters"].is_object())
        invalid(source, "no hyperparameters");
    const json& h = root["hyperparameters"];
    if (!root.contains("inputs") || !root.contains("outputs")) invalid(source, "no inputs or outputs");
    auto inputs = featuresFromJson(root["inputs"], source);
    auto outputs = featuresFromJson(root["outputs"], source);

    ModelManifest expected;
    if (kind == "MelSpectrogram") {
        MelHyperparameters p;
        p.sampleCount = readInt(h, "sample_count", 1, 1 << 26, source);
        p.fftLength = readInt(h, "fft_length", 2, 1 << 16, source);
        p.hopLength = readInt(h, "hop_length", 1, 1 << 16, source);
        p.melCount = readInt(h, "mel_count", 1, 1024, source);
        if (p.sampleCount < p.fftLength) invalid(source, "a window shorter than one FFT");
        expected = forMel(p);
    } else if (kind == "AudioEncoder") {
        EncoderHyperparameters p;
        p.melCount = readInt(h, "mel_count", 1, 1024, source);
        p.width = readInt(h, "width", 1, 1 << 14, source);
        p.heads = readInt(h, "heads", 1, 1 << 10, source);
        p.layers = readInt(h, "layers", 0, 1 << 10, source);
        p.frames = readInt(h, "frames", 1, 1 << 16, source);
        if (p.width % p.heads != 0) invalid(source, "width is not a multiple of heads");
        p.outputType = embeddingsType(outputs);
        expected = forEncoder(p);
    } else if (kind == "TextDecoder") {
        DecoderHyperparameters p;
        p.vocabulary = readInt(h, "vocabulary", 1, 1 << 24, source);
        p.width = readInt(h, "width", 1, 1 << 14, source);
        p.heads = readInt(h, "heads", 1, 1 << 10, source);
        p.layers = readInt(h, "layers", 1, 1 << 10, source);
        p.textContext = readInt(h, "text_context", 1, 1 << 16, source);
        p.cacheLength = readInt(h, "cache_length", 1, 1 << 16, source);
        p.audioFrames = readInt(h, "audio_frames", 1, 1 << 16, source);
        if (p.width % p.heads != 0) invalid(source, "width is not a multiple of heads");
        if (p.cacheLength > p.textContext) invalid(source, "cache_length exceeds text_context");
        if (h.contains("alignment_heads")) {
            if (!h["alignment_heads"].is_array()) invalid(source, "alignment_heads is not a list");
            for (const auto& pair : h["alignment_heads"]) {
                if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() ||
                    !pair[1].is_number_integer())
                    invalid(source, "alignment_heads entries must be [layer, head]");
                const auto layer = wholeNumberIn(pair[0], 0, p.layers - 1);
                const auto head = wholeNumberIn(pair[1], 0, p.heads - 1);
                if (!layer || !head)
                    invalid(source, "alignment head " + messagetext::shortened(pair.dump()) + " out of range");
                p.alignmentHeads.emplace_back(*layer, *head);
            }
        }
        p.encoderOutputType = embeddingsType(inputs);
        expected = forDecoder(p);
    } else {
        invalid(source, "unknown model kind \"" + messagetext::shortened(kind) + "\"");
    }
    if (!sameFeatures(inputs, expected.description.inputDescriptionsByName) ||
        !sameFeatures(outputs, expected.description.outputDescriptionsByName))
        invalid(source, "the inputs and outputs differ from what a " + kind + " with these hyperparameters computes");
    expected.weightFormat = weightFormat;
    return expected;
}

}  // namespace platform::runtime
