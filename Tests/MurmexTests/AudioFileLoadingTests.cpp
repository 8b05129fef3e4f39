#include "AudioTestSupport.h"
#include "Support/Fixtures.h"

#include "Murmex/Audio/AudioFile.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Model/WhisperError.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <optional>
#include <vector>

namespace {

using murmex::AudioFile;
using murmex::AudioFileError;
using murmex::AudioProcessor;
using murmex::WhisperError;
using ChannelMode = murmex::AudioProcessor::ChannelMode;
using norvel::test::fixture;
using norvel::test::TemporaryDirectory;
namespace support = murmex::test;

// The speech clip: 11.0 s at 44.1 kHz, which is 176000 samples at 16 kHz.
constexpr size_t kClipSamples = 176000;

class ClipFormats : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory_ = new TemporaryDirectory();
        const std::string clip = fixture("audio/jfk.flac").string();
        reference_ = new std::vector<float>(AudioProcessor::loadAudioAsFloatArray(clip));
        auto in = [](const std::string& name) { return (directory_->path() / name).string(); };
        const std::vector<std::vector<std::string>> encodings{
            {"-i", clip, in("clip.mp3")},
            {"-i", clip, in("clip.m4a")},
            {"-i", clip, in("clip.aac")},
            {"-i", clip, in("clip.wav")},
            {"-i", clip, in("clip.mp4")},
            {"-i", clip, in("clip.mov")},
            {"-i", clip, in("clip.m4v")},
            // A video file: a picture track first, the speech as its audio track.
            {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10:duration=11", "-i", clip, "-map", "0:v", "-map", "1:a",
             "-c:v", "mpeg4", in("video.mp4")},
        };
        for (const auto& arguments : encodings) {
            ASSERT_TRUE(support::runFfmpeg(arguments)) << arguments.back();
        }
    }
    static void TearDownTestSuite() {
        delete reference_;
        delete directory_;
    }

    static inline TemporaryDirectory* directory_ = nullptr;
    static inline std::vector<float>* reference_ = nullptr;
};

TEST_F(ClipFormats, EveryContainerLoadsTheClipAtItsExactLength) {
    ASSERT_EQ(reference_->size(), kClipSamples);
    for (const char* name : {"clip.mp3", "clip.m4a", "clip.wav", "clip.mp4", "clip.mov", "clip.m4v", "video.mp4"}) {
        SCOPED_TRACE(name);
        auto samples = AudioProcessor::loadAudioAsFloatArray((directory_->path() / name).string());
        EXPECT_NEAR(double(samples.size()), double(kClipSamples), 1.0);
        // The same speech at the same place: lossy codecs change the samples, not their shape
        // or position.
        EXPECT_GT(support::correlation(samples, *reference_), 0.95);
        EXPECT_NEAR(support::rms(samples), support::rms(*reference_), 0.05 * support::rms(*reference_));
    }
}

// A raw AAC stream states neither the encoder's priming frames nor its end padding, so it
// decodes longer than the clip (by at most three 1024-frame packets at 44.1 kHz); the speech
// is all there, moved later by the priming.
TEST_F(ClipFormats, RawAacStreamKeepsItsUnmarkedPrimingAndPadding) {
    auto samples = AudioProcessor::loadAudioAsFloatArray((directory_->path() / "clip.aac").string());
    EXPECT_GE(samples.size(), kClipSamples);
    EXPECT_LE(samples.size(), kClipSamples + 3 * 1024 * 16000 / 44100 + 1);
    const size_t priming = 1024 * 16000 / 44100;  // 371 samples
    std::vector<float> aligned(samples.begin() + long(priming), samples.begin() + long(priming + kClipSamples - 400));
    EXPECT_GT(support::correlation(aligned, *reference_), 0.95);
}

TEST(AudioFileLoading, EachRangeLogsItsSourceAndResult) {
    support::LogCapture log;
    auto buffer = AudioProcessor::loadAudio(fixture("audio/jfk.flac").string());
    ASSERT_EQ(buffer->frameLength(), kClipSamples);
    const auto lines = log.lines();
    const std::vector<std::string> expected{
        "Resampling 11.00 seconds of audio",
        "Resampling 0.00s - 11.00s",
        "Audio source details - Sample Rate: 44100.0 Hz, Channel Count: 2, Frame Length: 485100, Duration: 11.0s",
        "Audio buffer details - Sample Rate: 16000.0 Hz, Channel Count: 1, Frame Length: 176000, Duration: 11.0s",
    };
    ASSERT_EQ(lines.size(), expected.size() + 1);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), lines.begin()));
    EXPECT_EQ(lines.back().rfind("After loadAudio function - Memory usage: ", 0), 0u) << lines.back();
}

