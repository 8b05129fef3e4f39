#include "App/Services/AudioPrep.h"

#include "App/Model/AppPaths.h"
#include "App/Model/NorvelError.h"
#include "App/Texts.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "Murmex/Core/Audio/AudioFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace norvel {

namespace {

using Kind = NorvelError::Kind;

std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

QString avDetails(const char* call, int code) {
    return QString::fromUtf8(call) + QStringLiteral(" failed: ") + QString::fromStdString(avErrorText(code));
}

[[noreturn]] void throwErrno(const char* what, const QString& path) {
    throw std::filesystem::filesystem_error(what, path.toStdString(), std::error_code(errno, std::generic_category()));
}

// The input's bytes, read through its own descriptor. The container may not open anything
// else: no network protocol, no other file named inside it.
class MediaInput {
public:
    explicit MediaInput(const QString& path) {
        try {
            open(path);
        } catch (...) {
            release();
            throw;
        }
    }

    ~MediaInput() { release(); }
    MediaInput(const MediaInput&) = delete;
    MediaInput& operator=(const MediaInput&) = delete;

    AVFormatContext* format() const { return format_; }

private:
    void open(const QString& path) {
        const QByteArray local = QFile::encodeName(path);
        fd_ = ::open(local.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) {
            const int error = errno;
            throw NorvelError(Kind::unsupported, Texts::q(Texts::cannotOpenMedia),
                              QStringLiteral("open: ") + QString::fromLocal8Bit(std::strerror(error)));
        }
        struct stat info {};
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
            throw NorvelError(Kind::unsupported, Texts::q(Texts::cannotOpenMedia),
                              QStringLiteral("The input is not a regular file."));
        }
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        constexpr int bufferSize = 64 * 1024;
        auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
        if (buffer == nullptr) throw std::bad_alloc();
        io_ = avio_alloc_context(buffer, bufferSize, 0, this, &MediaInput::readPacket, nullptr, &MediaInput::seek);
        if (io_ == nullptr) {
            av_free(buffer);
            throw std::bad_alloc();
        }
        format_ = avformat_alloc_context();
        if (format_ == nullptr) throw std::bad_alloc();
        format_->pb = io_;
        format_->flags |= AVFMT_FLAG_CUSTOM_IO;
        format_->io_open = &MediaInput::refuseNestedOpen;
        AVDictionary* options = nullptr;
        av_dict_set(&options, "protocol_whitelist", "", 0);
        int status = avformat_open_input(&format_, local.constData(), nullptr, &options);
        av_dict_free(&options);
        if (status < 0) {
            format_ = nullptr;  // freed by avformat_open_input
            throw NorvelError(Kind::unsupported, Texts::q(Texts::cannotOpenMedia),
                              avDetails("avformat_open_input", status));
        }
        status = avformat_find_stream_info(format_, nullptr);
        if (status < 0) {
            throw NorvelError(Kind::unsupported, Texts::q(Texts::cannotReadMedia),
                              QString::fromUtf8(Texts::cannotReadMediaDetails) + QStringLiteral(": ") +
                                  QString::fromStdString(avErrorText(status)));
        }
    }

    void release() {
        if (format_ != nullptr) avformat_close_input(&format_);
        if (io_ != nullptr) {
            av_freep(&io_->buffer);
            avio_context_free(&io_);
        }
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    static int readPacket(void* opaque, uint8_t* buffer, int size) {
        auto* self = static_cast<MediaInput*>(opaque);
        for (;;) {
            const ssize_t count = ::read(self->fd_, buffer, size_t(size));
            if (count > 0) return int(count);
            if (count == 0) return AVERROR_EOF;
            if (errno != EINTR) return AVERROR(errno);
        }
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<MediaInput*>(opaque);
        if (whence & AVSEEK_SIZE) {
            struct stat info {};
            return ::fstat(self->fd_, &info) == 0 ? int64_t(info.st_size) : AVERROR(errno);
        }
        whence &= ~AVSEEK_FORCE;
        const off_t position = ::lseek(self->fd_, off_t(offset), whence);
        return position < 0 ? AVERROR(errno) : int64_t(position);
    }

    static int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
        return AVERROR(EPERM);
    }

