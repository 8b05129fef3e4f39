#pragma once

#include "Platform/ML/Model.h"
#include "Platform/ML/Runtime/ModelManifest.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Platform/ML/Runtime/Workspace.h"

#include <memory>
#include <vector>

namespace platform::runtime {

// Log-mel spectrogram of one window of 16 kHz samples: periodic Hann window, centred
// frames with reflected edges, |FFT|², the mel filterbank of the weights file
// ("mel_filters", bands × bins), log10 of at least 1e-10, clamped to 8 below the
// maximum, then (x + 4) / 4. The last frame of the centred transform is dropped, so a
// window of N samples gives N / hop frames.
class MelSpectrogramModel : public Model {
public:
    MelSpectrogramModel(const ModelManifest& manifest, std::shared_ptr<SafeTensorsFile> weights,
                        ComputeUnits computeUnits);
    ~MelSpectrogramModel() override;

protected:
    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& input,
                                             const PredictionOptions& options) const override;

private:
    MelHyperparameters parameters_;
    std::vector<float> filters_;  // melCount × binCount
    std::vector<float> window_;   // fftLength
    void* plan_ = nullptr;        // FFTW single-precision real-to-complex plan
    mutable WorkspacePool workspaces_;
};

}  // namespace platform::runtime
