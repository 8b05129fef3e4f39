#include "Murmex/Audio/MonoTrackDecoder.h"

#include "Murmex/Audio/MediaReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>

namespace murmex {

void MonoTrackDecoder::FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void MonoTrackDecoder::ResamplerDeleter::operator()(SwrContext* context) const { swr_free(&context); }

MonoTrackDecoder::MonoTrackDecoder(const MediaReader& reader, int track, int rate)
    : track_(track),
      rate_(rate),
      stream_(reader.stream(track)),
      formatStart_(reader.format()->start_time),
      decoder_(std::make_unique<MediaDecoder>(reader, track, MediaDecoder::Output::decoderDefault)),
      frame_(av_frame_alloc()) {
    if (!frame_) {
        throw MediaReaderError(MediaReaderError::Failure::outOfMemory, "av_frame_alloc", AVERROR(ENOMEM));
    }
}

MonoTrackDecoder::~MonoTrackDecoder() = default;

std::int64_t MonoTrackDecoder::position() const {
    if (started_) return next_;
    return std::max<std::int64_t>(0, secondsToSamples(startSeconds(stream_->start_time)));
}

void MonoTrackDecoder::decode(const AVPacket* packet, const Sink& sink) {
    if (finished_) return;
    decoder_->send(packet);
    for (;;) {
        switch (decoder_->receive(frame_.get())) {
            case MediaDecoder::Status::frame:
                convert(*frame_, sink);
                av_frame_unref(frame_.get());
                break;
            case MediaDecoder::Status::needsInput: return;
            case MediaDecoder::Status::finished:
                drain(sink);
                finished_ = true;
                return;
        }
    }
}

double MonoTrackDecoder::startSeconds(std::int64_t pts) const {
    if (pts == AV_NOPTS_VALUE) return 0;
    double seconds = double(pts) * av_q2d(stream_->time_base);
    if (formatStart_ != AV_NOPTS_VALUE) seconds -= double(formatStart_) / AV_TIME_BASE;
    return std::isfinite(seconds) ? seconds : 0;
}

std::int64_t MonoTrackDecoder::secondsToSamples(double seconds) const {
    return std::llround(std::clamp(seconds, -1.0e9, 1.0e9) * rate_);
}

void MonoTrackDecoder::configure(const AVFrame& frame) {
    resampler_.reset();
    AVChannelLayout in{};
    av_channel_layout_default(&in, std::max(1, frame.ch_layout.nb_channels));
    AVChannelLayout out{};
    av_channel_layout_default(&out, 1);
    SwrContext* context = nullptr;
    int status = swr_alloc_set_opts2(&context, &out, AV_SAMPLE_FMT_FLT, rate_, &in, AVSampleFormat(frame.format),
                                     frame.sample_rate, 0, nullptr);
    const int channels = in.nb_channels;
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    resampler_.reset(context);
    if (status >= 0 && context != nullptr) {
        // The mono signal is the mean of the channels.
        const std::vector<double> matrix(std::size_t(channels), 1.0 / channels);
        status = swr_set_matrix(context, matrix.data(), channels);
    }
    if (status < 0 || context == nullptr || (status = swr_init(context)) < 0) {
        throw MediaReaderError(MediaReaderError::Failure::resampleFailed, "swr_init", status);
    }
    inputRate_ = frame.sample_rate;
    inputFormat_ = frame.format;
    inputChannels_ = frame.ch_layout.nb_channels;
}

void MonoTrackDecoder::convert(const AVFrame& frame, const Sink& sink) {
    if (frame.nb_samples <= 0 || frame.sample_rate <= 0) return;
    if (!started_) {
        started_ = true;
        const std::int64_t pts =
            frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
        next_ = std::max<std::int64_t>(0, secondsToSamples(startSeconds(pts)));
    }
    if (!resampler_ || frame.sample_rate != inputRate_ || frame.format != inputFormat_ ||
        frame.ch_layout.nb_channels != inputChannels_) {
        if (resampler_) drain(sink);
        configure(frame);
    }
    expected_ += double(frame.nb_samples) * rate_ / frame.sample_rate;
    const int room = swr_get_out_samples(resampler_.get(), frame.nb_samples);
    if (room < 0) throw MediaReaderError(MediaReaderError::Failure::resampleFailed, "swr_get_out_samples", room);
    output_.resize(std::size_t(room) + 16);
    auto* out = reinterpret_cast<uint8_t*>(output_.data());
    const int produced = swr_convert(resampler_.get(), &out, int(output_.size()),
                                     const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples);
    if (produced < 0) throw MediaReaderError(MediaReaderError::Failure::resampleFailed, "swr_convert", produced);
    deliver(sink, std::size_t(produced), false);
}

// Flushes the resampler; the track then holds exactly as many samples as its input lasts.
void MonoTrackDecoder::drain(const Sink& sink) {
    if (resampler_) {
        output_.resize(4096);
        for (;;) {
            auto* out = reinterpret_cast<uint8_t*>(output_.data());
            const int produced = swr_convert(resampler_.get(), &out, int(output_.size()), nullptr, 0);
            if (produced <= 0) break;
            deliver(sink, std::size_t(produced), true);
        }
        resampler_.reset();
    }
    const std::int64_t wanted = std::llround(expected_);
    if (emitted_ < wanted) {
        output_.assign(std::size_t(wanted - emitted_), 0.0f);
        deliver(sink, output_.size(), true);
    }
}

void MonoTrackDecoder::deliver(const Sink& sink, std::size_t count, bool trimToExpected) {
    if (trimToExpected) {
        const std::int64_t wanted = std::llround(expected_);
        count = std::size_t(std::clamp<std::int64_t>(wanted - emitted_, 0, std::int64_t(count)));
    }
    if (count == 0) return;
    sink(next_, output_.data(), count);
    next_ += std::int64_t(count);
    emitted_ += std::int64_t(count);
}

}  // namespace murmex
