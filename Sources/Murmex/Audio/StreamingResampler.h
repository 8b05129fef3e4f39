#pragma once

#include <cstddef>
#include <memory>
#include <vector>

struct SwrContext;

namespace murmex {

// Resamples one continuous stream of mono float samples that arrives in buffers: the filter
// carries over from one buffer to the next, so the buffers join without a seam. The output lags
// the input by the filter's short delay. One caller at a time.
class StreamingResampler {
public:
    // Nothing when the rates are not whole positive numbers or the resampler cannot be made.
    static std::unique_ptr<StreamingResampler> make(double inputRate, double outputRate);
    ~StreamingResampler();
    StreamingResampler(const StreamingResampler&) = delete;
    StreamingResampler& operator=(const StreamingResampler&) = delete;

    double inputRate() const { return inputRate_; }
    double outputRate() const { return outputRate_; }

    // The output samples the next `count` input samples complete. Throws std::runtime_error
    // with the resampling library's reason when it fails.
    std::vector<float> process(const float* samples, std::size_t count);

private:
    struct Token {};

public:
    StreamingResampler(Token, double inputRate, double outputRate, SwrContext* context);

private:
    double inputRate_;
    double outputRate_;
    SwrContext* context_;
};

}  // namespace murmex