    int fd_ = -1;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
};

struct CodecDeleter {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ResamplerDeleter {
    void operator()(SwrContext* context) const { swr_free(&context); }
};

// One audio track: its decoder, and a resampler to 16 kHz mono float (channels averaged).
class Track {
public:
    Track(AVStream* stream, std::int64_t formatStart) : stream_(stream), formatStart_(formatStart) {}

    // False when no decoder can be opened for the track.
    bool open() {
        const AVCodec* codec = avcodec_find_decoder(stream_->codecpar->codec_id);
        if (codec == nullptr) return false;
        codec_.reset(avcodec_alloc_context3(codec));
        frame_.reset(av_frame_alloc());
        if (!codec_ || !frame_) throw std::bad_alloc();
        if (avcodec_parameters_to_context(codec_.get(), stream_->codecpar) < 0) return false;
        codec_->pkt_timebase = stream_->time_base;
        return avcodec_open2(codec_.get(), codec, nullptr) >= 0;
    }

    int index() const { return stream_->index; }
    bool finished() const { return finished_; }
    // The absolute sample the track's next output sample lands on; before its first frame,
    // where its stream says it starts.
    std::int64_t position() const {
        if (started_) return next_;
        return std::max<std::int64_t>(0, secondsToSamples(startSeconds(stream_->start_time)));
    }

    // Decodes one packet (null: the end of the track) into the mixer. Undecodable packets are
    // skipped; any other decoder failure is thrown.
    void decode(const AVPacket* packet, AudioPrep::Mixer& mixer) {
        if (finished_) return;
        int status = avcodec_send_packet(codec_.get(), packet);
        if (status < 0 && status != AVERROR_INVALIDDATA && status != AVERROR_EOF) {
            throw murmex::AudioFileError("avcodec_send_packet failed: " + avErrorText(status), status);
        }
        for (;;) {
            status = avcodec_receive_frame(codec_.get(), frame_.get());
            if (status == AVERROR(EAGAIN)) break;
            if (status == AVERROR_EOF) {
                drain(mixer);
                finished_ = true;
                break;
            }
            if (status == AVERROR_INVALIDDATA) continue;
            if (status < 0)
                throw murmex::AudioFileError("avcodec_receive_frame failed: " + avErrorText(status), status);
            convert(*frame_, mixer);
            av_frame_unref(frame_.get());
        }
    }

private:
    double startSeconds(std::int64_t pts) const {
        if (pts == AV_NOPTS_VALUE) return 0;
        double seconds = double(pts) * av_q2d(stream_->time_base);
        if (formatStart_ != AV_NOPTS_VALUE) seconds -= double(formatStart_) / AV_TIME_BASE;
        return std::isfinite(seconds) ? seconds : 0;
    }

    static std::int64_t secondsToSamples(double seconds) {
        return std::llround(std::clamp(seconds, -1.0e9, 1.0e9) * AudioPrep::sampleRate);
    }

    void configure(const AVFrame& frame) {
        resampler_.reset();
        AVChannelLayout in{};
        av_channel_layout_default(&in, std::max(1, frame.ch_layout.nb_channels));
        AVChannelLayout out{};
        av_channel_layout_default(&out, 1);
        SwrContext* context = nullptr;
        int status = swr_alloc_set_opts2(&context, &out, AV_SAMPLE_FMT_FLT, AudioPrep::sampleRate, &in,
                                         AVSampleFormat(frame.format), frame.sample_rate, 0, nullptr);
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
            throw murmex::AudioFileError("swr_init failed: " + avErrorText(status), status);
        }
        rate_ = frame.sample_rate;
        format_ = frame.format;
        channels_ = frame.ch_layout.nb_channels;
    }

