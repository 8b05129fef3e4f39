#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/ML/Model.h"
#include "Platform/ML/MultiArray.h"

namespace norvel::test {

// What the scripted decoder returns for one prediction.
struct ScriptedStep {
    // The token given logit `high`; every other token gets `floor`, except those in `logits`.
    std::optional<int> token{};
    float high = 10.0f;
    float floor = 0.0f;
    std::map<int, float> logits{};
    // The audio frame whose alignment weight is 1 (all other frames 0); no value: all 0.
    std::optional<int> alignmentFrame{};
};

// What the scripted decoder saw in one prediction.
struct ScriptedCall {
    int inputId = 0;
    int cacheLength = 0;
    // The position the update mask marks (-1 when none).
    int updatePosition = -1;
    // Padding-mask positions open to attention (value 0).
    int openPositions = 0;
    // Key cache channel 0 at positions 0..<cacheLength, as written by earlier steps.
    std::vector<float> keyCacheChannel0;
    // The first element of the encoder output (the scripted encoder puts its window index there).
    float encoderMarker = 0;
};

// A decoder model for tests: it takes and gives the decoder's features with the shapes of a
// real one, and returns the logits its script dictates. The key and value updates of the
// prediction with index i hold i + 1 in every channel, so that tests can see where the host
// copied them.
class ScriptedDecoderModel : public platform::Model {
public:
    struct Dimensions {
        int vocabulary = 51865;
        int embed = 8;       // E
        int sequence = 224;  // S
        int window = 1500;   // W
        int encoderWidth = 4;
        bool alignment = true;
        platform::MultiArrayDataType encoderType = platform::MultiArrayDataType::float16;
    };
    // Called with what the prediction saw and the prediction's index (0 for the first).
    using Script = std::function<ScriptedStep(const ScriptedCall& call, int predictionIndex)>;

    static std::shared_ptr<ScriptedDecoderModel> make(Dimensions dimensions, Script script);
    // A script that plays the steps in order, by prediction index; past the end it repeats
    // the last step.
    static Script sequence(std::vector<ScriptedStep> steps);

    static platform::ModelDescription description(const Dimensions& dimensions);

    const Dimensions& dimensions() const { return dimensions_; }
    std::vector<ScriptedCall> calls() const;
    // Runs before every prediction (for example to hold a step back until a test is ready).
    void setBeforePrediction(std::function<void(int predictionIndex)> hook);
    // An encoder output of the right shape and type, filled with zeros.
    platform::MultiArray encoderOutput() const;

protected:
    std::shared_ptr<platform::FeatureProvider> predict(const platform::FeatureProvider& input,
                                                       const platform::PredictionOptions& options) const override;

private:
    ScriptedDecoderModel(Dimensions dimensions, Script script);

    Dimensions dimensions_;
    Script script_;
    mutable std::mutex mutex_;
    mutable std::vector<ScriptedCall> calls_;
    std::function<void(int)> beforePrediction_;
};

}  // namespace norvel::test
