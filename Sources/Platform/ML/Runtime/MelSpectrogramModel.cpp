#include "Platform/ML/Runtime/MelSpectrogramModel.h"

#include "Platform/ML/MLError.h"
#include "Platform/ML/Runtime/FloatGemm.h"
#include "Platform/ML/Runtime/Kernels.h"
#include "Platform/ML/Runtime/ThreadPool.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <span>

namespace platform::runtime {

namespace {

// FFTW's planner is not thread-safe; execution with the new-array interface is.
std::mutex& plannerMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

MelSpectrogramModel::MelSpectrogramModel(const ModelManifest& manifest, std::shared_ptr<SafeTensorsFile> weights,
                                         ComputeUnits computeUnits)
    : Model(manifest.description, computeUnits), parameters_(manifest.mel) {
    const auto& p = parameters_;
    filters_ = weights->require("mel_filters", {p.melCount, p.binCount()}).toFloat();
    window_.resize(static_cast<std::size_t>(p.fftLength));
    for (int n = 0; n < p.fftLength; ++n)
        window_[static_cast<std::size_t>(n)] =
            static_cast<float>(0.5 - 0.5 * std::cos(2.0 * M_PI * n / static_cast<double>(p.fftLength)));

    std::lock_guard lock(plannerMutex());
    float* in = fftwf_alloc_real(static_cast<std::size_t>(p.fftLength));
    fftwf_complex* out = fftwf_alloc_complex(static_cast<std::size_t>(p.binCount()));
    plan_ = fftwf_plan_dft_r2c_1d(p.fftLength, in, out, FFTW_ESTIMATE | FFTW_UNALIGNED);
    fftwf_free(in);
    fftwf_free(out);
    if (!plan_)
        throw MLError(MLError::Code::invalidModel, "Cannot plan a transform of length " + std::to_string(p.fftLength));
}

MelSpectrogramModel::~MelSpectrogramModel() {
    std::lock_guard lock(plannerMutex());
    fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
}

std::shared_ptr<FeatureProvider> MelSpectrogramModel::predict(const FeatureProvider& input,
                                                              const PredictionOptions&) const {
    const auto& p = parameters_;
    MultiArray audio = *input.featureValue("audio")->multiArrayValue();
    if (!audio.isContiguous()) audio = audio.copy();
    const float* samples = audio.data<float>();
    const int n = p.sampleCount;
    const int half = p.fftLength / 2;
    const int frames = p.frameCount();
    const int bins = p.binCount();
    if (n <= half) throw MLError(MLError::Code::predictionFailed, "Window too short for reflected padding");

    auto workspace = workspaces_.take();
    float* power = workspace->floats(0, static_cast<std::size_t>(frames) * static_cast<std::size_t>(bins));
    ThreadPool& pool = ThreadPool::shared();
    const auto plan = static_cast<fftwf_plan>(plan_);

    pool.parallelFor(static_cast<std::size_t>(frames), 64, [&](std::size_t begin, std::size_t end) {
        std::vector<float> frame(static_cast<std::size_t>(p.fftLength));
        std::vector<fftwf_complex> spectrum(static_cast<std::size_t>(bins));
        for (std::size_t t = begin; t < end; ++t) {
            const long start = static_cast<long>(t) * p.hopLength - half;
            for (int k = 0; k < p.fftLength; ++k) {
                long j = start + k;
                // Reflect about the first and last sample (the edge itself is not repeated).
                if (j < 0) j = -j;
                if (j >= n) j = 2L * (n - 1) - j;
                j = std::clamp<long>(j, 0, n - 1);
                frame[static_cast<std::size_t>(k)] = samples[j] * window_[static_cast<std::size_t>(k)];
            }
            fftwf_execute_dft_r2c(plan, frame.data(), spectrum.data());
            float* row = power + t * static_cast<std::size_t>(bins);
            for (int b = 0; b < bins; ++b) {
                const float re = spectrum[static_cast<std::size_t>(b)][0],
                            im = spectrum[static_cast<std::size_t>(b)][1];
                row[b] = re * re + im * im;
            }
        }
    });

    MultiArray features({1, p.melCount, 1, frames}, MultiArrayDataType::float32);
    const std::size_t packingFloats = kernels::sgemmParallelScratchFloats(
        pool.threadCount(), static_cast<std::size_t>(frames), static_cast<std::size_t>(bins));
    const std::span<float> packing(workspace->floats(1, packingFloats, false), packingFloats);
    float* mel = features.data<float>();
    // mel[band][frame] = Σ_bin filters[band][bin] · power[frame][bin]
    kernels::sgemmParallel(pool, false, true, static_cast<std::size_t>(p.melCount), static_cast<std::size_t>(frames),
                           static_cast<std::size_t>(bins), 1.0f, filters_.data(), static_cast<std::size_t>(bins), power,
                           static_cast<std::size_t>(bins), 0.0f, mel, static_cast<std::size_t>(frames), packing);

    const std::size_t total = static_cast<std::size_t>(p.melCount) * static_cast<std::size_t>(frames);
    float maximum = -INFINITY;
    for (std::size_t i = 0; i < total; ++i) {
        mel[i] = std::log10(std::max(mel[i], 1e-10f));
        maximum = std::max(maximum, mel[i]);
    }
    const float floor = maximum - 8.0f;
    for (std::size_t i = 0; i < total; ++i) mel[i] = (std::max(mel[i], floor) + 4.0f) / 4.0f;
    // Once per window: the power spectrum (several times the program's own data) is not kept.
    workspace->release();

    return std::make_shared<DictionaryFeatureProvider>(
        std::map<std::string, FeatureValue>{{"melspectrogram_features", FeatureValue(features)}});
}

}  // namespace platform::runtime
