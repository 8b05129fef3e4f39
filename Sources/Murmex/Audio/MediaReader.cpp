#include "Murmex/Audio/MediaReader.h"

#include "Murmex/Audio/AudioLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

namespace murmex {

MediaReaderError::MediaReaderError(Failure failure, const char* call, int code)
    : std::runtime_error(std::string(call) + " failed: " + describe(code)),
      failure_(failure),
      call_(call),
      code_(code) {}

std::string MediaReaderError::describe(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

namespace {

using Failure = MediaReaderError::Failure;

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

int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

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

}  // namespace

// ---- MediaReader ----

MediaReader::MediaReader(const std::filesystem::path& path) : path_(path) {
    routeLibraryLogOnce();
    try {
        open();
    } catch (...) {
        release();
        throw;
    }
}

MediaReader::~MediaReader() { release(); }

void MediaReader::open() {
    // Without blocking, so that a named pipe given as a file cannot stall the caller.
    fd_ = platform::FileHandle(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd_) {
        throw MediaReaderError(Failure::cannotOpen, "open", AVERROR(errno));
    }
    struct stat info {};
    if (::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw MediaReaderError(Failure::notRegularFile, "open", AVERROR(EINVAL));
    }
    ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
    constexpr int bufferSize = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
    if (buffer == nullptr) {
        throw MediaReaderError(Failure::outOfMemory, "av_malloc", AVERROR(ENOMEM));
    }
    io_ = avio_alloc_context(buffer, bufferSize, 0, this, &MediaReader::readBytes, nullptr, &MediaReader::seekBytes);
    if (io_ == nullptr) {
        av_free(buffer);
        throw MediaReaderError(Failure::outOfMemory, "avio_alloc_context", AVERROR(ENOMEM));
    }
    format_ = avformat_alloc_context();
    packet_ = av_packet_alloc();
    if (format_ == nullptr || packet_ == nullptr) {
        throw MediaReaderError(Failure::outOfMemory, "avformat_alloc_context", AVERROR(ENOMEM));
    }
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    format_->io_open = &refuseNestedOpen;
    AVDictionary* options = nullptr;
    // Our descriptor is the only way in. A whitelist of "file" alone would still let a
    // concatenation list open other local files, so nested resources get no protocol at all.
    av_dict_set(&options, "protocol_whitelist", "", 0);
    int status = avformat_open_input(&format_, path_.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (status < 0) {
        // avformat_open_input frees the context on failure.
        format_ = nullptr;
        throw MediaReaderError(Failure::notMedia, "avformat_open_input", status);
    }
    status = avformat_find_stream_info(format_, nullptr);
    if (status < 0) {
        throw MediaReaderError(Failure::unreadable, "avformat_find_stream_info", status);
    }
    kept_.assign(format_->nb_streams, true);
}

void MediaReader::release() {
    av_packet_free(&packet_);
    if (format_ != nullptr) {
        avformat_close_input(&format_);
    }
    if (io_ != nullptr) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    fd_.reset();
}

int MediaReader::readBytes(void* opaque, std::uint8_t* buffer, int size) {
    auto* self = static_cast<MediaReader*>(opaque);
    for (;;) {
        const ssize_t count = ::read(self->fd_.get(), buffer, size_t(size));
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

std::int64_t MediaReader::seekBytes(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<MediaReader*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat info {};
        return ::fstat(self->fd_.get(), &info) == 0 ? std::int64_t(info.st_size) : AVERROR(errno);
    }
    whence &= ~AVSEEK_FORCE;
    const off_t position = ::lseek(self->fd_.get(), off_t(offset), whence);
    return position < 0 ? AVERROR(errno) : std::int64_t(position);
}

AVStream* MediaReader::stream(int track) const { return format_->streams[track]; }

std::vector<int> MediaReader::audioTracks() const {
    std::vector<int> tracks;
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            tracks.push_back(int(i));
        }
    }
    return tracks;
}

int MediaReader::bestAudioTrack() const {
    const int track = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (track < 0) {
        throw MediaReaderError(Failure::noAudioTrack, "av_find_best_stream", track);
    }
    return track;
}

void MediaReader::keepOnly(const std::vector<int>& tracks) {
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        kept_[i] = std::find(tracks.begin(), tracks.end(), int(i)) != tracks.end();
        format_->streams[i]->discard = kept_[i] ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
}

std::optional<MediaPacket> MediaReader::read() {
    for (;;) {
        av_packet_unref(packet_);
        const int status = av_read_frame(format_, packet_);
        if (status == AVERROR_EOF) {
            return std::nullopt;
        }
        if (status < 0) {
            throw MediaReaderError(Failure::readFailed, "av_read_frame", status);
        }
        const int track = packet_->stream_index;
        if (track >= 0 && size_t(track) < kept_.size() && kept_[size_t(track)]) {
            return MediaPacket{track, packet_};
        }
    }
}

double MediaReader::duration() const {
    if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
        return double(format_->duration) / AV_TIME_BASE;
    }
    double longest = 0;
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        const AVStream* stream = format_->streams[i];
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
            longest = std::max(longest, double(stream->duration) * av_q2d(stream->time_base));
        }
    }
    return longest;
}

