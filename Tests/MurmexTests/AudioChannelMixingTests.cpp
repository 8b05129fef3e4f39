#include "AudioTestSupport.h"
#include "Support/Fixtures.h"

#include "Murmex/Audio/AudioProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using murmex::AudioCommonFormat;
using murmex::AudioFormat;
using murmex::AudioPCMBuffer;
using murmex::AudioProcessor;
using ChannelMode = murmex::AudioProcessor::ChannelMode;
using norvel::test::TemporaryDirectory;
namespace support = murmex::test;

constexpr uint32_t kFrames = 480;

// Three distinct channels: a tone peaking at 0.5, a quieter tone of another pitch, a ramp.
std::vector<std::vector<float>> threeChannels() {
    std::vector<std::vector<float>> channels(3, std::vector<float>(kFrames));
    for (uint32_t i = 0; i < kFrames; ++i) {
        channels[0][i] = float(0.5 * std::sin(2 * M_PI * i / 48.0));
        channels[1][i] = float(0.2 * std::sin(2 * M_PI * i / 30.0 + 1.0));
        channels[2][i] = float(i) / kFrames * 0.3f - 0.1f;
    }
    return channels;
}

std::shared_ptr<AudioPCMBuffer> planarBuffer(const std::vector<std::vector<float>>& channels, double rate = 44100) {
    auto buffer = std::make_shared<AudioPCMBuffer>(
        AudioFormat{AudioCommonFormat::float32, rate, uint32_t(channels.size()), false}, uint32_t(channels[0].size()));
    for (uint32_t c = 0; c < channels.size(); ++c) {
        std::copy(channels[c].begin(), channels[c].end(), buffer->floatChannelData(c));
    }
    buffer->setFrameLength(uint32_t(channels[0].size()));
    return buffer;
}

// The mix as it is defined: the selected channels added, scaled to the loudest one's peak.
std::vector<float> expectedMix(const std::vector<std::vector<float>>& channels, const std::vector<int>& selected) {
    std::vector<float> sum(channels[0].size(), 0.0f);
    float loudest = 0;
    for (int c : selected) {
        loudest = std::max(loudest, support::peak(channels[size_t(c)]));
        for (size_t i = 0; i < sum.size(); ++i) sum[i] += channels[size_t(c)][i];
    }
    const float scale = loudest / std::max(support::peak(sum), 0.0001f);
    for (float& sample : sum) sample *= scale;
    return sum;
}

std::vector<float> firstChannel(const AudioPCMBuffer& buffer) {
    return std::vector<float>(buffer.floatChannelData(), buffer.floatChannelData() + buffer.frameLength());
}

