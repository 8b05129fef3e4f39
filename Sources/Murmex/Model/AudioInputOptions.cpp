#include "Murmex/Model/AudioInputOptions.h"

#include <utility>

namespace murmex {

namespace {

void combine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

AudioInputOptions::ChannelMode AudioInputOptions::ChannelMode::specificChannel(int channel) {
    ChannelMode mode;
    mode.specific_ = channel;
    return mode;
}

AudioInputOptions::ChannelMode AudioInputOptions::ChannelMode::sumChannels(std::optional<std::vector<int>> channels) {
    ChannelMode mode;
    mode.sum_ = std::move(channels);
    return mode;
}

std::size_t AudioInputOptions::ChannelMode::hash() const {
    // Case number, then the index, or a presence flag followed by the count and the elements.
    std::size_t seed = 0;
    if (specific_) {
        combine(seed, 0);
        combine(seed, std::hash<int>{}(*specific_));
        return seed;
    }
    combine(seed, 1);
    combine(seed, sum_.has_value() ? 1 : 0);
    if (sum_) {
        combine(seed, sum_->size());
        for (int channel : *sum_) combine(seed, std::hash<int>{}(channel));
    }
    return seed;
}

AudioInputOptions::AudioLoadingMode AudioInputOptions::AudioLoadingMode::incremental(double chunkDurationSeconds,
                                                                                     int maxBufferedChunks) {
    AudioLoadingMode mode;
    mode.incremental_ = true;
    mode.chunkDurationSeconds_ = chunkDurationSeconds;
    mode.maxBufferedChunks_ = maxBufferedChunks;
    return mode;
}

AudioInputOptions::AudioLoadingMode AudioInputOptions::AudioLoadingMode::fullFile() { return AudioLoadingMode(); }

void to_json(Json& json, const AudioInputOptions::ChannelMode& mode) {
    json = Json::object();
    Json payload = Json::object();
    if (mode.isSpecificChannel()) {
        payload["_0"] = *mode.channel();
        json["specificChannel"] = std::move(payload);
    } else {
        if (mode.channels()) payload["_0"] = coding::encode(*mode.channels());
        json["sumChannels"] = std::move(payload);
    }
}

void from_json(const Json& json, AudioInputOptions::ChannelMode& mode) {
    const std::string caseName =
        coding::decodeSingleCaseKey(json, {"specificChannel", "sumChannels"}, "AudioInputOptions.ChannelMode");
    const Json& payload = json.at(caseName);
    try {
        coding::requireObject(payload, caseName);
        if (caseName == "specificChannel") {
            mode = AudioInputOptions::ChannelMode::specificChannel(coding::decodeKey<int>(payload, "_0"));
        } else {
            mode = AudioInputOptions::ChannelMode::sumChannels(
                coding::decodeKeyIfPresent<std::vector<int>>(payload, "_0"));
        }
    } catch (DecodingError& error) {
        error.prependPath(caseName);
        throw;
    }
}

}  // namespace murmex
