// Text helpers, appending PCM buffers, and signpost intervals.

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "Murmex/Audio/AudioPCMBuffer.h"
#include "Murmex/Model/AsyncThrowingStream.h"
#include "Murmex/Model/LoggingCategories.h"
#include "Murmex/Model/StringExtensions.h"
#include "Support/LogCapture.h"

namespace murmex {
namespace {

TEST(DataModelStringExtensions, TrimmingAndNormalizing) {
    EXPECT_EQ(trimmingSpecialTokenCharacters("<|startoftranscript|>"), "startoftranscript");
    EXPECT_EQ(trimmingSpecialTokenCharacters("<|en|>"), "en");
    EXPECT_EQ(trimmingSpecialTokenCharacters("a<|>b"), "a<|>b");
    EXPECT_EQ(trimmingSpecialTokenCharacters("plain"), "plain");
    EXPECT_EQ(trimmingSpecialTokenCharacters("<||>"), "");

    EXPECT_EQ(normalized("  Hello-World!!  It's   fine. "), "hello world its fine");
    EXPECT_EQ(normalized("\u00BFQU\u00C9 TAL?\n"), "qu\u00E9 tal");
    EXPECT_EQ(normalized("\u300C\u65E5\u672C\u300D\u3002"), "\u65E5\u672C");
    // Symbols are not punctuation.
    EXPECT_EQ(normalized("$5 + 3"), "$5 + 3");
}

AudioPCMBuffer filledBuffer(AudioFormat format, std::uint32_t frames, float base) {
    AudioPCMBuffer buffer(format, frames);
    for (std::uint32_t area = 0; area < buffer.channelAreaCount(); ++area) {
        float* data = buffer.floatChannelData(area);
        for (std::uint32_t i = 0; i < frames * buffer.stride(); ++i)
            data[i] = base + 1000.0f * area + static_cast<float>(i);
    }
    buffer.setFrameLength(frames);
    return buffer;
}

TEST(DataModelAudioPCMBuffer, AppendContents) {
    const AudioFormat mono{AudioCommonFormat::float32, 16000, 1, false};
    const AudioPCMBuffer source = filledBuffer(mono, 1000, 0.0f);

    struct Case {
        const char* name;
        std::uint32_t capacity, existing;
        std::int64_t start;
        std::uint32_t count;
        bool succeeds;
        std::uint32_t appended;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"fits", 500, 0, 10, 100, true, 100, nullptr},
        {"too few source frames", 500, 0, 950, 100, false, 0, "Insufficient audio in buffer"},
        {"negative start", 500, 0, -5, 10, false, 0, "Insufficient audio in buffer"},
        {"room for 10 more", 100, 90, 0, 50, true, 10, "Insufficient space in buffer, reducing frame count to fit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AudioPCMBuffer target(mono, c.capacity);
        target.setFrameLength(c.existing);
        norvel::test::LogCapture capture;
        EXPECT_EQ(target.appendContents(source, c.start, c.count), c.succeeds);
        EXPECT_EQ(target.frameLength(), c.existing + c.appended);
        const std::vector<std::string> expectedLines =
            c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{};
        EXPECT_EQ(capture.lines(), expectedLines);
        for (std::uint32_t i = 0; i < c.appended; ++i) {
            ASSERT_EQ(target.floatChannelData()[c.existing + i], static_cast<float>(c.start + i));
        }
    }

    // Mismatched formats and buffers without float samples.
    AudioPCMBuffer stereoTarget({AudioCommonFormat::float32, 16000, 2, false}, 100);
    AudioPCMBuffer integers({AudioCommonFormat::int16, 16000, 1, false}, 100);
    integers.setFrameLength(100);
    AudioPCMBuffer integerTarget({AudioCommonFormat::int16, 16000, 1, false}, 100);
    norvel::test::LogCapture capture;
    EXPECT_FALSE(stereoTarget.appendContents(source, 0, 10));
    EXPECT_FALSE(integerTarget.appendContents(integers, 0, 10));
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Format mismatch", "Failed to access float channel data"}));
}

TEST(DataModelAudioPCMBuffer, AppendCopiesEveryChannel) {
    for (bool interleaved : {false, true}) {
        SCOPED_TRACE(interleaved ? "interleaved" : "planar");
        const AudioFormat stereo{AudioCommonFormat::float32, 44100, 2, interleaved};
        const AudioPCMBuffer source = filledBuffer(stereo, 20, 0.0f);
        AudioPCMBuffer target(stereo, 30);
        ASSERT_TRUE(target.appendContents(source, 5, 10));
        ASSERT_TRUE(target.appendContents(source, 0, 2));
        EXPECT_EQ(target.frameLength(), 12u);
        for (std::uint32_t area = 0; area < target.channelAreaCount(); ++area) {
            const float* data = target.floatChannelData(area);
            const float* from = source.floatChannelData(area);
            const std::uint32_t stride = target.stride();
            for (std::uint32_t i = 0; i < 10 * stride; ++i)
                ASSERT_EQ(data[i], from[5 * stride + i]) << area << ":" << i;
            for (std::uint32_t i = 0; i < 2 * stride; ++i)
                ASSERT_EQ(data[10 * stride + i], from[i]) << area << ":" << i;
        }
    }
}

struct RecordedEvent {
    SignpostEvent::Kind kind;
    std::string category, name, message;
    std::uint64_t identifier;
};

class SinkRecorder {
public:
    SinkRecorder() {
        Signposter::setTracingSink([this](const SignpostEvent& event) {
            std::lock_guard<std::mutex> guard(mutex_);
            events_.push_back({event.kind, std::string(event.category), std::string(event.name),
                               std::string(event.message), event.identifier});
            EXPECT_EQ(event.subsystem, "com.halvex.murmex");
        });
    }
    ~SinkRecorder() { Signposter::setTracingSink(nullptr); }
    std::vector<RecordedEvent> events() {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::vector<RecordedEvent> events_;
};

TEST(DataModelSignposts, IntervalsReachAnInstalledSinkOnly) {
    const Signposter& signposter = Logging::TranscribeTask::signposter();
    EXPECT_EQ(signposter.category(), "TranscribeTask");
    EXPECT_EQ(Logging::AudioEncoding::logger().category(), "AudioEncoding");
    EXPECT_EQ(Logging::FeatureExtractor::signposter().subsystem(), "com.halvex.murmex");

    // Without a sink nothing is emitted, and the interval state stays open.
    EXPECT_FALSE(signposter.isEnabled());
    auto silent = Logging::beginSignpost("TranscribeAudio", signposter);
    Logging::endSignpost("TranscribeAudio", silent, signposter);
    EXPECT_TRUE(silent.isOpen());

    SinkRecorder recorder;
    try {
        SignpostInterval interval(signposter, "TranscribeAudio");
        throw std::runtime_error("leaving early");
    } catch (const std::runtime_error&) {}
    auto state = Logging::beginSignpost("Decode", Logging::FeatureExtractor::signposter());
    Logging::endSignpost("Decode", state, Logging::FeatureExtractor::signposter());
    Logging::endSignpost("Decode", state, Logging::FeatureExtractor::signposter());

    const auto events = recorder.events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].kind, SignpostEvent::Kind::intervalBegin);
    EXPECT_EQ(events[1].kind, SignpostEvent::Kind::intervalEnd);
    EXPECT_EQ(events[0].identifier, events[1].identifier);
    EXPECT_EQ(events[1].name, "TranscribeAudio");
    EXPECT_EQ(events[1].message, "");
    EXPECT_EQ(events[2].category, "FeatureExtractor");
    EXPECT_NE(events[2].identifier, events[0].identifier);
    EXPECT_EQ(events[3].message, "");
    EXPECT_EQ(events[4].message, "[Error] Interval already ended");
}

}  // namespace
}  // namespace murmex

