#include "AudioTestSupport.h"

#include "Murmex/Audio/AudioConverter.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Audio/EnergyVAD.h"
#include "Murmex/Model/WhisperError.h"

#include <gtest/gtest.h>

#include <limits>

#include <cmath>
#include <cstring>
#include <numeric>

namespace {

using murmex::AudioCommonFormat;
using murmex::AudioConverter;
using murmex::AudioFormat;
using murmex::AudioPCMBuffer;
using murmex::AudioProcessor;
using murmex::EnergyVAD;
using murmex::MultiArrayValue;
using murmex::WhisperError;
namespace support = murmex::test;

std::vector<float> counting(size_t count) {
    std::vector<float> samples(count);
    std::iota(samples.begin(), samples.end(), 1.0f);
    return samples;
}

TEST(AudioWindow, PadsOrTrimsToTheRequestedLength) {
    struct Case {
        size_t arrayLength;
        int64_t start;
        int64_t length;
        int64_t copied;
    };
    for (Case c : {Case{100000, 0, 480000, 100000}, Case{600000, 480000, 480000, 120000},
                   Case{600000, 0, 480000, 480000}, Case{10, 9, 4, 1}}) {
        SCOPED_TRACE(c.arrayLength);
        const auto samples = counting(c.arrayLength);
        for (bool saveSegment : {false, true}) {
            auto window = AudioProcessor::padOrTrimAudio(samples, c.start, c.length, saveSegment);
            ASSERT_TRUE(window);
            ASSERT_EQ(window->shape(), platform::Shape{int(c.length)});
            ASSERT_EQ(window->dataType(), platform::MultiArrayDataType::float32);
            const float* data = window->data<float>();
            EXPECT_EQ(data[0], samples[size_t(c.start)]);
            EXPECT_EQ(data[c.copied - 1], samples[size_t(c.start + c.copied - 1)]);
            for (int64_t i = c.copied; i < c.length; ++i) ASSERT_EQ(data[i], 0.0f) << i;
        }
    }
}

// A sample array handed in by a caller may hold samples that are not numbers; in the window
// they are silence, with one error line, so that the features stay usable.
TEST(AudioWindow, SamplesThatAreNotFiniteNumbersBecomeSilence) {
    auto samples = counting(1000);
    samples[3] = std::numeric_limits<float>::quiet_NaN();
    samples[500] = std::numeric_limits<float>::infinity();
    samples[999] = -std::numeric_limits<float>::infinity();
    support::LogCapture log;
    const auto window = AudioProcessor::padOrTrimAudio(samples, 2, 2000);
    ASSERT_TRUE(window);
    const float* data = window->data<float>();
    EXPECT_EQ(data[0], 3.0f);
    EXPECT_EQ(data[1], 0.0f);
    EXPECT_EQ(data[498], 0.0f);
    EXPECT_EQ(data[997], 0.0f);
    EXPECT_EQ(data[996], 999.0f);
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(std::isfinite(data[i])) << i;
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "Samples 2 to 1000 hold 3 values that are not finite numbers; they are treated as silence"});
}

TEST(AudioWindow, StartOutsideTheArrayGivesNothing) {
    const auto samples = counting(1000);
    AudioProcessor processor;
    for (int64_t start : {int64_t(1000), int64_t(-1), int64_t(5000)}) {
        SCOPED_TRACE(start);
        support::LogCapture log;
        EXPECT_FALSE(AudioProcessor::padOrTrimAudio(samples, start, 480000));
        EXPECT_EQ(processor.padOrTrim(samples, start, 480000), nullptr);
        EXPECT_EQ(log.lines(), std::vector<std::string>(2, "startIndex is outside the buffer size"));
    }
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio({}, 0, 480000));
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio(samples, 0, 0));
    // The instance form gives the same window, as a multi-array value.
    auto value = processor.padOrTrim(samples, 10, 20);
    auto array = MultiArrayValue::arrayOf(value.get());
    ASSERT_TRUE(array);
    EXPECT_EQ(array->floatValues(), std::vector<float>(samples.begin() + 10, samples.begin() + 30));
}