    void convert(const AVFrame& frame, AudioPrep::Mixer& mixer) {
        if (frame.nb_samples <= 0 || frame.sample_rate <= 0) return;
        if (!started_) {
            started_ = true;
            const std::int64_t pts =
                frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
            next_ = std::max<std::int64_t>(0, secondsToSamples(startSeconds(pts)));
        }
        if (!resampler_ || frame.sample_rate != rate_ || frame.format != format_ ||
            frame.ch_layout.nb_channels != channels_) {
            if (resampler_) drain(mixer);
            configure(frame);
        }
        expected_ += double(frame.nb_samples) * AudioPrep::sampleRate / frame.sample_rate;
        const int room = swr_get_out_samples(resampler_.get(), frame.nb_samples);
        if (room < 0) throw murmex::AudioFileError("swr_get_out_samples failed", room);
        output_.resize(std::size_t(room) + 16);
        auto* out = reinterpret_cast<uint8_t*>(output_.data());
        const int produced = swr_convert(resampler_.get(), &out, int(output_.size()),
                                         const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples);
        if (produced < 0) throw murmex::AudioFileError("swr_convert failed: " + avErrorText(produced), produced);
        deliver(mixer, std::size_t(produced), false);
    }

    // Flushes the resampler; the track then holds exactly as many samples as its input lasts.
    void drain(AudioPrep::Mixer& mixer) {
        if (resampler_) {
            output_.resize(4096);
            for (;;) {
                auto* out = reinterpret_cast<uint8_t*>(output_.data());
                const int produced = swr_convert(resampler_.get(), &out, int(output_.size()), nullptr, 0);
                if (produced <= 0) break;
                deliver(mixer, std::size_t(produced), true);
            }
            resampler_.reset();
        }
        const std::int64_t wanted = std::llround(expected_);
        if (emitted_ < wanted) {
            output_.assign(std::size_t(wanted - emitted_), 0.0f);
            deliver(mixer, output_.size(), true);
        }
    }

    void deliver(AudioPrep::Mixer& mixer, std::size_t count, bool trimToExpected) {
        if (trimToExpected) {
            const std::int64_t wanted = std::llround(expected_);
            count = std::size_t(std::clamp<std::int64_t>(wanted - emitted_, 0, std::int64_t(count)));
        }
        if (count == 0) return;
        mixer.add(next_, output_.data(), count);
        next_ += std::int64_t(count);
        emitted_ += std::int64_t(count);
    }

    AVStream* stream_;
    std::int64_t formatStart_;
    std::unique_ptr<AVCodecContext, CodecDeleter> codec_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<SwrContext, ResamplerDeleter> resampler_;
    std::vector<float> output_;
    int rate_ = 0;
    int format_ = -1;
    int channels_ = 0;
    bool started_ = false;
    bool finished_ = false;
    std::int64_t next_ = 0;
    std::int64_t emitted_ = 0;
    double expected_ = 0;
};

// The temporary WAV file while it is written; deleted unless released.
class WavFile {
public:
    explicit WavFile(QString path) : path_(std::move(path)) {}
    ~WavFile() { discard(); }
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;

    void create() {
        fd_ = ::open(QFile::encodeName(path_).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            throw NorvelError(Kind::diskFull, Texts::q(Texts::temporaryFileFailed), QFileInfo(path_).fileName());
        }
        created_ = true;
    }

    void write(const void* data, std::size_t size) {
        auto* bytes = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t written = ::write(fd_, bytes, size);
            if (written < 0) {
                if (errno == EINTR) continue;
                throwErrno("The prepared audio could not be written", path_);
            }
            bytes += written;
            size -= std::size_t(written);
        }
    }

    void writeHeaderAt0(const QByteArray& header) {
        if (::lseek(fd_, 0, SEEK_SET) < 0) throwErrno("The prepared audio could not be written", path_);
        write(header.constData(), std::size_t(header.size()));
    }

    void close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) throwErrno("The prepared audio could not be written", path_);
    }

    // The file is the caller's now.
    void release() { created_ = false; }

    void discard() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        if (created_) {
            ::unlink(QFile::encodeName(path_).constData());
            created_ = false;
        }
    }

private:
    QString path_;
    int fd_ = -1;
    bool created_ = false;
};