TEST(AudioFileLoading, ReadPositionsAreSampleExactInBothDirections) {
    TemporaryDirectory directory;
    const std::string clip = fixture("audio/jfk.flac").string();
    ASSERT_TRUE(support::runFfmpeg({"-i", clip, (directory / "clip.mp3").string()}));
    for (const std::string& path : {clip, (directory / "clip.mp3").string()}) {
        SCOPED_TRACE(path);
        AudioFile whole(path);
        murmex::AudioPCMBuffer all(whole.processingFormat(), uint32_t(whole.length()));
        whole.read(all, uint32_t(whole.length()));
        ASSERT_EQ(all.frameLength(), uint32_t(whole.length()));

        AudioFile file(path);
        murmex::AudioPCMBuffer part(file.processingFormat(), 4096);
        for (int64_t position : {int64_t(300000), int64_t(1000), int64_t(1000), int64_t(484000), int64_t(5)}) {
            SCOPED_TRACE(position);
            file.setFramePosition(position);
            ASSERT_EQ(file.framePosition(), position);
            // A look ahead leaves the position where it is.
            murmex::AudioPCMBuffer ahead(file.processingFormat(), 64);
            ASSERT_EQ(file.peek(ahead, 64), 64u);
            ASSERT_EQ(file.framePosition(), position);
            file.read(part, 4096);
            const auto expected = uint32_t(std::min<int64_t>(4096, whole.length() - position));
            ASSERT_EQ(part.frameLength(), expected);
            for (uint32_t c = 0; c < 2; ++c) {
                for (uint32_t i = 0; i < expected; ++i) {
                    ASSERT_EQ(part.floatChannelData(c)[i], all.floatChannelData(c)[position + i]) << c << " " << i;
                }
                for (uint32_t i = 0; i < 64; ++i)
                    ASSERT_EQ(ahead.floatChannelData(c)[i], all.floatChannelData(c)[position + i]);
            }
            // What precedes the position after a read is the end of that read.
            murmex::AudioPCMBuffer before(file.processingFormat(), 100);
            ASSERT_EQ(file.copyPrecedingFrames(before, 100), 100u);
            EXPECT_EQ(before.floatChannelData(1)[99], all.floatChannelData(1)[position + expected - 1]);
        }
        // Beyond the end nothing is read.
        file.setFramePosition(whole.length() + 10);
        file.read(part, 4096);
        EXPECT_EQ(part.frameLength(), 0u);
        EXPECT_EQ(file.precedingFrames(), 0u);
    }
}

TEST(AudioFileLoading, SixteenKilohertzMonoIsReadAsItIs) {
    TemporaryDirectory directory;
    std::vector<float> samples(16000 * 3);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = float(std::sin(double(i) * 0.37) * 0.8);
    const auto path = directory / "mono16k.wav";
    support::writeFloatWav(path, {samples}, 16000);
    // Neither mixing nor resampling: a channel choice that names no existing channel plays no part.
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path.string(), ChannelMode::specificChannel(3)), samples);
    auto buffer = AudioProcessor::loadAudio(path.string(), ChannelMode::sumChannels(), 1.0, 2.0, 5);
    ASSERT_TRUE(buffer);
    ASSERT_EQ(buffer->frameLength(), 16000u);
    EXPECT_EQ(buffer->floatChannelData()[0], samples[16000]);
    EXPECT_EQ(buffer->floatChannelData()[15999], samples[31999]);
}

TEST(AudioFileLoading, ToneKeepsItsFrequencyAndLevelThroughResampling) {
    TemporaryDirectory directory;
    struct Case {
        int rate;
        int channels;
    };
    for (Case c : {Case{44100, 2}, Case{48000, 1}, Case{22050, 2}, Case{8000, 1}, Case{96000, 6}}) {
        SCOPED_TRACE(c.rate);
        const auto path = directory / ("tone" + std::to_string(c.rate) + ".wav");
        auto tone = support::sine(440, 0.5, c.rate, c.rate * 2);
        support::writePcm16Wav(path, std::vector<std::vector<float>>(size_t(c.channels), tone), c.rate);
        auto samples = AudioProcessor::loadAudioAsFloatArray(path.string());
        EXPECT_EQ(samples.size(), 32000u);
        EXPECT_NEAR(support::toneFrequency(samples, 16000), 440.0, 0.5);
        EXPECT_NEAR(support::rms(samples, 1000, 30000), 0.5 / std::sqrt(2.0), 0.005);
        // Aligned in time with the source: sample i at 16 kHz is the tone at i / 16000 s.
        EXPECT_LT(support::largestSineError(samples, 440, 0.5, 16000, 100, 31800), 0.01);
    }
}

