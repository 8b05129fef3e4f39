#include "AudioTestSupport.h"

#include "Murmex/Audio/AudioFile.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Audio/EnergyVAD.h"
#include "Murmex/Audio/IncrementalLoadController.h"
#include "Murmex/Audio/VADAudioChunker.h"
#include "Murmex/Model/WhisperError.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using murmex::AudioChunk;
using murmex::AudioFileError;
using murmex::AudioProcessor;
using murmex::EnergyVAD;
using murmex::IncrementalFileChunk;
using murmex::IncrementalLoadController;
using murmex::VADAudioChunker;
using murmex::WhisperError;
using norvel::test::TemporaryDirectory;
namespace support = murmex::test;
using namespace std::chrono_literals;

constexpr int kWindow = 480000;

// `seconds` of loud tone at `rate` with the given stretches (seconds) silent.
std::vector<float> speechWithSilences(int rate, double seconds,
                                      const std::vector<std::pair<double, double>>& silences) {
    std::vector<float> samples(static_cast<size_t>(std::llround(seconds * rate)));
    for (size_t i = 0; i < samples.size(); ++i) {
        const double t = double(i) / rate;
        samples[i] = float(0.25 * std::sin(2 * M_PI * 310 * t) + 0.15 * std::sin(2 * M_PI * 45 * t));
    }
    for (const auto& [from, to] : silences) {
        const auto last = std::min(samples.size(), static_cast<size_t>(std::llround(to * rate)));
        for (auto i = static_cast<size_t>(std::llround(from * rate)); i < last; ++i) samples[i] = 0.0f;
    }
    return samples;
}

// Waits up to five seconds for the condition.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Reads the stream on a thread of its own, keeping every chunk, so that a test can look at what
// has arrived without waiting for the next one.
class Reader {
public:
    explicit Reader(AudioProcessor::IncrementalChunkStream stream)
        : stream_(std::move(stream)), thread_([this] { read(); }) {}
    ~Reader() {
        stream_.cancel();
        thread_.join();
    }

    size_t count() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return chunks_.size();
    }
    IncrementalFileChunk chunk(size_t index) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return chunks_.at(index);
    }
    bool ended() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return ended_;
    }
    void cancel() { stream_.cancel(); }

private:
    void read() {
        try {
            while (auto chunk = stream_.next()) {
                std::lock_guard<std::mutex> guard(mutex_);
                chunks_.push_back(std::move(*chunk));
            }
        } catch (...) {}
        std::lock_guard<std::mutex> guard(mutex_);
        ended_ = true;
    }

    AudioProcessor::IncrementalChunkStream stream_;
    mutable std::mutex mutex_;
    std::vector<IncrementalFileChunk> chunks_;
    bool ended_ = false;
    std::thread thread_;
};

// Every chunk of the stream, each signalled complete as soon as it has arrived.
std::vector<AudioChunk> readAll(AudioProcessor::IncrementalChunkStream& stream) {
    std::vector<AudioChunk> chunks;
    while (auto chunk = stream.next()) {
        chunks.push_back(chunk->audioChunk);
        chunk->completionSignal();
    }
    return chunks;
}

