#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

#include "Murmex/Model/JSONCoding.h"

namespace murmex {

// How an audio file is turned into samples: which channels are used, and whether the file is
// read whole or piece by piece.
struct AudioInputOptions {
    // Which channels of a file are used.
    class ChannelMode {
    public:
        // `sumChannels` with no list.
        ChannelMode() = default;
        // Only the channel with this index.
        static ChannelMode specificChannel(int channel);
        // The sum of the listed channels; with no list, of all channels. No list differs from
        // an empty list.
        static ChannelMode sumChannels(std::optional<std::vector<int>> channels = std::nullopt);

        bool isSpecificChannel() const { return specific_.has_value(); }
        bool isSumChannels() const { return !specific_.has_value(); }
        // The index of a `specificChannel` mode; no value for `sumChannels`.
        std::optional<int> channel() const { return specific_; }
        // The list of a `sumChannels` mode; no value when it has none or for `specificChannel`.
        const std::optional<std::vector<int>>& channels() const { return sum_; }

        friend bool operator==(const ChannelMode& a, const ChannelMode& b) {
            return a.specific_ == b.specific_ && a.sum_ == b.sum_;
        }
        std::size_t hash() const;

    private:
        std::optional<int> specific_;
        std::optional<std::vector<int>> sum_;
    };

    // Whole file, or pieces of a given duration with at most a given number in flight.
    class AudioLoadingMode {
    public:
        // `fullFile`.
        AudioLoadingMode() = default;
        static constexpr double defaultChunkDurationSeconds = 120.0;
        static constexpr int defaultMaxBufferedChunks = 2;

        static AudioLoadingMode incremental(double chunkDurationSeconds = defaultChunkDurationSeconds,
                                            int maxBufferedChunks = defaultMaxBufferedChunks);
        static AudioLoadingMode fullFile();

        bool isIncremental() const { return incremental_; }
        bool isFullFile() const { return !incremental_; }
        // Meaningful for `incremental` only.
        double chunkDurationSeconds() const { return chunkDurationSeconds_; }
        int maxBufferedChunks() const { return maxBufferedChunks_; }

    private:
        bool incremental_ = false;
        double chunkDurationSeconds_ = 0;
        int maxBufferedChunks_ = 0;
    };

    ChannelMode channelMode = ChannelMode::sumChannels();
    AudioLoadingMode audioLoadingMode = AudioLoadingMode::fullFile();

    AudioInputOptions() = default;
    AudioInputOptions(ChannelMode channelMode, AudioLoadingMode audioLoadingMode)
        : channelMode(std::move(channelMode)), audioLoadingMode(audioLoadingMode) {}
};

// {"specificChannel": {"_0": n}} or {"sumChannels": {"_0": [...]}} ({"sumChannels": {}} with
// no list).
void to_json(Json& json, const AudioInputOptions::ChannelMode& mode);
void from_json(const Json& json, AudioInputOptions::ChannelMode& mode);

}  // namespace murmex

template <>
struct std::hash<murmex::AudioInputOptions::ChannelMode> {
    std::size_t operator()(const murmex::AudioInputOptions::ChannelMode& mode) const { return mode.hash(); }
};
