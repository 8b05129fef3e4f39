#include "Murmex/Core/Audio/AudioFile.h"

#include "Murmex/Core/Audio/AudioLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

namespace murmex {

AudioFileError::AudioFileError(const std::string& description, int code)
    : std::runtime_error(description), code_(code) {}

namespace {

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what, int code) {
    throw AudioFileError("The audio file \"" + path.string() + "\" " + what + " (" + errorText(code) + ")", code);
}

// The decoding library's own diagnostics go to our log at debug level, never to the terminal.
void routeLibraryLogOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_callback([](void* object, int level, const char* format, va_list arguments) {
            if (level > AV_LOG_WARNING) {
                return;
            }
            char line[1024];
            int prefix = 1;
            av_log_format_line2(object, level, format, arguments, line, sizeof(line), &prefix);
            std::string text(line);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
                text.pop_back();
            }
            if (!text.empty()) {
                audiolog::debug("Audio decoding: " + text);
            }
        });
    });
}

// The file's bytes, read through its descriptor. Nested resources are refused: a container can
// never make the library open a URL or another file.
class Input {
public:
    explicit Input(const std::filesystem::path& path) : path_(path) {
        routeLibraryLogOnce();
        // Without blocking, so that a named pipe given as a file cannot stall the caller.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) {
            fail(path, "could not be opened", AVERROR(errno));
        }
        struct stat info {};
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd_);
            fail(path, "is not a regular file", AVERROR(EINVAL));
        }
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        constexpr int bufferSize = 64 * 1024;
        auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
        if (buffer == nullptr) {
            ::close(fd_);
            fail(path, "could not be opened", AVERROR(ENOMEM));
        }
        io_ = avio_alloc_context(buffer, bufferSize, 0, this, &Input::readPacket, nullptr, &Input::seek);
        if (io_ == nullptr) {
            av_free(buffer);
            ::close(fd_);
            fail(path, "could not be opened", AVERROR(ENOMEM));
        }
        format_ = avformat_alloc_context();
        if (format_ == nullptr) {
            release();
            fail(path, "could not be opened", AVERROR(ENOMEM));
        }
        format_->pb = io_;
        format_->flags |= AVFMT_FLAG_CUSTOM_IO;
        format_->io_open = &Input::refuseNestedOpen;
        AVDictionary* options = nullptr;
        // Our descriptor is the only way in. A whitelist of "file" alone would still let a
        // concatenation list open other local files, so nested resources get no protocol at all.
        av_dict_set(&options, "protocol_whitelist", "", 0);
        int status = avformat_open_input(&format_, path.c_str(), nullptr, &options);
        av_dict_free(&options);
        if (status < 0) {
            // avformat_open_input frees the context on failure.
            format_ = nullptr;
            release();
            fail(path, "could not be opened as audio", status);
        }
        status = avformat_find_stream_info(format_, nullptr);
        if (status < 0) {
            release();
            fail(path, "could not be read", status);
        }
        stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (stream_ < 0) {
            release();
            fail(path, "holds no audio track", stream_);
        }
        for (unsigned i = 0; i < format_->nb_streams; ++i) {
            format_->streams[i]->discard = int(i) == stream_ ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        }
    }

    ~Input() { release(); }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    AVFormatContext* format() const { return format_; }
    AVStream* stream() const { return format_->streams[stream_]; }
    int streamIndex() const { return stream_; }
    const std::filesystem::path& path() const { return path_; }

private:
    void release() {
        if (format_ != nullptr) {
            avformat_close_input(&format_);
        }
        if (io_ != nullptr) {
            av_freep(&io_->buffer);
            avio_context_free(&io_);
        }
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    static int readPacket(void* opaque, uint8_t* buffer, int size) {
        auto* self = static_cast<Input*>(opaque);
        for (;;) {
            ssize_t count = ::read(self->fd_, buffer, size_t(size));
            if (count > 0) {
                return int(count);
            }
            if (count == 0) {
                return AVERROR_EOF;
            }
            if (errno != EINTR) {
                return AVERROR(errno);
            }
        }
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<Input*>(opaque);
        if (whence & AVSEEK_SIZE) {
            struct stat info {};
            return ::fstat(self->fd_, &info) == 0 ? int64_t(info.st_size) : AVERROR(errno);
        }
        whence &= ~AVSEEK_FORCE;
        off_t position = ::lseek(self->fd_, off_t(offset), whence);
        return position < 0 ? AVERROR(errno) : int64_t(position);
    }

    static int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
        return AVERROR(EPERM);
    }

    std::filesystem::path path_;
    int fd_ = -1;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
    int stream_ = -1;
};

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};