double totalDuration(const AVFormatContext& format) {
    if (format.duration != AV_NOPTS_VALUE && format.duration > 0) return double(format.duration) / AV_TIME_BASE;
    double longest = 0;
    for (unsigned i = 0; i < format.nb_streams; ++i) {
        const AVStream* stream = format.streams[i];
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
            longest = std::max(longest, double(stream->duration) * av_q2d(stream->time_base));
        }
    }
    return longest;
}

}  // namespace

// ---- Mixer ----

void AudioPrep::Mixer::add(std::int64_t at, const float* samples, std::size_t count) {
    const std::int64_t skip = std::max<std::int64_t>(0, base_ - at);
    if (skip >= std::int64_t(count)) return;
    std::int64_t position = at + skip;
    const float* from = samples + skip;
    std::size_t left = count - std::size_t(skip);
    while (left > 0) {
        const std::int64_t index = position / blockSamples;
        const std::size_t offset = std::size_t(position % blockSamples);
        const std::size_t part = std::min(left, std::size_t(blockSamples) - offset);
        std::vector<float>& block = blocks_[index];
        if (block.empty()) block.assign(blockSamples, 0.0f);
        float* to = block.data() + offset;
        for (std::size_t i = 0; i < part; ++i) to[i] += from[i];
        position += std::int64_t(part);
        from += part;
        left -= part;
    }
    end_ = std::max(end_, position);
}

std::size_t AudioPrep::Mixer::take(std::int64_t limit, const Sink& sink) {
    if (limit <= base_) return 0;
    const std::int64_t first = base_;
    pcm_.resize(blockSamples);
    while (base_ < limit) {
        const std::int64_t index = base_ / blockSamples;
        const std::size_t offset = std::size_t(base_ % blockSamples);
        const std::size_t part =
            std::size_t(std::min<std::int64_t>(limit - base_, blockSamples - std::int64_t(offset)));
        const auto found = blocks_.find(index);
        if (found == blocks_.end()) {
            // Nothing sounds here: silence, written from one block of zeros.
            std::fill_n(pcm_.begin(), part, std::int16_t(0));
        } else {
            const float* sums = found->second.data() + offset;
            for (std::size_t i = 0; i < part; ++i) {
                const float value = std::clamp(sums[i], -1.0f, 1.0f);
                pcm_[i] = static_cast<std::int16_t>(std::lrint(value * 32767.0f));
            }
            if (offset + part == std::size_t(blockSamples)) blocks_.erase(found);
        }
        sink(pcm_.data(), part);
        base_ += std::int64_t(part);
    }
    end_ = std::max(end_, base_);
    return std::size_t(base_ - first);
}

std::size_t AudioPrep::Mixer::heldSamples() const { return blocks_.size() * std::size_t(blockSamples); }

std::uint32_t AudioPrep::cappedDataSize(std::uint64_t bytes) {
    constexpr std::uint64_t cap = 4294967231ull;
    return static_cast<std::uint32_t>(std::min(bytes, cap));
}

QByteArray AudioPrep::wavHeader(std::uint32_t dataBytes) {
    QByteArray header;
    header.reserve(44);
    const auto u32 = [&](std::uint32_t value) {
        for (int i = 0; i < 4; ++i) header.append(char((value >> (8 * i)) & 0xff));
    };
    const auto u16 = [&](std::uint16_t value) {
        header.append(char(value & 0xff));
        header.append(char(value >> 8));
    };
    header.append("RIFF", 4);
    u32(dataBytes + 36u);
    header.append("WAVE", 4);
    header.append("fmt ", 4);
    u32(16);
    u16(1);
    u16(1);
    u32(sampleRate);
    u32(bytesPerSecond);
    u16(2);
    u16(16);
    header.append("data", 4);
    u32(dataBytes);
    return header;
}