TEST(AudioMeasures, EnergiesOfKnownSignals) {
    const std::vector<float> square{1, -1, 1, -1};
    EXPECT_FLOAT_EQ(AudioProcessor::calculateAverageEnergy(square), 1.0f);
    const auto energy = AudioProcessor::calculateEnergy({0.5f, -0.25f, 0.1f, -0.75f});
    EXPECT_FLOAT_EQ(energy.avg, float(std::sqrt((0.25 + 0.0625 + 0.01 + 0.5625) / 4)));
    EXPECT_FLOAT_EQ(energy.max, 0.75f);
    EXPECT_FLOAT_EQ(energy.min, 0.1f);
    EXPECT_EQ(AudioProcessor::calculateAverageEnergy({}), 0.0f);
}

TEST(AudioMeasures, RelativeEnergyRunsFromTheReferenceToFullScale) {
    struct Case {
        float level;  // the RMS of a square wave
        std::optional<float> reference;
        float expected;
    };
    for (Case c : {Case{0, std::nullopt, 0}, Case{1, std::nullopt, 1}, Case{0.0316228f, std::nullopt, 0.5f},
                   Case{0.001f, std::nullopt, 0}, Case{0.0001f, std::nullopt, 0}, Case{0.01f, 0.0001f, 0.5f},
                   // A reference of 0 is taken as 1e-8 (-160 dB).
                   Case{1e-4f, 0.0f, 0.5f}, Case{2.0f, std::nullopt, 1}}) {
        SCOPED_TRACE(c.level);
        const std::vector<float> square{c.level, -c.level, c.level, -c.level};
        EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(square, c.reference), c.expected, 1e-5f);
    }
}

TEST(AudioMeasures, VoiceActivityFramesStepByTheirLengthAndReachOverTheOverlap) {
    // Frame 0 covers samples 0…1999, frame 1 covers 1600…3599: a loud stretch at 1700…1999
    // reaches both; one at 3700 only frame 2.
    std::vector<float> samples(4800, 0.0f);
    for (size_t i = 1700; i < 2000; ++i) samples[i] = 1.0f;
    samples[3700] = 1.0f;
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(samples, 3, 1600, 400, 0.02f),
              (std::vector<bool>{true, true, true}));
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(samples, 3, 1600, 0, 0.02f),
              (std::vector<bool>{false, true, true}));
    // The threshold is strict.
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(std::vector<float>(1600, 0.5f), 1, 1600, 0, 0.5f),
              std::vector<bool>{false});
}

TEST(AudioMeasures, NonSilentChunksEndAtTheArraysEnd) {
    std::vector<float> samples(20000, 0.0f);
    for (size_t i = 16000; i < samples.size(); ++i) samples[i] = (i % 2 ? 0.5f : -0.5f);
    using Range = AudioProcessor::SampleRange;
    EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(samples), std::vector<Range>{Range(16000, 20000)});
    EXPECT_TRUE(AudioProcessor::calculateNonSilentChunks(std::vector<float>(32000, 0.0f)).empty());
}

TEST(AudioMeasures, VoiceDetectionLeavesOutTheNewestSecond) {
    // 20 values for 2 s of new audio: only the first 10 of them count.
    std::vector<float> energies(30, 0.0f);
    energies[15] = 0.9f;
    EXPECT_TRUE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.3f));
    energies[15] = 0.0f;
    energies[25] = 0.9f;
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.3f));
    // With fewer than 10 new values, all of them count.
    EXPECT_TRUE(AudioProcessor::isVoiceDetected(energies, 0.5f, 0.3f));
    // Older values never count; the threshold is strict.
    energies[25] = 0.0f;
    energies[0] = 0.9f;
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.3f));
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(std::vector<float>(20, 0.3f), 2.0f, 0.3f));
    EXPECT_FALSE(AudioProcessor::isVoiceDetected({}, 2.0f, 0.3f));
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(energies, -1.0f, 0.3f));
}