// Replaces the samples of out[0..<count] that are not finite numbers with silence; returns how
// many there were.
int64_t silenceNonFinite(float* out, int count) {
    int found = 0;
#pragma omp simd reduction(+ : found)
    for (int i = 0; i < count; ++i) found += std::isfinite(out[i]) ? 0 : 1;
    if (found == 0) return 0;
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(out[i])) out[i] = 0.0f;
    }
    return found;
}

// Converts `count` samples of every channel of `frame`, from `offset`, into planar floats.
// Channels the frame lacks are written as silence; extra channels are dropped. Floating-point
// samples that are not finite numbers (or do not fit a float) become silence; returns how many.
int64_t convertFrame(const AVFrame& frame, int offset, int count, float* const* destinations, uint32_t channels) {
    int64_t silenced = 0;
    auto format = AVSampleFormat(frame.format);
    int frameChannels = frame.ch_layout.nb_channels;
    bool planar = av_sample_fmt_is_planar(format);
    for (uint32_t channel = 0; channel < channels; ++channel) {
        float* out = destinations[channel];
        if (int(channel) >= frameChannels) {
            std::fill(out, out + count, 0.0f);
            continue;
        }
        const uint8_t* plane = frame.extended_data[planar ? channel : 0];
        int step = planar ? 1 : frameChannels;
        size_t first = planar ? size_t(offset) : size_t(offset) * frameChannels + channel;
        switch (av_get_packed_sample_fmt(format)) {
            case AV_SAMPLE_FMT_FLT: {
                auto* in = reinterpret_cast<const float*>(plane) + first;
                if (step == 1) {
                    std::memcpy(out, in, size_t(count) * sizeof(float));
                } else {
                    for (int i = 0; i < count; ++i) out[i] = in[size_t(i) * step];
                }
                silenced += silenceNonFinite(out, count);
                break;
            }
            case AV_SAMPLE_FMT_S16: {
                auto* in = reinterpret_cast<const int16_t*>(plane) + first;
                for (int i = 0; i < count; ++i) out[i] = float(in[size_t(i) * step]) * (1.0f / 32768.0f);
                break;
            }
            case AV_SAMPLE_FMT_S32: {
                auto* in = reinterpret_cast<const int32_t*>(plane) + first;
                for (int i = 0; i < count; ++i) out[i] = float(double(in[size_t(i) * step]) * (1.0 / 2147483648.0));
                break;
            }
            case AV_SAMPLE_FMT_U8: {
                auto* in = plane + first;
                for (int i = 0; i < count; ++i) out[i] = float(int(in[size_t(i) * step]) - 128) * (1.0f / 128.0f);
                break;
            }
            case AV_SAMPLE_FMT_DBL: {
                auto* in = reinterpret_cast<const double*>(plane) + first;
                for (int i = 0; i < count; ++i) out[i] = float(in[size_t(i) * step]);
                silenced += silenceNonFinite(out, count);
                break;
            }
            case AV_SAMPLE_FMT_S64: {
                auto* in = reinterpret_cast<const int64_t*>(plane) + first;
                for (int i = 0; i < count; ++i)
                    out[i] = float(double(in[size_t(i) * step]) * (1.0 / 9223372036854775808.0));
                break;
            }
            default: std::fill(out, out + count, 0.0f); break;
        }
    }
    return silenced;
}

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