TEST(AudioIncrementalLoading, GivesTheWholeFileLoadsSamplesCutAtItsSilences) {
    TemporaryDirectory directory;
    const std::vector<std::pair<double, double>> silences{{21.0, 22.0}, {40.0, 40.5}, {47.0, 48.2}, {79.0, 80.0}};
    struct Case {
        int rate;
        int channels;
        double seconds;
        double pieceSeconds;
        std::vector<std::pair<double, double>> silences;
    };
    const std::vector<Case> cases{
        {16000, 1, 100.3, 7, silences},
        {16000, 1, 100.3, 45, silences},
        // One piece holds the whole file.
        {16000, 1, 100.3, 500, silences},
        // Resampled piece by piece, the pieces join without a seam: the very same samples.
        {44100, 2, 85, 13, silences},
        // No pause in the second half of the first three windows: they are cut at 30, 60 and
        // 90 s, and the fourth window, from 90 s, ends exactly where the first 120-s piece
        // ends. Its cut belongs at the pause at 110 s, not at the end of the piece.
        {16000, 1, 130, 120, {{110.0, 111.0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, pieces of " + std::to_string(c.pieceSeconds) + " s");
        const auto path = directory / ("long" + std::to_string(c.rate) + ".wav");
        const auto signal = speechWithSilences(c.rate, c.seconds, c.silences);
        support::writeFloatWav(path, std::vector<std::vector<float>>(size_t(c.channels), signal), c.rate);

        const auto whole = AudioProcessor::loadAudioAsFloatArray(path.string());
        const auto expected = VADAudioChunker().chunkAll(whole, kWindow, std::nullopt);
        ASSERT_GT(expected.size(), 2u);

        auto stream = AudioProcessor::loadFileIncrementally(path.string(), AudioProcessor::ChannelMode::sumChannels(),
                                                            c.pieceSeconds, 2, kWindow, std::make_shared<EnergyVAD>());
        const auto chunks = readAll(stream);
        ASSERT_EQ(chunks.size(), expected.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(chunks[i].seekOffsetIndex, expected[i].seekOffsetIndex);
            ASSERT_EQ(chunks[i].audioSamples.size(), expected[i].audioSamples.size());
            if (i > 0) {
                EXPECT_EQ(chunks[i].seekOffsetIndex,
                          chunks[i - 1].seekOffsetIndex + int64_t(chunks[i - 1].audioSamples.size()));
            }
            EXPECT_TRUE(std::equal(chunks[i].audioSamples.begin(), chunks[i].audioSamples.end(),
                                   whole.begin() + chunks[i].seekOffsetIndex))
                << "the chunk's samples differ from the whole-file load";
        }
        // Only the stretch within 1 s after the last cut is left out.
        const auto covered = chunks.back().seekOffsetIndex + int64_t(chunks.back().audioSamples.size());
        EXPECT_LE(int64_t(whole.size()) - covered, 16000);
    }
}

TEST(AudioIncrementalLoading, ShortAndEmptyFiles) {
    TemporaryDirectory directory;
    struct Case {
        const char* name;
        size_t samples;
        size_t chunks;
    };
    const std::vector<Case> cases{
        {"shorter than a window", 200000, 1},
        // 1001 / 16000 s times 16000 falls a hair short of 1001: the last sample is still read.
        {"a length the duration does not give back exactly", 1001, 1},
        {"no frames", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = directory / "short.wav";
        const auto signal = speechWithSilences(16000, double(c.samples) / 16000, {});
        ASSERT_EQ(signal.size(), c.samples);
        support::writeFloatWav(path, {signal}, 16000);
        EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path.string()), signal);
        auto stream = AudioProcessor::loadFileIncrementally(path.string(), AudioProcessor::ChannelMode::sumChannels(),
                                                            120, 2, kWindow);
        const auto chunks = readAll(stream);
        ASSERT_EQ(chunks.size(), c.chunks);
        if (c.chunks == 1) {
            EXPECT_EQ(chunks[0].seekOffsetIndex, 0);
            EXPECT_EQ(chunks[0].audioSamples, signal);
        }
    }
}

TEST(AudioIncrementalLoading, UnusableArgumentsAndMissingFilesFailBeforeAnythingStarts) {
    TemporaryDirectory directory;
    const auto path = directory / "a.wav";
    support::writeFloatWav(path, {speechWithSilences(16000, 1, {})}, 16000);
    const auto missing = (directory / "missing.wav").string();
    const std::string duration = "Incremental chunk duration must be greater than 0";
    const std::string slots = "Incremental chunk buffer size must be greater than 0";
    struct Case {
        double pieceSeconds;
        int maxBufferedChunks;
        std::string path;
        std::string message;
    };
    const std::vector<Case> cases{
        {0, 2, path.string(), duration},
        {-1, 2, path.string(), duration},
        {std::numeric_limits<double>::infinity(), 2, path.string(), duration},
        {std::numeric_limits<double>::quiet_NaN(), 2, path.string(), duration},
        {120, 0, path.string(), slots},
        {120, -3, path.string(), slots},
        {120, 2, missing, "Audio file not found at path: " + missing},
        // The duration is checked first, then the slots, then the path.
        {0, 0, missing, duration},
        {120, 0, missing, slots},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        try {
            AudioProcessor::loadFileIncrementally(c.path, AudioProcessor::ChannelMode::sumChannels(), c.pieceSeconds,
                                                  c.maxBufferedChunks, kWindow);
            ADD_FAILURE() << "no error";
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.kind(), WhisperError::Kind::loadAudioFailed);
            EXPECT_EQ(error.message(), c.message);
        }
    }
}

TEST(AudioIncrementalLoading, UnreadableFileEndsTheStreamWithItsError) {
    TemporaryDirectory directory;
    const auto path = directory / "notes.wav";
    support::writeText(path, "these are not audio samples");
    support::LogCapture log;
    auto stream = AudioProcessor::loadFileIncrementally(path.string(), AudioProcessor::ChannelMode::sumChannels(), 120,
                                                        2, kWindow);
    try {
        while (stream.next()) ADD_FAILURE() << "a chunk of a file without audio";
        ADD_FAILURE() << "the stream ended without the error";
    } catch (const AudioFileError& error) {
        EXPECT_TRUE(log.hasLine(std::string("Error loading audio file incrementally: ") + error.what()));
    }
}

// A long file whose silences give chunks of about 10 s, so that many chunks wait in line.
std::filesystem::path manyChunksFile(const TemporaryDirectory& directory) {
    std::vector<std::pair<double, double>> silences;
    for (double t = 10; t < 120; t += 10) silences.emplace_back(t, t + 0.5);
    const auto path = directory / "many.wav";
    support::writeFloatWav(path, {speechWithSilences(16000, 120, silences)}, 16000);
    return path;
}

TEST(AudioIncrementalLoading, NoMoreChunksThanSlotsAreHandedOverUncompleted) {
    TemporaryDirectory directory;
    const auto path = manyChunksFile(directory);
    auto vad = std::make_shared<EnergyVAD>();
    std::weak_ptr<EnergyVAD> loaderAlive = vad;
    {
        Reader reader(AudioProcessor::loadFileIncrementally(path.string(), AudioProcessor::ChannelMode::sumChannels(),
                                                            5, 2, 160000, std::move(vad)));
        ASSERT_TRUE(eventually([&] { return reader.count() == 2; }));
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(reader.count(), 2u) << "the loader did not wait for a free slot";

        // Signalling one chunk twice frees one slot only.
        reader.chunk(0).completionSignal();
        reader.chunk(0).completionSignal();
        ASSERT_TRUE(eventually([&] { return reader.count() == 3; }));
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(reader.count(), 3u);
        reader.chunk(1).completionSignal();
        ASSERT_TRUE(eventually([&] { return reader.count() == 4; }));

        // The reader leaves while the loader waits for a slot: the loader is released and stops,
        // and the stream ends without an error.
        reader.cancel();
        ASSERT_TRUE(eventually([&] { return reader.ended(); }));
        EXPECT_TRUE(eventually([&] { return loaderAlive.expired(); })) << "the loader is still running";
        EXPECT_EQ(reader.count(), 4u);
        for (size_t i = 1; i < reader.count(); ++i) {
            EXPECT_GT(reader.chunk(i).audioChunk.seekOffsetIndex, reader.chunk(i - 1).audioChunk.seekOffsetIndex);
        }
    }
}

TEST(AudioIncrementalLoading, DroppingTheStreamStopsTheLoader) {
    TemporaryDirectory directory;
    const auto path = manyChunksFile(directory);
    auto vad = std::make_shared<EnergyVAD>();
    std::weak_ptr<EnergyVAD> loaderAlive = vad;
    std::optional<IncrementalFileChunk> first;
    {
        auto stream = AudioProcessor::loadFileIncrementally(path.string(), AudioProcessor::ChannelMode::sumChannels(),
                                                            5, 1, 160000, std::move(vad));
        first = stream.next();
        ASSERT_TRUE(first);
    }
    // The stream's last copy joins the loader's thread as it goes.
    EXPECT_TRUE(loaderAlive.expired()) << "the loader outlives its stream";
    // A signal that arrives after the end is harmless.
    first->completionSignal();
}

TEST(AudioIncrementalController, SlotsAreTakenGivenBackAndReleasedOnTermination) {
    IncrementalLoadController controller(2);
    controller.requestChunkSlot();
    controller.requestChunkSlot();
    EXPECT_EQ(controller.activeChunks(), 2);

    // A third request waits until a slot is given back, and then holds that slot.
    std::atomic<int> granted{0};
    std::thread third([&] {
        controller.requestChunkSlot();
        ++granted;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(granted.load(), 0);
    controller.signalChunkConsumed();
    third.join();
    EXPECT_EQ(granted.load(), 1);
    EXPECT_EQ(controller.activeChunks(), 2);

    // More signals than slots in use never make the count negative.
    for (int i = 0; i < 4; ++i) controller.signalChunkConsumed();
    EXPECT_EQ(controller.activeChunks(), 0);
    controller.requestChunkSlot();
    controller.requestChunkSlot();
    EXPECT_EQ(controller.activeChunks(), 2);

    // Termination releases a waiting request without a slot, and later requests do not wait.
    std::thread waiting([&] { controller.requestChunkSlot(); });
    std::this_thread::sleep_for(50ms);
    controller.resumeWaitingProducers();
    waiting.join();
    EXPECT_TRUE(controller.isTerminated());
    EXPECT_EQ(controller.activeChunks(), 2);
    controller.requestChunkSlot();
    EXPECT_EQ(controller.activeChunks(), 2);
}

}  // namespace
