#pragma once

#include "Platform/IO/FileHandle.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct AVStream;

namespace murmex {

// A media file that could not be opened, read or decoded: what failed, the decoding library's
// call that failed, and its error code (a negative number). The text reads "<call> failed:
// <the library's description of the code>". Each user of the reader turns these into its own
// errors.
class MediaReaderError : public std::runtime_error {
public:
    enum class Failure {
        cannotOpen,      // the file could not be opened; the code is the system's error number, negated
        notRegularFile,  // a folder, a named pipe, a device, …
        outOfMemory,
        notMedia,    // no container the decoding library knows
        unreadable,  // the container's track information could not be read
        noAudioTrack,
        readFailed,    // a packet could not be read
        noDecoder,     // no decoder for the track's codec
        decodeFailed,  // the decoder could not be opened or failed while decoding
        resampleFailed,
    };

    MediaReaderError(Failure failure, const char* call, int code);

    Failure failure() const { return failure_; }
    const char* call() const { return call_; }
    int code() const { return code_; }

    // The decoding library's description of an error code.
    static std::string describe(int code);

private:
    Failure failure_;
    const char* call_;
    int code_;
};

// A packet read from a media file: the track it belongs to and its data, valid until the next
// read.
struct MediaPacket {
    int track = -1;
    const AVPacket* data = nullptr;
};

// A media file (any audio or video container the decoding library knows) opened to read the
// packets of its tracks. This is the only way the system opens media files.
//
// The file is reached through one descriptor of its own. It is opened without blocking and
// accepted only when it is a regular file, so that a named pipe, a device or a folder given as
// a file is refused before anything waits on it. The container can reach nothing else: no
// network protocol, and no other file (a playlist, a concatenation list or an external media
// reference inside the file is refused).
//
// The library's own diagnostics go to the audio log at debug level, never to the terminal.
// One caller at a time.
class MediaReader {
public:
    // Opens the file and reads its track information. Throws MediaReaderError (cannotOpen,
    // notRegularFile, outOfMemory, notMedia or unreadable).
    explicit MediaReader(const std::filesystem::path& path);
    ~MediaReader();
    MediaReader(const MediaReader&) = delete;
    MediaReader& operator=(const MediaReader&) = delete;

    const std::filesystem::path& path() const { return path_; }
    AVFormatContext* format() const { return format_; }
    AVStream* stream(int track) const;

    // The audio tracks, in the file's order.
    std::vector<int> audioTracks() const;
    // The file's main audio track, as the decoding library judges it. Throws MediaReaderError
    // (noAudioTrack).
    int bestAudioTrack() const;
    // Reads only the packets of `tracks` from now on; the others are skipped.
    void keepOnly(const std::vector<int>& tracks);

    // The next packet of the tracks kept; nothing at the end of the file. Throws
    // MediaReaderError (readFailed).
    std::optional<MediaPacket> read();

    // How long the file lasts in seconds: the container's duration, else its longest track's;
    // 0 when unknown.
    double duration() const;

private:
    void open();
    void release();
    static int readBytes(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t seekBytes(void* opaque, std::int64_t offset, int whence);

    std::filesystem::path path_;
    platform::FileHandle fd_;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<bool> kept_;
};

// The decoder of one track of a MediaReader. Damaged packets and frames are dropped and
// decoding goes on with the next one; frames without samples are skipped.
class MediaDecoder {
public:
    // The sample format the decoder is asked for: its own, or 32-bit float planar where it
    // can give that.
    enum class Output { decoderDefault, floatPlanar };
    enum class Status { frame, needsInput, finished };

    // Throws MediaReaderError (noDecoder, outOfMemory or decodeFailed).
    MediaDecoder(const MediaReader& reader, int track, Output output);
    ~MediaDecoder();
    MediaDecoder(const MediaDecoder&) = delete;
    MediaDecoder& operator=(const MediaDecoder&) = delete;

    // Gives the decoder a packet, or the end of the track (null). Throws MediaReaderError
    // (decodeFailed).
    void send(const AVPacket* packet);
    // Decodes the next frame into `frame`, or says that the decoder needs the next packet or
    // has given everything. Throws MediaReaderError (decodeFailed).
    Status receive(AVFrame* frame);

    // Converts `count` samples of each channel of a decoded frame, from its sample `offset`, into
    // `channels` planes of 32-bit floats (whatever the frame's sample type and layout). Channels
    // the frame lacks are written as silence; extra channels are dropped. Floating-point samples
    // that are not finite numbers (or do not fit a float) become silence; returns how many.
    static std::int64_t toFloatPlanes(const AVFrame& frame, int offset, int count, float* const* planes,
                                      std::uint32_t channels);

private:
    AVCodecContext* codec_ = nullptr;
};

}  // namespace murmex