namespace murmex {
namespace {

TEST(DataModelAsyncThrowingStream, ValuesThenEndOrError) {
    using Stream = AsyncThrowingStream<std::vector<float>>;
    {
        auto [stream, continuation] = Stream::makeStream();
        int terminations = 0;
        continuation.setOnTermination([&] { ++terminations; });
        std::thread producer([continuation = continuation] {
            for (int i = 0; i < 50; ++i) continuation.yield(std::vector<float>(3, static_cast<float>(i)));
            continuation.finish(std::make_exception_ptr(std::runtime_error("device lost")));
        });
        int received = 0;
        try {
            while (auto samples = stream.next()) {
                ASSERT_EQ(samples->at(0), static_cast<float>(received));
                ++received;
            }
            ADD_FAILURE() << "the error did not reach the reader";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "device lost");
        }
        producer.join();
        EXPECT_EQ(received, 50);
        EXPECT_EQ(terminations, 1);
        EXPECT_FALSE(stream.next());  // the error is reported once
        EXPECT_FALSE(continuation.yield({1.0f}));
    }
    {
        // The reader ends the stream: the producer's handler runs once and later values are refused.
        auto [stream, continuation] = Stream::makeStream();
        int terminations = 0;
        continuation.setOnTermination([&] { ++terminations; });
        continuation.yield({1.0f});
        stream.cancel();
        continuation.finish();
        EXPECT_EQ(terminations, 1);
        EXPECT_FALSE(continuation.yield({2.0f}));
        EXPECT_FALSE(stream.next());
    }
}

}  // namespace
}  // namespace murmex
