#include "Murmex/Audio/AudioFile.h"

#include "Murmex/Audio/AudioLog.h"
#include "Murmex/Audio/MediaReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace murmex {

AudioFileError::AudioFileError(const std::string& description, int code)
    : std::runtime_error(description), code_(code) {}

namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what, int code) {
    throw AudioFileError(
        "The audio file \"" + path.string() + "\" " + what + " (" + MediaReaderError::describe(code) + ")", code);
}

// The reader's failures, in this type's words.
[[noreturn]] void fail(const std::filesystem::path& path, const MediaReaderError& error) {
    using Failure = MediaReaderError::Failure;
    const char* what = "could not be decoded";
    switch (error.failure()) {
        case Failure::cannotOpen:
        case Failure::outOfMemory: what = "could not be opened"; break;
        case Failure::notRegularFile: what = "is not a regular file"; break;
        case Failure::notMedia: what = "could not be opened as audio"; break;
        case Failure::unreadable:
        case Failure::readFailed: what = "could not be read"; break;
        case Failure::noAudioTrack: what = "holds no audio track"; break;
        case Failure::noDecoder: what = "uses an audio codec that cannot be decoded"; break;
        case Failure::decodeFailed:
        case Failure::resampleFailed: break;
    }
    fail(path, what, error.code());
}

// Keeps only the main audio track of the reader; returns that track.
int selectMainTrack(MediaReader& reader) {
    const int track = reader.bestAudioTrack();
    reader.keepOnly({track});
    return track;
}

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

// Frames described by the packet's "skip samples" side data (decoder delay at the start,
// padding at the end), which the decoder drops.
int64_t skippedFrames(const AVPacket& packet) {
    size_t size = 0;
    const uint8_t* data = av_packet_get_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
    if (data == nullptr || size < 8) {
        return 0;
    }
    auto little = [](const uint8_t* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };
    return int64_t(little(data)) + int64_t(little(data + 4));
}

bool isIsoFamily(const AVFormatContext& format) {
    return format.iformat != nullptr && std::strstr(format.iformat->name, "mp4") != nullptr;
}

}  // namespace

// The decoding state of an open file: reader, decoder, and the decoded frame being consumed.
class AudioFile::Decoder {
public:
    explicit Decoder(const std::filesystem::path& path) try
        : reader_(path),
          track_(selectMainTrack(reader_)),
          decoder_(reader_, track_, MediaDecoder::Output::floatPlanar),
          frame_(av_frame_alloc()) {
        if (!frame_) {
            fail(path, "could not be opened", AVERROR(ENOMEM));
        }
    } catch (const MediaReaderError& error) {
        fail(path, error);
    }

    const MediaReader& reader() const { return reader_; }
    AVStream* stream() const { return reader_.stream(track_); }

    // The frames of the current decoded frame not consumed yet; decodes the next frame when
    // the current one is used up. Returns 0 at the end of the stream.
    int available() {
        while (offset_ >= frame_->nb_samples) {
            if (!decodeNext()) {
                return 0;
            }
        }
        return frame_->nb_samples - offset_;
    }

    const AVFrame& frame() const { return *frame_; }
    int offset() const { return offset_; }
    void consume(int frames) { offset_ += frames; }

private:
    bool decodeNext() {
        try {
            while (!finished_) {
                switch (decoder_.receive(frame_.get())) {
                    case MediaDecoder::Status::frame: offset_ = 0; return true;
                    case MediaDecoder::Status::finished: finished_ = true; break;
                    case MediaDecoder::Status::needsInput: feed(); break;
                }
            }
            return false;
        } catch (const MediaReaderError& error) {
            fail(reader_.path(), error);
        }
    }

    // Sends the next packet of the audio track to the decoder (or the end of the stream).
    void feed() {
        if (drained_) {
            return;
        }
        const std::optional<MediaPacket> packet = reader_.read();
        if (!packet) {
            drained_ = true;
            decoder_.send(nullptr);
            return;
        }
        decoder_.send(packet->data);
    }

    MediaReader reader_;
    int track_;
    MediaDecoder decoder_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    int offset_ = 0;
    bool drained_ = false;
    bool finished_ = false;
};

