#pragma once

#include "Murmex/Audio/AudioChunking.h"
#include "Murmex/Model/VoiceActivityDetector.h"
#include "Platform/ML/AudioWindow.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace murmex {

// Cuts long audio into chunks of at most one model window, each cut placed in the middle of
// the longest silence in the second half of the window, so that no word is split. Immutable;
// may be used by several threads at once.
class VADAudioChunker : public AudioChunking {
public:
    // The padding every caller uses: one second of samples.
    static constexpr int standardWindowPadding = platform::audiowindow::sampleRate;

    // `windowPadding` (samples): a clip is chunked only while the next chunk would start more
    // than this before the clip's end. With no detector, the standard energy detector (0.1-s
    // frames, threshold 0.02) finds the silences.
    explicit VADAudioChunker(int windowPadding = standardWindowPadding,
                             std::shared_ptr<VoiceActivityDetector> vad = nullptr);

    int windowPadding() const { return windowPadding_; }
    const std::shared_ptr<VoiceActivityDetector>& vad() const { return vad_; }

    // Audio not longer than `maxChunkLength` is one chunk at offset 0. Longer audio is chunked
    // clip by clip (the clip times of `decodeOptions`, the whole audio when it has none): inside
    // a clip, chunks follow each other without gap, each at most `maxChunkLength` samples; a
    // stretch of at most `windowPadding` samples after the last cut of a clip forms no chunk.
    // Clip ends beyond the audio are cut to its end. Throws WhisperError.audioProcessingFailed
    // ("startIndex is outside the buffer size") when a clip starts outside the audio, and when
    // `maxChunkLength` is not positive.
    std::vector<AudioChunk> chunkAll(const std::vector<float>& audioArray, int maxChunkLength,
                                     const std::optional<DecodingOptions>& decodeOptions) override;

private:
    // The end of a chunk that may run from `startIndex` to `endIndex`: the first sample of the
    // middle frame of the longest silence in the range's second half, or `endIndex` when that
    // half holds no silence.
    std::int64_t splitOnMiddleOfLongestSilence(const std::vector<float>& audioArray, std::int64_t startIndex,
                                               std::int64_t endIndex) const;

    int windowPadding_;
    std::shared_ptr<VoiceActivityDetector> vad_;
};

}  // namespace murmex
