#include "App/Services/AudioPrep.h"

#include "App/Model/AppPaths.h"
#include "App/Model/NorvelError.h"
#include "App/Texts.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "Murmex/Audio/AudioFile.h"
#include "Murmex/Audio/MediaReader.h"
#include "Murmex/Audio/MonoTrackDecoder.h"
#include "Platform/IO/FileBytes.h"
#include "Platform/IO/FileHandle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace norvel {

namespace {

using Kind = NorvelError::Kind;

[[noreturn]] void throwErrno(const char* what, const QString& path, int error = errno) {
    throw std::filesystem::filesystem_error(what, path.toStdString(), std::error_code(error, std::generic_category()));
}

using murmex::MediaReaderError;

// Opens the input through the library's media reader, the only way media files are opened.
std::unique_ptr<murmex::MediaReader> openMedia(const QString& input) {
    try {
        return std::make_unique<murmex::MediaReader>(std::filesystem::path(QFile::encodeName(input).toStdString()));
    } catch (const MediaReaderError& error) {
        switch (error.failure()) {
            case MediaReaderError::Failure::cannotOpen:
                // The code of a failed open is the system's error number, negated.
                throw NorvelError(Kind::unsupported, Texts::q(Texts::cannotOpenMedia),
                                  QStringLiteral("open: ") + QString::fromLocal8Bit(std::strerror(-error.code())));
            case MediaReaderError::Failure::notRegularFile:
                throw NorvelError(Kind::unsupported, Texts::q(Texts::cannotOpenMedia),
                                  QStringLiteral("The input is not a regular file."));
            case MediaReaderError::Failure::outOfMemory: throw std::bad_alloc();
            case MediaReaderError::Failure::unreadable:
                throw NorvelError(Kind::unsupported, Texts::q(Texts::cannotReadMedia),
                                  QString::fromUtf8(Texts::cannotReadMediaDetails) + QStringLiteral(": ") +
                                      QString::fromStdString(MediaReaderError::describe(error.code())));
            default:
                throw NorvelError(Kind::unsupported, Texts::q(Texts::cannotOpenMedia),
                                  QString::fromStdString(error.what()));
        }
    }
}

// A failure while the audio was decoded, as the user sees it.
NorvelError decodingFailure(std::exception_ptr error) {
    const NorvelError mapped = NorvelError::from(error);
    if (mapped.kind() != Kind::general) return mapped;
    return NorvelError(Kind::unsupported, Texts::q(Texts::audioNotDecoded), mapped.details());
}

// The temporary WAV file while it is written; deleted unless released.
class WavFile {
public:
    explicit WavFile(QString path) : path_(std::move(path)) {}
    ~WavFile() { discard(); }
    WavFile(const WavFile&) = delete;
    WavFile& operator=(const WavFile&) = delete;

    void create() {
        fd_ = platform::FileHandle(
            ::open(QFile::encodeName(path_).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd_) {
            throw NorvelError(Kind::diskFull, Texts::q(Texts::temporaryFileFailed), QFileInfo(path_).fileName());
        }
        created_ = true;
    }

    void write(const void* data, std::size_t size) {
        if (const int error = platform::writeAll(fd_.get(), data, size); error != 0) {
            throwErrno("The prepared audio could not be written", path_, error);
        }
    }

    void writeHeaderAt0(const QByteArray& header) {
        if (::lseek(fd_.get(), 0, SEEK_SET) < 0) throwErrno("The prepared audio could not be written", path_);
        write(header.constData(), std::size_t(header.size()));
    }

    // Closed by hand: a failed close means the prepared audio may not be complete.
    void close() {
        const int fd = fd_.release();
        if (::close(fd) != 0 && errno != EINTR) throwErrno("The prepared audio could not be written", path_);
    }

    // The file is the caller's now.
    void release() { created_ = false; }

    void discard() {
        fd_.reset();
        if (created_) {
            ::unlink(QFile::encodeName(path_).constData());
            created_ = false;
        }
    }

private:
    QString path_;
    platform::FileHandle fd_;
    bool created_ = false;
};

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
    const std::unique_ptr<murmex::MediaReader> media = openMedia(input);

    // Every audio track that can be decoded; the reader skips the packets of all others.
    const std::vector<int> audioTracks = media->audioTracks();
    std::vector<std::unique_ptr<murmex::MonoTrackDecoder>> tracks;
    std::vector<int> decodable;
    for (const int index : audioTracks) {
        try {
            tracks.push_back(std::make_unique<murmex::MonoTrackDecoder>(*media, index, sampleRate));
            decodable.push_back(index);
        } catch (const MediaReaderError& error) {
            if (error.failure() == MediaReaderError::Failure::outOfMemory) throw std::bad_alloc();
        }
    }
    media->keepOnly(decodable);
    if (audioTracks.empty()) {
        throw NorvelError(Kind::noAudio, Texts::q(Texts::noAudioTrack),
                          QString::fromUtf8(Texts::noAudioTrackDetailsPrefix) + QFileInfo(input).fileName());
    }
    if (tracks.empty()) {
        throw NorvelError(Kind::unsupported, Texts::q(Texts::unreadableAudioFormat),
                          QString::fromUtf8(Texts::unreadableAudioFormatDetails));
    }
    const double total = media->duration();

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

        const murmex::MonoTrackDecoder::Sink add = [&mixer](std::int64_t at, const float* samples, std::size_t count) {
            mixer.add(at, samples, count);
        };
        for (;;) {
            if (stop.stop_requested()) throw halvex::CancellationError();
            const std::optional<murmex::MediaPacket> packet = media->read();
            if (!packet) break;
            for (auto& track : tracks) {
                if (track->track() == packet->track) {
                    track->decode(packet->data, add);
                    break;
                }
            }
            flush(false);
        }
        for (auto& track : tracks) track->decode(nullptr, add);
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
    } catch (const MediaReaderError& error) {
        if (error.failure() == MediaReaderError::Failure::readFailed) {
            throw NorvelError(Kind::unsupported, Texts::q(Texts::audioNotDecoded),
                              QString::fromUtf8(Texts::readerFailed) + QStringLiteral(": ") +
                                  QString::fromStdString(MediaReaderError::describe(error.code())));
        }
        // Decoding failures are reported as the library's audio file errors: the failing call
        // and its code.
        throw decodingFailure(std::make_exception_ptr(murmex::AudioFileError(error.what(), error.code())));
    } catch (...) {
        throw decodingFailure(std::current_exception());
    }
}

}  // namespace norvel