namespace {

// The number of frames the decoder will output for the audio track, counted from the packets
// without decoding them: each packet's duration less the frames its side data tells the
// decoder to drop. Returns -1 when a packet's duration is unknown.
int64_t countFrames(const std::filesystem::path& path, double sampleRate) {
    try {
        MediaReader reader(path);
        const AVStream* stream = reader.stream(selectMainTrack(reader));
        const AVRational frameBase{1, int(sampleRate)};
        int64_t total = 0;
        while (const std::optional<MediaPacket> packet = reader.read()) {
            if (packet->data->duration <= 0) {
                return -1;
            }
            total += av_rescale_q(packet->data->duration, stream->time_base, frameBase) - skippedFrames(*packet->data);
        }
        return std::max<int64_t>(total, 0);
    } catch (const MediaReaderError& error) {
        fail(path, error);
    }
}

}  // namespace

AudioFile::AudioFile(const std::filesystem::path& path) : path_(path) {
    decoder_ = std::make_unique<Decoder>(path);
    const AVStream* stream = decoder_->stream();
    // The first decoded frame tells the real output format (some codecs only reveal their
    // output rate once decoding starts).
    int rate = stream->codecpar->sample_rate;
    int channels = stream->codecpar->ch_layout.nb_channels;
    if (decoder_->available() > 0) {
        rate = decoder_->frame().sample_rate > 0 ? decoder_->frame().sample_rate : rate;
        channels = decoder_->frame().ch_layout.nb_channels > 0 ? decoder_->frame().ch_layout.nb_channels : channels;
    }
    if (rate <= 0 || channels <= 0) {
        fail(path, "holds no decodable audio", AVERROR_INVALIDDATA);
    }
    format_ = AudioFormat{AudioCommonFormat::float32, double(rate), uint32_t(channels), false};
    ahead_.assign(format_.channelCount, {});
    history_.assign(format_.channelCount, {});

    // The ISO and QuickTime containers state the exact presented length; their last packet can
    // carry encoder padding that nothing else marks. Elsewhere the packets are counted.
    int64_t stated = -1;
    if (isIsoFamily(*decoder_->reader().format()) && stream->duration > 0 && stream->duration != AV_NOPTS_VALUE) {
        stated = av_rescale_q(stream->duration, stream->time_base, AVRational{1, rate});
    }
    if (stated >= 0) {
        length_ = stated;
    } else {
        int64_t counted = countFrames(path, rate);
        if (counted < 0) {
            // Packets without durations: decode the whole track once to count its frames.
            Decoder counter(path);
            counted = 0;
            for (int frames = counter.available(); frames > 0; frames = counter.available()) {
                counted += frames;
                counter.consume(frames);
            }
        }
        length_ = counted;
    }
}

AudioFile::~AudioFile() = default;

void AudioFile::reopen() {
    decoder_ = std::make_unique<Decoder>(path_);
    position_ = 0;
    ahead_.assign(format_.channelCount, {});
    history_.assign(format_.channelCount, {});
}

int64_t AudioFile::pull(float* const* planes, int64_t frames) {
    const uint32_t channels = format_.channelCount;
    frames = std::min(frames, std::max<int64_t>(length_ - position_, 0));
    std::vector<float*> at(planes, planes + channels);
    int64_t done = 0;
    // Frames decoded ahead by a peek come first.
    const auto waiting = int64_t(ahead_[0].size());
    if (waiting > 0 && frames > 0) {
        const int64_t step = std::min(waiting, frames);
        for (uint32_t c = 0; c < channels; ++c) {
            std::copy_n(ahead_[c].begin(), step, at[c]);
            ahead_[c].erase(ahead_[c].begin(), ahead_[c].begin() + step);
            at[c] += step;
        }
        done = step;
    }
    while (done < frames) {
        const int available = decoder_->available();
        if (available == 0) {
            break;
        }
        const int step = int(std::min<int64_t>(available, frames - done));
        noteSilenced(MediaDecoder::toFloatPlanes(decoder_->frame(), decoder_->offset(), step, at.data(), channels));
        decoder_->consume(step);
        for (uint32_t c = 0; c < channels; ++c) at[c] += step;
        done += step;
    }
    position_ += done;

    // Keep the newest frames before the position, for reads that need what precedes them.
    for (uint32_t c = 0; c < channels; ++c) {
        auto& kept = history_[c];
        const int64_t fresh = std::min<int64_t>(done, historyCapacity);
        const int64_t old = std::min<int64_t>(int64_t(kept.size()), historyCapacity - fresh);
        kept.erase(kept.begin(), kept.end() - old);
        kept.insert(kept.end(), planes[c] + (done - fresh), planes[c] + done);
    }
    return done;
}