TEST(AudioFileLoading, TimeRangesAreCutFromTheFile) {
    TemporaryDirectory directory;
    const auto path = directory / "ramp.wav";
    // 4 s at 16 kHz stereo: the resampling path, with a 16 kHz target that keeps every value.
    std::vector<float> ramp(64000);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i) / 64000.0f;
    support::writeFloatWav(path, {ramp, std::vector<float>(ramp.size(), 0.0f)}, 16000);
    struct Case {
        std::optional<double> start, end;
        size_t first, count;
    };
    for (Case c : {Case{std::nullopt, std::nullopt, 0, 64000}, Case{1.5, std::nullopt, 24000, 40000},
                   Case{0.5, 1.0, 8000, 8000}, Case{3.0, 99.0, 48000, 16000}}) {
        SCOPED_TRACE(c.first);
        auto samples =
            AudioProcessor::loadAudioAsFloatArray(path.string(), ChannelMode::specificChannel(0), c.start, c.end);
        ASSERT_EQ(samples.size(), c.count);
        EXPECT_FLOAT_EQ(samples.front(), ramp[c.first]);
        EXPECT_FLOAT_EQ(samples.back(), ramp[c.first + c.count - 1]);
    }
}

// Long files, read 1323000 frames at a time and whole files in 600-s pieces: no click, gap or
// overlap where reads and pieces meet, and the exact length.
TEST(AudioFileLoading, LongFilesJoinTheirReadsAndPiecesWithoutASeam) {
    TemporaryDirectory directory;
    struct Case {
        int rate;
        int channels;
        int seconds;
        std::vector<size_t> seams;  // in 16 kHz samples
    };
    const std::vector<Case> cases{
        // Reads of 1323000 frames at 8 kHz end every 2646000 samples; the first piece at 600 s.
        {8000, 1, 615, {2646000, 5292000, 7938000, 9600000}},
        // At 44.1 kHz a read is 30 s: 480000 samples.
        {44100, 2, 65, {480000, 960000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        const auto path = directory / ("long" + std::to_string(c.rate) + ".wav");
        auto tone = support::sine(300, 0.6, c.rate, int64_t(c.rate) * c.seconds);
        support::writePcm16Wav(path, std::vector<std::vector<float>>(size_t(c.channels), tone), c.rate);
        tone = {};
        auto samples = AudioProcessor::loadAudioAsFloatArray(path.string());
        ASSERT_EQ(samples.size(), size_t(16000) * size_t(c.seconds));
        for (size_t seam : c.seams) {
            SCOPED_TRACE(seam);
            EXPECT_LT(support::largestSineError(samples, 300, 0.6, 16000, seam - 400, 800), 0.002);
        }
        EXPECT_NEAR(support::toneFrequency(samples, 16000), 300.0, 0.01);
    }
}

// A range of a frame or two at a rate above 16 kHz scales to less than one output frame; the
// conversion still gives one, and the load keeps it: the last piece of a file just longer than
// a piece, a start time just before the end, a file of a single frame.
TEST(AudioFileLoading, TheLastFewFramesOfAFileAreLoaded) {
    TemporaryDirectory directory;
    struct Case {
        const char* name;
        int rate;
        int64_t frames;
        std::optional<double> start;
        size_t expected;  // 16 kHz samples
    };
    const std::vector<Case> cases{
        {"one frame", 44100, 1, std::nullopt, 1},
        {"two frames", 44100, 2, std::nullopt, 1},
        {"one frame after the start", 44100, 44101, 1.0, 1},
        {"two frames after the start", 44100, 44102, 1.0, 1},
        {"three frames after the start", 44100, 44103, 1.0, 1},
        // A whole-file load: a piece of 600 s, then a piece of one frame.
        {"one frame past a piece", 22050, 22050 * 600 + 1, std::nullopt, 9600001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = directory / "short.wav";
        support::writePcm16Wav(path, {std::vector<float>(size_t(c.frames), 0.5f)}, c.rate);
        std::vector<float> samples;
        ASSERT_NO_THROW(samples = AudioProcessor::loadAudioAsFloatArray(path.string(), ChannelMode::sumChannels(),
                                                                        c.start, std::nullopt));
        ASSERT_EQ(samples.size(), c.expected);
        EXPECT_NEAR(samples.back(), 0.5f, 0.05f);
    }
}

}  // namespace
