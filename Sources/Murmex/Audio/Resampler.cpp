#include "Murmex/Audio/Resampler.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <cerrno>
#include <climits>
#include <cmath>

namespace murmex {

namespace {

std::string describe(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

bool usable(const AudioFormat& format) {
    return format.channelCount > 0 && format.channelCount <= INT_MAX && format.sampleRate >= 1 &&
           format.sampleRate <= INT_MAX && format.sampleRate == std::floor(format.sampleRate);
}

AVSampleFormat sampleFormat(const AudioFormat& format) {
    const bool planar = !format.interleaved && format.channelCount > 1;
    if (format.commonFormat == AudioCommonFormat::int16) return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
}

// The mixing matrix for fewer output than input channels, row by output channel; empty when the
// library's own matching serves.
std::vector<double> downmixMatrix(std::uint32_t inputs, std::uint32_t outputs, Resampler::Downmix downmix) {
    if (outputs >= inputs && !(downmix == Resampler::Downmix::mean && outputs == 1)) return {};
    std::vector<double> matrix(std::size_t(outputs) * inputs, 0.0);
    for (std::uint32_t out = 0; out < outputs; ++out) {
        for (std::uint32_t in = 0; in < inputs; ++in) {
            if (downmix == Resampler::Downmix::mean) {
                matrix[std::size_t(out) * inputs + in] = 1.0 / inputs;
            } else if (in == out) {
                matrix[std::size_t(out) * inputs + in] = 1.0;
            }
        }
    }
    return matrix;
}

}  // namespace

ResamplerError::ResamplerError(const char* call, int code)
    : std::runtime_error(std::string(call) + " failed: " + describe(code)), call_(call), code_(code) {}

std::string ResamplerError::reason() const { return describe(code_); }

Resampler::Resampler(const AudioFormat& input, const AudioFormat& output, Downmix downmix)
    : input_(input), output_(output) {
    if (!usable(input) || !usable(output)) throw ResamplerError("swr_alloc_set_opts2", AVERROR(EINVAL));
    AVChannelLayout inLayout{};
    AVChannelLayout outLayout{};
    av_channel_layout_default(&inLayout, int(input.channelCount));
    av_channel_layout_default(&outLayout, int(output.channelCount));
    int status = swr_alloc_set_opts2(&context_, &outLayout, sampleFormat(output), int(output.sampleRate), &inLayout,
                                     sampleFormat(input), int(input.sampleRate), 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    const char* call = "swr_alloc_set_opts2";
    if (status >= 0 && context_ == nullptr) status = AVERROR(ENOMEM);
    if (status >= 0) {
        const std::vector<double> matrix = downmixMatrix(input.channelCount, output.channelCount, downmix);
        if (!matrix.empty()) {
            call = "swr_set_matrix";
            status = swr_set_matrix(context_, matrix.data(), int(input.channelCount));
        }
    }
    if (status >= 0) {
        call = "swr_init";
        status = swr_init(context_);
    }
    if (status < 0) {
        swr_free(&context_);
        throw ResamplerError(call, status);
    }
}

Resampler::~Resampler() { swr_free(&context_); }

int Resampler::outputRoom(int frames) const {
    const int room = swr_get_out_samples(context_, frames);
    if (room < 0) throw ResamplerError("swr_get_out_samples", room);
    return room;
}

int Resampler::convert(std::uint8_t* const* output, int capacity, const std::uint8_t* const* input, int frames) {
    const int produced = swr_convert(context_, const_cast<std::uint8_t**>(output), capacity,
                                     const_cast<const std::uint8_t**>(input), frames);
    if (produced < 0) throw ResamplerError("swr_convert", produced);
    return produced;
}

std::vector<float> Resampler::resample(const float* const* planes, std::size_t frames) {
    if (frames > std::size_t(INT_MAX)) throw ResamplerError("swr_convert", AVERROR(EINVAL));
    if (planes != nullptr && frames == 0) return {};
    const int room = outputRoom(int(frames));
    std::vector<float> output((std::size_t(room) + 16) * output_.channelCount);
    auto* out = reinterpret_cast<std::uint8_t*>(output.data());
    std::vector<const std::uint8_t*> in;
    if (planes != nullptr) {
        const std::size_t areas = input_.interleaved ? 1 : input_.channelCount;
        for (std::size_t area = 0; area < areas; ++area)
            in.push_back(reinterpret_cast<const std::uint8_t*>(planes[area]));
    }
    const int produced = convert(&out, room + 16, planes != nullptr ? in.data() : nullptr, int(frames));
    output.resize(std::size_t(produced) * output_.channelCount);
    return output;
}

void Resampler::dropOutput(int frames) {
    const int status = swr_drop_output(context_, frames);
    if (status < 0) throw ResamplerError("swr_drop_output", status);
}

void Resampler::restart() {
    const int status = swr_init(context_);
    if (status < 0) throw ResamplerError("swr_init", status);
}

}  // namespace murmex
