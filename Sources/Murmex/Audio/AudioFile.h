#pragma once

#include "Murmex/Audio/AudioPCMBuffer.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace murmex {

// An audio file that cannot be opened or read: the decoding library's failure, with its error
// code (a negative number) and a description of what went wrong.
class AudioFileError : public std::runtime_error {
public:
    AudioFileError(const std::string& description, int code);

    // The domain of these errors, as an error report names it.
    static constexpr const char* domain = "AudioFileErrorDomain";
    int code() const { return code_; }

private:
    int code_;
};

// An audio file opened for reading, decoded to 32-bit float planar samples at the file's own
// rate and channel count. It reads the first audio track of any container the decoding library
// knows (audio files, and the audio of video files).
//
// The file is reached through its own descriptor only: no network protocol, and no other file
// (a playlist, a concatenation list or an external media reference inside the file is refused).
//
// Positions and lengths are frame counts from the first sample the decoder outputs. Reading is
// sequential; moving the position forward decodes and drops frames, moving it back reopens the
// file, so every position is sample-exact.
//
// Samples that are not finite numbers (a damaged floating-point file) are read as silence, and
// the first of them in a file is reported with one error line.
//
// One caller at a time: the read position moves.
class AudioFile {
public:
    // Opens the file. Throws AudioFileError when it cannot be opened, holds no audio track,
    // or its audio cannot be decoded.
    explicit AudioFile(const std::filesystem::path& path);
    ~AudioFile();
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The file's rate and channel count.
    const AudioFormat& fileFormat() const { return format_; }
    // The format reads deliver: 32-bit float, non-interleaved, at the file's rate and channels.
    const AudioFormat& processingFormat() const { return format_; }
    // The number of frames the file holds.
    int64_t length() const { return length_; }

    // The frame the next read starts at.
    int64_t framePosition() const { return position_; }
    // Moves the read position; a position beyond the end reads nothing.
    void setFramePosition(int64_t frame);

    // Reads up to `frameCount` frames from the read position into `buffer` (whose format must be
    // the processing format), from its frame `atFrame` on and as far as its capacity allows; the
    // buffer's frame length becomes `atFrame` plus the frames read, which are fewer than asked
    // only at the end of the file. Throws AudioFileError on a read error or a buffer that does
    // not fit.
    void read(AudioPCMBuffer& buffer, uint32_t frameCount, uint32_t atFrame = 0);

    // Like `read`, but leaves the read position where it is: the next read returns the same
    // frames. Returns the frames copied.
    uint32_t peek(AudioPCMBuffer& buffer, uint32_t frameCount, uint32_t atFrame = 0);

    // How many of the frames just before the read position are still at hand (up to
    // `historyCapacity`; none after the position jumped past the end of the file).
    uint32_t precedingFrames() const;
    // Copies the last `frameCount` frames before the read position (at most `precedingFrames`)
    // to the front of `buffer`, whose frame length becomes that count. Returns the count.
    uint32_t copyPrecedingFrames(AudioPCMBuffer& buffer, uint32_t frameCount) const;

    static constexpr int64_t historyCapacity = 8192;

private:
    class Decoder;

    void reopen();
    void skipFrames(int64_t frames);
    // Moves up to `frames` frames from the read position into the channel planes.
    int64_t pull(float* const* planes, int64_t frames);
    void checkBuffer(const AudioPCMBuffer& buffer, uint32_t atFrame) const;
    // Reports, once per file, that decoded samples were replaced with silence.
    void noteSilenced(int64_t samples);

    std::filesystem::path path_;
    std::unique_ptr<Decoder> decoder_;
    AudioFormat format_;
    int64_t length_ = 0;
    int64_t position_ = 0;
    // Frames decoded by a peek and not read yet, per channel.
    std::vector<std::vector<float>> ahead_;
    // The newest frames before the read position, per channel.
    std::vector<std::vector<float>> history_;
    bool warnedNonFinite_ = false;
};

}  // namespace murmex