PreparedAudio AudioPrep::prepare(const QString& input, const Progress& progress, std::stop_token stop,
                                 const QString& temporaryFolder) {
    MediaInput media(input);
    AVFormatContext* format = media.format();

    std::vector<std::unique_ptr<Track>> tracks;
    bool anyAudio = false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        AVStream* stream = format->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
            stream->discard = AVDISCARD_ALL;
            continue;
        }
        anyAudio = true;
        auto track = std::make_unique<Track>(stream, format->start_time);
        if (track->open()) {
            tracks.push_back(std::move(track));
        } else {
            stream->discard = AVDISCARD_ALL;
        }
    }
    if (!anyAudio) {
        throw NorvelError(Kind::noAudio, Texts::q(Texts::noAudioTrack),
                          QString::fromUtf8(Texts::noAudioTrackDetailsPrefix) + QFileInfo(input).fileName());
    }
    if (tracks.empty()) {
        throw NorvelError(Kind::unsupported, Texts::q(Texts::unreadableAudioFormat),
                          QString::fromUtf8(Texts::unreadableAudioFormatDetails));
    }
    const double total = totalDuration(*format);

    const QString folder = temporaryFolder.isEmpty() ? AppPaths::temporaryFolder() : temporaryFolder;
    const QString path =
        QDir(folder).filePath(QStringLiteral("Norvel-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                              QStringLiteral(".wav"));
    WavFile file(path);
    file.create();

    try {
        file.write(wavHeader(0).constData(), 44);

        Mixer mixer;
        std::uint64_t bytes = 0;
        double reported = -1;
        // A track that falls this far behind the others no longer holds the mix back.
        constexpr std::int64_t maximumLag = 30 * sampleRate;
        const auto flush = [&](bool all) {
            std::int64_t limit = all ? mixer.end() : std::numeric_limits<std::int64_t>::max();
            if (!all) {
                std::int64_t ahead = 0;
                for (const auto& track : tracks) {
                    if (!track->finished()) {
                        limit = std::min(limit, track->position());
                        ahead = std::max(ahead, track->position());
                    }
                }
                if (limit == std::numeric_limits<std::int64_t>::max()) limit = mixer.end();
                limit = std::min(std::max(limit, ahead - maximumLag), mixer.end());
            }
            const std::size_t taken = mixer.take(limit, [&](const std::int16_t* pcm, std::size_t count) {
                file.write(pcm, count * sizeof(std::int16_t));
                bytes += count * sizeof(std::int16_t);
            });
            if (taken == 0) return;
            if (progress && total > 0 && std::isfinite(total)) {
                double fraction = double(mixer.base()) / sampleRate / total;
                fraction = std::isnan(fraction) ? 0 : std::clamp(fraction, 0.0, 1.0);
                if (fraction > reported) {
                    reported = fraction;
                    progress(fraction);
                }
            }
        };

        std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
        if (!packet) throw std::bad_alloc();
        for (;;) {
            if (stop.stop_requested()) throw halvex::CancellationError();
            const int status = av_read_frame(format, packet.get());
            if (status == AVERROR_EOF) break;
            if (status < 0) {
                throw NorvelError(Kind::unsupported, Texts::q(Texts::audioNotDecoded),
                                  QString::fromUtf8(Texts::readerFailed) + QStringLiteral(": ") +
                                      QString::fromStdString(avErrorText(status)));
            }
            for (auto& track : tracks) {
                if (track->index() == packet->stream_index) {
                    track->decode(packet.get(), mixer);
                    break;
                }
            }
            av_packet_unref(packet.get());
            flush(false);
        }
        for (auto& track : tracks) track->decode(nullptr, mixer);
        flush(true);

        file.writeHeaderAt0(wavHeader(cappedDataSize(bytes)));
        file.close();
        if (bytes == 0) {
            file.discard();
            throw NorvelError(Kind::noAudio, Texts::q(Texts::nothingDecoded), Texts::q(Texts::nothingDecodedDetails));
        }
        file.release();
        return PreparedAudio{path, double(bytes) / bytesPerSecond};
    } catch (const halvex::CancellationError&) {
        throw;
    } catch (const NorvelError&) {
        throw;
    } catch (...) {
        const NorvelError mapped = NorvelError::from(std::current_exception());
        if (mapped.kind() != Kind::general) throw mapped;
        throw NorvelError(Kind::unsupported, Texts::q(Texts::audioNotDecoded), mapped.details());
    }
}

}  // namespace norvel