TEST(AudioMeasures, WaveformImageUsesEverySampleAsOnePixel) {
    const auto samples = counting(12);
    const auto image = AudioProcessor::createWaveformImage(samples, 4.9, 3.2);
    EXPECT_EQ(image.width, 4);
    EXPECT_EQ(image.height, 3);
    EXPECT_EQ(image.bytesPerRow, 16u);
    EXPECT_EQ(image.bitmapInfo, 8194u);
    ASSERT_EQ(image.pixels.size(), 48u);
    float last = 0;
    std::memcpy(&last, image.pixels.data() + 44, 4);
    EXPECT_EQ(last, 12.0f);
    // Fewer samples than pixels would be read past the array's end: refused.
    for (auto size : {std::pair{4.0, 4.0}, std::pair{0.0, 3.0}, std::pair{-2.0, 3.0}, std::pair{double(NAN), 1.0}}) {
        EXPECT_THROW(AudioProcessor::createWaveformImage(samples, size.first, size.second), WhisperError);
    }
}

AudioPCMBuffer monoBuffer(double rate, const std::vector<float>& samples) {
    AudioPCMBuffer buffer(AudioFormat{AudioCommonFormat::float32, rate, 1, false}, uint32_t(samples.size()));
    std::copy(samples.begin(), samples.end(), buffer.floatChannelData());
    buffer.setFrameLength(uint32_t(samples.size()));
    return buffer;
}

TEST(AudioConversion, OutputLengthIsTheScaledInputRoundedHalfToEven) {
    struct Case {
        double rate;
        uint32_t frames;
        uint32_t expected;
    };
    for (Case c :
         {Case{44100, 1000, 363}, Case{44100, 1323000, 480000}, Case{32000, 12345, 6172}, Case{32000, 12347, 6174},
          Case{96000, 3, 1}, Case{44100, 1, 1}, Case{8000, 5, 10}, Case{16000, 777, 777}}) {
        SCOPED_TRACE(c.frames);
        support::LogCapture log;
        const auto input = monoBuffer(c.rate, support::sine(100, 0.5, int(c.rate), c.frames));
        auto converter = AudioConverter::make(input.format(), AudioFormat{AudioCommonFormat::float32, 16000, 1, false});
        ASSERT_TRUE(converter);
        const auto output = AudioProcessor::resampleBuffer(input, *converter);
        ASSERT_TRUE(output);
        EXPECT_EQ(output->frameLength(), c.expected);
        EXPECT_LE(support::peak(std::vector<float>(output->floatChannelData(),
                                                   output->floatChannelData() + output->frameLength())),
                  0.52f);
        // Only a capacity that is not a whole number is rounded, and that is logged.
        const bool whole = 16000.0 * c.frames / c.rate == std::floor(16000.0 * c.frames / c.rate);
        EXPECT_EQ(log.lines().size(), whole ? 0u : 1u);
    }
    support::LogCapture log;
    const auto input = monoBuffer(44100, std::vector<float>(1000, 0.25f));
    auto converter = AudioConverter::make(input.format(), AudioFormat{AudioCommonFormat::float32, 16000, 1, false});
    AudioProcessor::resampleBuffer(input, *converter);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "Rounding buffer frame capacity from 362.81179138321994 to 363.0 to better fit new sample rate"});
}

TEST(AudioConversion, EveryConverterFailureIsAnError) {
    // A buffer the converter was not made for: the conversion fails, and says so.
    const auto input = monoBuffer(48000, std::vector<float>(480, 0.1f));
    auto converter = AudioConverter::make(AudioFormat{AudioCommonFormat::float32, 44100, 1, false},
                                          AudioFormat{AudioCommonFormat::float32, 16000, 1, false});
    ASSERT_TRUE(converter);
    try {
        AudioProcessor::resampleBuffer(input, *converter);
        FAIL() << "no error";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Kind::audioProcessingFailed);
        EXPECT_EQ(error.message().rfind("Error converting audio: ", 0), 0u) << error.message();
    }
    // The logging form gives nothing.
    EXPECT_EQ(AudioProcessor::resampleAudio(input, 0, 1), nullptr);
    EXPECT_EQ(AudioProcessor::resampleAudio(input, 16000, 0), nullptr);
    EXPECT_EQ(AudioConverter::make(AudioFormat{AudioCommonFormat::float32, 0, 1, false}, input.format()), nullptr);
}