TEST(AudioChannelMixing, ModesSelectOrMixChannelsAsDefined) {
    const auto channels = threeChannels();
    struct Case {
        const char* name;
        ChannelMode mode;
        std::vector<int> expected;  // the channels that make up the result
    };
    const std::vector<Case> cases{
        {"all channels", ChannelMode::sumChannels(), {0, 1, 2}},
        {"an empty list is every channel", ChannelMode::sumChannels(std::vector<int>{}), {0, 1, 2}},
        {"listed channels", ChannelMode::sumChannels(std::vector<int>{0, 2}), {0, 2}},
        {"invalid entries are skipped", ChannelMode::sumChannels(std::vector<int>{-1, 2, 9}), {2}},
        {"duplicates are kept", ChannelMode::sumChannels(std::vector<int>{1, 1, 2}), {1, 1, 2}},
        {"no valid entry gives the first channel", ChannelMode::sumChannels(std::vector<int>{5}), {0}},
        {"one channel", ChannelMode::specificChannel(1), {1}},
        {"a missing channel gives the first", ChannelMode::specificChannel(7), {0}},
        {"a negative channel gives the first", ChannelMode::specificChannel(-2), {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        support::LogCapture log;
        auto mono = AudioProcessor::convertToMono(planarBuffer(channels), c.mode);
        // Only a list that names no existing channel is mentioned; a missing single channel is not.
        const bool noValidEntry = c.mode.isSumChannels() && c.expected == std::vector<int>{0};
        EXPECT_EQ(log.lines(),
                  noValidEntry
                      ? std::vector<std::string>{"No valid channel indices provided, defaulting to first channel"}
                      : std::vector<std::string>{});
        ASSERT_TRUE(mono);
        EXPECT_EQ(mono->format().channelCount, 1u);
        EXPECT_EQ(mono->format().sampleRate, 44100.0);
        const auto result = firstChannel(*mono);
        const auto expected = c.expected.size() == 1 && c.mode.isSpecificChannel() ? channels[size_t(c.expected[0])]
                                                                                   : expectedMix(channels, c.expected);
        ASSERT_EQ(result.size(), expected.size());
        for (size_t i = 0; i < result.size(); ++i) {
            ASSERT_NEAR(result[i], expected[i], 1e-6f) << "at " << i;
        }
    }
}

TEST(AudioChannelMixing, MixKeepsTheLoudestChannelsPeak) {
    // A left channel peaking at 0.5 beside a silent right one comes out unchanged; a silent
    // file stays silent (its sum is below the level floor, so it is scaled by 0).
    const auto left = support::sine(440, 0.5, 44100, kFrames);
    const std::vector<float> silence(kFrames, 0.0f);
    EXPECT_EQ(firstChannel(*AudioProcessor::convertToMono(planarBuffer({left, silence}), ChannelMode::sumChannels())),
              left);
    const auto quiet =
        AudioProcessor::convertToMono(planarBuffer({silence, silence, silence}), ChannelMode::sumChannels());
    EXPECT_EQ(support::peak(firstChannel(*quiet)), 0.0f);
    // Two equal channels sum to twice the level and are scaled back to it.
    const auto both =
        firstChannel(*AudioProcessor::convertToMono(planarBuffer({left, left}), ChannelMode::sumChannels()));
    EXPECT_FLOAT_EQ(support::peak(both), support::peak(left));
}

TEST(AudioChannelMixing, BuffersOfOtherLayouts) {
    // One channel is returned as it is.
    auto mono = planarBuffer({support::sine(440, 0.5, 44100, kFrames)});
    EXPECT_EQ(AudioProcessor::convertToMono(mono, ChannelMode::specificChannel(3)), mono);
    // Interleaved samples are mixed like planar ones.
    const auto channels = threeChannels();
    auto interleaved =
        std::make_shared<AudioPCMBuffer>(AudioFormat{AudioCommonFormat::float32, 44100, 3, true}, kFrames);
    for (uint32_t i = 0; i < kFrames; ++i)
        for (uint32_t c = 0; c < 3; ++c) interleaved->floatChannelData()[i * 3 + c] = channels[c][i];
    interleaved->setFrameLength(kFrames);
    const auto mixed = firstChannel(*AudioProcessor::convertToMono(interleaved, ChannelMode::sumChannels()));
    const auto expected = expectedMix(channels, {0, 1, 2});
    for (size_t i = 0; i < kFrames; ++i) ASSERT_NEAR(mixed[i], expected[i], 1e-6f);
    EXPECT_EQ(firstChannel(*AudioProcessor::convertToMono(interleaved, ChannelMode::specificChannel(2))), channels[2]);
    // Integer samples cannot be mixed.
    support::LogCapture log;
    auto integers = std::make_shared<AudioPCMBuffer>(AudioFormat{AudioCommonFormat::int16, 44100, 2, false}, kFrames);
    EXPECT_EQ(AudioProcessor::convertToMono(integers, ChannelMode::sumChannels()), nullptr);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Buffer did not contain floatChannelData."});
}

TEST(AudioChannelMixing, FileChannelsFollowTheMode) {
    TemporaryDirectory directory;
    const auto channels = threeChannels();
    const auto path = directory / "three.wav";
    // 16 kHz: the rate stays, so the result is the mix itself.
    support::writeFloatWav(path, channels, 16000);
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path.string(), ChannelMode::specificChannel(2)), channels[2]);
    const auto mixed =
        AudioProcessor::loadAudioAsFloatArray(path.string(), ChannelMode::sumChannels(std::vector<int>{0, 1}));
    const auto expected = expectedMix(channels, {0, 1});
    ASSERT_EQ(mixed.size(), expected.size());
    for (size_t i = 0; i < mixed.size(); ++i) ASSERT_NEAR(mixed[i], expected[i], 1e-6f);
}

TEST(AudioChannelMixing, BufferToArrayCopiesTheFirstChannelAndClearsIt) {
    const auto channels = threeChannels();
    auto buffer = planarBuffer(channels);
    for (uint32_t chunk : {1u, 7u, 1024u}) {
        SCOPED_TRACE(chunk);
        buffer = planarBuffer(channels);
        EXPECT_EQ(AudioProcessor::convertBufferToArray(*buffer, chunk), channels[0]);
        EXPECT_EQ(support::peak(firstChannel(*buffer)), 0.0f);
        EXPECT_EQ(buffer->floatChannelData(1)[5], channels[1][5]);
    }
}

}  // namespace
