#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct AVFrame;
struct AVPacket;
struct AVStream;

namespace murmex {

class MediaDecoder;
class MediaReader;
class Resampler;

// Decodes one audio track of a MediaReader to mono float samples (the mean of its channels) at
// a given rate, each placed at its own sample on the file's timeline: a track that starts late
// starts late. The track then holds exactly as many samples as its input lasts at that rate.
// Damaged packets are skipped. One caller at a time.
class MonoTrackDecoder {
public:
    // Receives `count` samples that begin at sample `at` of the timeline.
    using Sink = std::function<void(std::int64_t at, const float* samples, std::size_t count)>;

    // Throws MediaReaderError (noDecoder, outOfMemory or decodeFailed) when the track cannot be
    // decoded.
    MonoTrackDecoder(const MediaReader& reader, int track, int rate);
    ~MonoTrackDecoder();
    MonoTrackDecoder(const MonoTrackDecoder&) = delete;
    MonoTrackDecoder& operator=(const MonoTrackDecoder&) = delete;

    int track() const { return track_; }
    // True once the end of the track was decoded.
    bool finished() const { return finished_; }
    // The sample the track's next output sample lands on; before its first frame, where its
    // stream says it starts.
    std::int64_t position() const;

    // Decodes one packet of the track (null: the end of the track) and hands what it gives to
    // `sink`. Throws MediaReaderError (decodeFailed or resampleFailed).
    void decode(const AVPacket* packet, const Sink& sink);

private:
    double startSeconds(std::int64_t pts) const;
    std::int64_t secondsToSamples(double seconds) const;
    void configure(const AVFrame& frame);
    void convert(const AVFrame& frame, const Sink& sink);
    void drain(const Sink& sink);
    void deliver(const Sink& sink, std::size_t count, bool trimToExpected);

    struct FrameDeleter {
        void operator()(AVFrame* frame) const;
    };

    int track_;
    int rate_;
    const AVStream* stream_;
    std::int64_t formatStart_;
    std::unique_ptr<MediaDecoder> decoder_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<Resampler> resampler_;
    std::vector<std::vector<float>> planes_;
    std::vector<float> output_;
    int inputRate_ = 0;
    int inputChannels_ = 0;
    bool started_ = false;
    bool finished_ = false;
    std::int64_t next_ = 0;
    std::int64_t emitted_ = 0;
    double expected_ = 0;
};

}  // namespace murmex
