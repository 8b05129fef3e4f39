#include "Murmex/Audio/MonoTrackDecoder.h"

#include "Murmex/Audio/MediaReader.h"
#include "Murmex/Audio/Resampler.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <cmath>

namespace murmex {

namespace {

// The resampler's failure, as the media reader reports failures.
MediaReaderError resampleFailure(const ResamplerError& error) {
    return MediaReaderError(MediaReaderError::Failure::resampleFailed, error.call(), error.code());
}

}  // namespace

void MonoTrackDecoder::FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }

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
    const auto channels = std::uint32_t(std::max(1, frame.ch_layout.nb_channels));
    try {
        // The mono signal is the mean of the channels.
        resampler_ = std::make_unique<Resampler>(
            AudioFormat{AudioCommonFormat::float32, double(frame.sample_rate), channels, false},
            AudioFormat{AudioCommonFormat::float32, double(rate_), 1, false}, Resampler::Downmix::mean);
    } catch (const ResamplerError& error) {
        throw resampleFailure(error);
    }
    planes_.resize(channels);
    inputRate_ = frame.sample_rate;
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
    if (!resampler_ || frame.sample_rate != inputRate_ || frame.ch_layout.nb_channels != inputChannels_) {
        if (resampler_) drain(sink);
        configure(frame);
    }
    expected_ += double(frame.nb_samples) * rate_ / frame.sample_rate;
    std::vector<float*> planes;
    for (auto& plane : planes_) {
        plane.resize(std::size_t(frame.nb_samples));
        planes.push_back(plane.data());
    }
    MediaDecoder::toFloatPlanes(frame, 0, frame.nb_samples, planes.data(), std::uint32_t(planes.size()));
    try {
        output_ = resampler_->resample(planes.data(), std::size_t(frame.nb_samples));
    } catch (const ResamplerError& error) {
        throw resampleFailure(error);
    }
    deliver(sink, output_.size(), false);
}

// Flushes the resampler; the track then holds exactly as many samples as its input lasts.
void MonoTrackDecoder::drain(const Sink& sink) {
    if (resampler_) {
        try {
            while (!(output_ = resampler_->resample(nullptr, 0)).empty()) deliver(sink, output_.size(), true);
        } catch (const ResamplerError& error) {
            throw resampleFailure(error);
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