TEST(AudioConversion, ConvertsBetweenLayoutsAndChannelCounts) {
    // Stereo 48 kHz integers to 16 kHz mono floats: the first channel is kept, with its tone
    // and level; the second is dropped, not mixed in.
    const auto tone = support::sine(500, 0.5, 48000, 4800);
    const auto other = support::sine(1500, 0.9, 48000, 4800);
    AudioPCMBuffer input(AudioFormat{AudioCommonFormat::int16, 48000, 2, true}, 4800);
    for (size_t i = 0; i < tone.size(); ++i) {
        input.int16ChannelData()[2 * i] = int16_t(std::lround(tone[i] * 32767));
        input.int16ChannelData()[2 * i + 1] = int16_t(std::lround(other[i] * 32767));
    }
    input.setFrameLength(4800);
    const auto output = AudioProcessor::resampleAudio(input, 16000, 1);
    ASSERT_TRUE(output);
    ASSERT_EQ(output->frameLength(), 1600u);
    const std::vector<float> samples(output->floatChannelData(), output->floatChannelData() + 1600);
    EXPECT_NEAR(support::toneFrequency(samples, 16000), 500.0, 0.5);
    EXPECT_NEAR(support::rms(samples, 100, 1400), 0.5 / std::sqrt(2.0), 0.01);
}

TEST(EnergyDetector, FramesAndConversions) {
    const EnergyVAD standard;
    EXPECT_EQ(standard.sampleRate(), 16000);
    EXPECT_EQ(standard.frameLengthSamples(), 1600);
    EXPECT_EQ(standard.frameOverlapSamples(), 0);
    EXPECT_EQ(standard.energyThreshold(), 0.02f);
    const EnergyVAD inSamples(8000, 400, 40, 0.1f);
    EXPECT_EQ(inSamples.frameLengthSamples(), 400);
    EXPECT_EQ(inSamples.frameOverlapSamples(), 40);
    // Seconds are turned into samples in single precision, cut toward zero.
    EXPECT_EQ(EnergyVAD(16000, 0.03f, 0.011f, 0.02f).frameLengthSamples(), 480);
    EXPECT_EQ(EnergyVAD(16000, 0.03f, 0.011f, 0.02f).frameOverlapSamples(), 176);

    EXPECT_EQ(standard.voiceActivity(std::vector<float>(16001, 0.0f)).size(), 11u);
    EXPECT_TRUE(standard.voiceActivity({}).empty());
    EXPECT_EQ(standard.voiceActivityIndexToAudioSampleIndex(7), 11200);
    EXPECT_FLOAT_EQ(standard.voiceActivityIndexToSeconds(5), 0.5f);
}

TEST(EnergyDetector, ActiveChunksAreRunsOfVoicedFrames) {
    // Voiced, voiced, unvoiced, voiced frames over 6000 samples.
    std::vector<float> samples(6000, 0.0f);
    for (size_t i = 0; i < 3200; ++i) samples[i] = 0.5f;
    for (size_t i = 4800; i < 6000; ++i) samples[i] = 0.5f;
    const EnergyVAD detector;
    EXPECT_EQ(detector.voiceActivity(samples), (std::vector<bool>{true, true, false, true}));
    using Range = std::pair<int64_t, int64_t>;
    EXPECT_EQ(detector.calculateActiveChunks(samples), (std::vector<Range>{{0, 3200}, {4800, 6000}}));
    EXPECT_EQ(detector.calculateNonSilentSeekClips(samples), (std::vector<Range>{{0, 3200}, {4800, 6000}}));
    EXPECT_EQ(detector.calculateSeekTimestamps(samples),
              (std::vector<std::pair<float, float>>{{0.0f, 0.2f}, {0.3f, 0.375f}}));
    EXPECT_EQ(detector.voiceActivityClipTimestamps(samples), (std::vector<float>{0.0f, 0.2f, 0.3f, 0.375f}));
    EXPECT_EQ(detector.voiceActivityAsync(samples), detector.voiceActivity(samples));
}

TEST(EnergyDetector, LongestSilenceIsTheFirstOfTheLongestRuns) {
    const EnergyVAD detector;
    using Range = std::pair<int64_t, int64_t>;
    struct Case {
        std::vector<bool> flags;
        std::optional<Range> expected;
    };
    const std::vector<Case> cases{
        {{true, false, false, true, false, false}, Range{1, 3}},
        {{true, false, true, false, false, false, true}, Range{3, 6}},
        {{true, true, true}, std::nullopt},
        {{false, false, false, false}, Range{0, 4}},
        {{}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detector.findLongestSilence(c.flags), c.expected);
    }
}

}  // namespace
