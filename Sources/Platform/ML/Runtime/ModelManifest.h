#pragma once

#include "Platform/ML/AudioWindow.h"
#include "Platform/ML/ModelDescription.h"
#include "Platform/ML/Runtime/BlockwiseFormat.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace platform::runtime {

// The three programs this runtime runs.
enum class ProgramKind { melSpectrogram, audioEncoder, textDecoder };

// "MelSpectrogram", "AudioEncoder", "TextDecoder".
const char* programKindName(ProgramKind kind);

// Hyper-parameters of the log-mel spectrogram program.
struct MelHyperparameters {
    int sampleCount = audiowindow::samples;  // samples of one window
    int fftLength = 400;
    int hopLength = audiowindow::hopLength;
    int melCount = 80;

    int frameCount() const { return sampleCount / hopLength; }
    int binCount() const { return fftLength / 2 + 1; }
};

// Hyper-parameters of the audio encoder.
struct EncoderHyperparameters {
    int melCount = 80;
    int width = 384;
    int heads = 6;
    int layers = 4;
    int frames = audiowindow::encoderFrames;  // output frames; the input has twice as many
    // The embeddings' type: half precision, as the decoder turns them into 8-bit keys and
    // values anyway; folders written before it was chosen hold 32-bit floats.
    MultiArrayDataType outputType = MultiArrayDataType::float16;

    int headWidth() const { return width / heads; }
    int feedForwardWidth() const { return 4 * width; }
};

// Hyper-parameters of the text decoder.
struct DecoderHyperparameters {
    int vocabulary = 51865;
    int width = 384;
    int heads = 6;
    int layers = 4;
    int textContext = 448;                            // learned positions
    int cacheLength = 224;                            // S: positions of the key/value cache arrays
    int audioFrames = audiowindow::encoderFrames;     // W: encoder frames per window
    std::vector<std::pair<int, int>> alignmentHeads;  // (layer, head)
    // The type of the encoder's embeddings it reads (as `EncoderHyperparameters::outputType`).
    MultiArrayDataType encoderOutputType = MultiArrayDataType::float16;

    int headWidth() const { return width / heads; }
    int feedForwardWidth() const { return 4 * width; }
    int cacheWidth() const { return layers * width; }  // E
};

// The contents of model.json: which program, its hyper-parameters, and the exact feature
// description (names, types, shapes) the program must offer.
struct ModelManifest {
    ProgramKind kind = ProgramKind::melSpectrogram;
    MelHyperparameters mel;
    EncoderHyperparameters encoder;
    DecoderHyperparameters decoder;
    ModelDescription description;
    // How the stage's weights are stored ("weightFormat"/"weightFormatVersion"; absent keys
    // mean half precision). Only the encoder and decoder may be compressed.
    WeightFormat weightFormat = WeightFormat::half;

    // A manifest for the program with its standard description.
    static ModelManifest forMel(const MelHyperparameters& parameters);
    static ModelManifest forEncoder(const EncoderHyperparameters& parameters);
    static ModelManifest forDecoder(const DecoderHyperparameters& parameters);

    // Reads model.json text; MLError invalidModel when it is malformed, names an unknown
    // program, has hyper-parameters out of range, or a description other than the one
    // the program computes; its message says so when the weights are stored in a format or
    // format version this runtime cannot read. The encoder's embeddings may be stored as
    // half-precision or 32-bit floats.
    static ModelManifest parse(const std::string& text, const std::string& source);
    std::string serialize() const;
};

// The description each program computes for its hyper-parameters.
ModelDescription describeMel(const MelHyperparameters& parameters);
ModelDescription describeEncoder(const EncoderHyperparameters& parameters);
ModelDescription describeDecoder(const DecoderHyperparameters& parameters);

}  // namespace platform::runtime