void AudioFile::noteSilenced(int64_t samples) {
    if (samples == 0 || warnedNonFinite_) return;
    warnedNonFinite_ = true;
    audiolog::error("The audio file \"" + path_.string() +
                    "\" holds samples that are not finite numbers; they are read as silence");
}

void AudioFile::skipFrames(int64_t frames) {
    constexpr int64_t chunk = 1 << 16;
    std::vector<std::vector<float>> scratch(format_.channelCount, std::vector<float>(size_t(std::min(frames, chunk))));
    std::vector<float*> planes(format_.channelCount);
    for (uint32_t c = 0; c < format_.channelCount; ++c) planes[c] = scratch[c].data();
    while (frames > 0) {
        const int64_t step = pull(planes.data(), std::min(frames, chunk));
        if (step == 0) {
            return;
        }
        frames -= step;
    }
}

void AudioFile::setFramePosition(int64_t frame) {
    frame = std::max<int64_t>(frame, 0);
    if (frame < position_) {
        reopen();
    }
    // Past the end, the position is remembered; reads there return nothing.
    const int64_t reachable = std::min(frame, length_);
    skipFrames(reachable - position_);
    if (frame > position_) {
        position_ = frame;
        history_.assign(format_.channelCount, {});
    }
}

void AudioFile::checkBuffer(const AudioPCMBuffer& buffer, uint32_t atFrame) const {
    if (!(buffer.format() == format_) || atFrame > buffer.frameCapacity()) {
        throw AudioFileError("The buffer does not fit reads of the audio file \"" + path_.string() + "\"",
                             AVERROR(EINVAL));
    }
}

void AudioFile::read(AudioPCMBuffer& buffer, uint32_t frameCount, uint32_t atFrame) {
    checkBuffer(buffer, atFrame);
    const int64_t wanted = std::min<int64_t>(frameCount, buffer.frameCapacity() - atFrame);
    std::vector<float*> planes(format_.channelCount);
    for (uint32_t c = 0; c < format_.channelCount; ++c) planes[c] = buffer.floatChannelData(c) + atFrame;
    const int64_t done = pull(planes.data(), wanted);
    buffer.setFrameLength(uint32_t(atFrame + done));
}

uint32_t AudioFile::peek(AudioPCMBuffer& buffer, uint32_t frameCount, uint32_t atFrame) {
    checkBuffer(buffer, atFrame);
    const uint32_t channels = format_.channelCount;
    const int64_t wanted = std::min<int64_t>(
        {int64_t(frameCount), int64_t(buffer.frameCapacity() - atFrame), std::max<int64_t>(length_ - position_, 0)});
    while (int64_t(ahead_[0].size()) < wanted) {
        const int available = decoder_->available();
        if (available == 0) {
            break;
        }
        const int step = int(std::min<int64_t>(available, wanted - int64_t(ahead_[0].size())));
        std::vector<float*> at(channels);
        for (uint32_t c = 0; c < channels; ++c) {
            ahead_[c].resize(ahead_[c].size() + size_t(step));
            at[c] = ahead_[c].data() + ahead_[c].size() - size_t(step);
        }
        noteSilenced(MediaDecoder::toFloatPlanes(decoder_->frame(), decoder_->offset(), step, at.data(), channels));
        decoder_->consume(step);
    }
    const auto count = uint32_t(std::min<int64_t>(wanted, int64_t(ahead_[0].size())));
    for (uint32_t c = 0; c < channels; ++c) {
        std::copy_n(ahead_[c].begin(), count, buffer.floatChannelData(c) + atFrame);
    }
    buffer.setFrameLength(atFrame + count);
    return count;
}

uint32_t AudioFile::precedingFrames() const { return uint32_t(history_[0].size()); }

uint32_t AudioFile::copyPrecedingFrames(AudioPCMBuffer& buffer, uint32_t frameCount) const {
    checkBuffer(buffer, 0);
    const uint32_t count = std::min({frameCount, precedingFrames(), buffer.frameCapacity()});
    for (uint32_t c = 0; c < format_.channelCount && count > 0; ++c) {
        std::copy(history_[c].end() - count, history_[c].end(), buffer.floatChannelData(c));
    }
    buffer.setFrameLength(count);
    return count;
}

}  // namespace murmex
