#include "Murmex/Audio/StreamingResampler.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>

namespace murmex {

namespace {

bool wholeRate(double rate) { return rate >= 1 && rate <= INT_MAX && rate == std::floor(rate); }

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

}  // namespace

std::unique_ptr<StreamingResampler> StreamingResampler::make(double inputRate, double outputRate) {
    if (!wholeRate(inputRate) || !wholeRate(outputRate)) return nullptr;
    AVChannelLayout mono{};
    av_channel_layout_default(&mono, 1);
    SwrContext* context = nullptr;
    const int status = swr_alloc_set_opts2(&context, &mono, AV_SAMPLE_FMT_FLT, int(outputRate), &mono,
                                           AV_SAMPLE_FMT_FLT, int(inputRate), 0, nullptr);
    av_channel_layout_uninit(&mono);
    if (status < 0 || context == nullptr || swr_init(context) < 0) {
        swr_free(&context);
        return nullptr;
    }
    return std::make_unique<StreamingResampler>(Token{}, inputRate, outputRate, context);
}

StreamingResampler::StreamingResampler(Token, double inputRate, double outputRate, SwrContext* context)
    : inputRate_(inputRate), outputRate_(outputRate), context_(context) {}

StreamingResampler::~StreamingResampler() { swr_free(&context_); }

std::vector<float> StreamingResampler::process(const float* samples, std::size_t count) {
    if (count == 0) return {};
    if (count > std::size_t(INT_MAX)) throw std::runtime_error("The buffer is too long to resample");
    const int room = swr_get_out_samples(context_, int(count));
    if (room < 0) throw std::runtime_error("The resampler failed (" + errorText(room) + ")");
    std::vector<float> output(std::size_t(room) + 1);
    auto* out = reinterpret_cast<uint8_t*>(output.data());
    const auto* in = reinterpret_cast<const uint8_t*>(samples);
    const int produced = swr_convert(context_, &out, int(output.size()), &in, int(count));
    if (produced < 0) throw std::runtime_error("The resampler failed (" + errorText(produced) + ")");
    output.resize(std::size_t(produced));
    return output;
}

}  // namespace murmex