// ---- MediaDecoder ----

MediaDecoder::MediaDecoder(const MediaReader& reader, int track, Output output) {
    const AVStream* stream = reader.stream(track);
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        throw MediaReaderError(Failure::noDecoder, "avcodec_find_decoder", AVERROR_DECODER_NOT_FOUND);
    }
    codec_ = avcodec_alloc_context3(codec);
    if (codec_ == nullptr) {
        throw MediaReaderError(Failure::outOfMemory, "avcodec_alloc_context3", AVERROR(ENOMEM));
    }
    int status = avcodec_parameters_to_context(codec_, stream->codecpar);
    if (status >= 0) {
        codec_->pkt_timebase = stream->time_base;
        if (output == Output::floatPlanar) {
            codec_->request_sample_fmt = AV_SAMPLE_FMT_FLTP;
        }
        status = avcodec_open2(codec_, codec, nullptr);
    }
    if (status < 0) {
        avcodec_free_context(&codec_);
        throw MediaReaderError(Failure::decodeFailed, "avcodec_open2", status);
    }
}

MediaDecoder::~MediaDecoder() { avcodec_free_context(&codec_); }

void MediaDecoder::send(const AVPacket* packet) {
    const int status = avcodec_send_packet(codec_, packet);
    // A damaged packet is dropped; decoding goes on with the next one. After the end of the
    // track nothing more is taken.
    if (status < 0 && status != AVERROR_INVALIDDATA && status != AVERROR_EOF) {
        throw MediaReaderError(Failure::decodeFailed, "avcodec_send_packet", status);
    }
}

MediaDecoder::Status MediaDecoder::receive(AVFrame* frame) {
    for (;;) {
        const int status = avcodec_receive_frame(codec_, frame);
        if (status >= 0) {
            if (frame->nb_samples > 0) {
                return Status::frame;
            }
            continue;
        }
        if (status == AVERROR(EAGAIN)) {
            return Status::needsInput;
        }
        if (status == AVERROR_EOF) {
            return Status::finished;
        }
        if (status != AVERROR_INVALIDDATA) {
            throw MediaReaderError(Failure::decodeFailed, "avcodec_receive_frame", status);
        }
        // A damaged frame is dropped; decoding goes on with the next one.
    }
}

std::int64_t MediaDecoder::toFloatPlanes(const AVFrame& frame, int offset, int count, float* const* planes,
                                         std::uint32_t channels) {
    int64_t silenced = 0;
    auto format = AVSampleFormat(frame.format);
    int frameChannels = frame.ch_layout.nb_channels;
    bool planar = av_sample_fmt_is_planar(format);
    for (uint32_t channel = 0; channel < channels; ++channel) {
        float* out = planes[channel];
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

}  // namespace murmex