// The decoding state of an open file: demuxer, decoder, and the decoded frame being consumed.
class AudioFile::Decoder {
public:
    explicit Decoder(const std::filesystem::path& path) : input_(path) {
        AVStream* stream = input_.stream();
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (codec == nullptr) {
            fail(path, "uses an audio codec that cannot be decoded", AVERROR_DECODER_NOT_FOUND);
        }
        codec_.reset(avcodec_alloc_context3(codec));
        packet_.reset(av_packet_alloc());
        frame_.reset(av_frame_alloc());
        if (!codec_ || !packet_ || !frame_) {
            fail(path, "could not be opened", AVERROR(ENOMEM));
        }
        int status = avcodec_parameters_to_context(codec_.get(), stream->codecpar);
        if (status >= 0) {
            codec_->pkt_timebase = stream->time_base;
            codec_->request_sample_fmt = AV_SAMPLE_FMT_FLTP;
            status = avcodec_open2(codec_.get(), codec, nullptr);
        }
        if (status < 0) {
            fail(path, "could not be decoded", status);
        }
    }

    const Input& input() const { return input_; }

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
        for (;;) {
            if (finished_) {
                return false;
            }
            int status = avcodec_receive_frame(codec_.get(), frame_.get());
            if (status >= 0) {
                offset_ = 0;
                if (frame_->nb_samples > 0) {
                    return true;
                }
                continue;
            }
            if (status == AVERROR_EOF) {
                finished_ = true;
                return false;
            }
            if (status == AVERROR_INVALIDDATA) {
                // A damaged frame is dropped; decoding goes on with the next one.
                continue;
            }
            if (status != AVERROR(EAGAIN)) {
                fail(input_.path(), "could not be decoded", status);
            }
            feed();
        }
    }

    // Sends the next packet of the audio track to the decoder (or the end of the stream).
    void feed() {
        for (;;) {
            if (drained_) {
                return;
            }
            int status = av_read_frame(input_.format(), packet_.get());
            if (status == AVERROR_EOF) {
                drained_ = true;
                avcodec_send_packet(codec_.get(), nullptr);
                return;
            }
            if (status < 0) {
                fail(input_.path(), "could not be read", status);
            }
            if (packet_->stream_index != input_.streamIndex()) {
                av_packet_unref(packet_.get());
                continue;
            }
            status = avcodec_send_packet(codec_.get(), packet_.get());
            av_packet_unref(packet_.get());
            if (status == AVERROR_INVALIDDATA) {
                // A damaged packet is dropped; decoding goes on with the next one.
                continue;
            }
            if (status < 0 && status != AVERROR(EAGAIN)) {
                fail(input_.path(), "could not be decoded", status);
            }
            return;
        }
    }

    Input input_;
    std::unique_ptr<AVCodecContext, CodecDeleter> codec_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
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
    Input input(path);
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    if (!packet) {
        fail(path, "could not be read", AVERROR(ENOMEM));
    }
    AVRational timeBase = input.stream()->time_base;
    AVRational frameBase{1, int(sampleRate)};
    int64_t total = 0;
    for (;;) {
        int status = av_read_frame(input.format(), packet.get());
        if (status == AVERROR_EOF) {
            break;
        }
        if (status < 0) {
            fail(path, "could not be read", status);
        }
        if (packet->stream_index == input.streamIndex()) {
            if (packet->duration <= 0) {
                av_packet_unref(packet.get());
                return -1;
            }
            total += av_rescale_q(packet->duration, timeBase, frameBase) - skippedFrames(*packet);
        }
        av_packet_unref(packet.get());
    }
    return std::max<int64_t>(total, 0);
}

}  // namespace

AudioFile::AudioFile(const std::filesystem::path& path) : path_(path) {
    decoder_ = std::make_unique<Decoder>(path);
    const AVStream* stream = decoder_->input().stream();
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
    if (isIsoFamily(*decoder_->input().format()) && stream->duration > 0 && stream->duration != AV_NOPTS_VALUE) {
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
        noteSilenced(convertFrame(decoder_->frame(), decoder_->offset(), step, at.data(), channels));
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
        noteSilenced(convertFrame(decoder_->frame(), decoder_->offset(), step, at.data(), channels));
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
