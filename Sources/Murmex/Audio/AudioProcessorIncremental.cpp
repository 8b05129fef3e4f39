#include "Murmex/Audio/AudioProcessor.h"

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "Murmex/Audio/AudioLog.h"
#include "Murmex/Audio/IncrementalLoadController.h"
#include "Murmex/Audio/TaskCancellation.h"
#include "Murmex/Audio/VADAudioChunker.h"
#include "Murmex/Model/WhisperError.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <stop_token>
#include <thread>

namespace murmex {

namespace {

using Stream = AudioProcessor::IncrementalChunkStream;

struct IncrementalLoad {
    std::string path;
    AudioProcessor::ChannelMode channelMode;
    double chunkDurationSeconds;
    int maxChunkLength;
    std::shared_ptr<VoiceActivityDetector> vad;
    Stream::Continuation continuation;
    std::shared_ptr<IncrementalLoadController> controller;

    void run(std::stop_token stop) {
        TaskCancellation::Scope scope(stop);
        try {
            produce();
            continuation.finish();
        } catch (const halvex::CancellationError&) {
            // The reading side has gone: the stream simply ends.
            continuation.finish();
        } catch (...) {
            const auto error = std::current_exception();
            audiolog::error("Error loading audio file incrementally: " + halvex::localizedDescription(error));
            continuation.finish(error);
        }
    }

    void produce() {
        AudioFile file(path);
        const double rate = file.fileFormat().sampleRate;
        const double duration = double(file.length()) / rate;
        // A piece shorter than one frame could never move the read time on.
        const double pieceSeconds = std::max(chunkDurationSeconds, 1.0 / rate);
        VADAudioChunker chunker(VADAudioChunker::standardWindowPadding, vad);
        TaskCancellation::checkCancellation();

        std::vector<float> buffer;      // audio read and not handed over yet
        std::int64_t bufferOffset = 0;  // the whole-file index of the buffer's first sample
        double readTime = 0;            // seconds read so far

        // Reads pieces until the buffer holds more than one chunk's worth or the file is read;
        // `atLeastOnePiece` reads one piece even when the buffer is already that full.
        auto fill = [&](bool atLeastOnePiece) {
            bool read = false;
            while ((buffer.size() <= std::size_t(std::max(maxChunkLength, 0)) || (atLeastOnePiece && !read)) &&
                   readTime < duration) {
                const double pieceEnd = std::min(duration, readTime + pieceSeconds);
                auto piece = AudioProcessor::loadAudio(file, channelMode, readTime, pieceEnd, std::nullopt);
                const auto samples = AudioProcessor::convertBufferToArray(*piece, AudioProcessor::copyChunkSize);
                piece.reset();
                buffer.insert(buffer.end(), samples.begin(), samples.end());
                readTime = pieceEnd;
                read = true;
            }
        };

        fill(false);
        for (;;) {
            if (buffer.empty()) return;
            auto chunks = chunker.chunkAll(buffer, maxChunkLength, std::nullopt);
            const bool readToEnd = readTime >= duration;
            // Until the file is read to its end, a chunk is handed over only when more than a
            // whole window from its start lies in the buffer, so that its cut was chosen at a
            // silence of a full window. A window that ends exactly at the buffer's end is not
            // enough: the chunker takes such a remainder whole, cutting it where the piece read
            // happened to end rather than at a silence.
            std::size_t ready = chunks.size();
            if (!readToEnd) {
                ready = 0;
                while (ready < chunks.size() &&
                       chunks[ready].seekOffsetIndex + maxChunkLength < std::int64_t(buffer.size())) {
                    ++ready;
                }
            }
            if (ready == 0) {
                if (readToEnd) return;
                TaskCancellation::checkCancellation();
                fill(true);
                continue;
            }

            std::int64_t handedOver = 0;
            for (std::size_t i = 0; i < ready; ++i) {
                TaskCancellation::checkCancellation();
                controller->requestChunkSlot();
                TaskCancellation::checkCancellation();
                const std::int64_t start = chunks[i].seekOffsetIndex;
                handedOver = start + std::int64_t(chunks[i].audioSamples.size());
                IncrementalFileChunk chunk{
                    AudioChunk{start + bufferOffset, std::move(chunks[i].audioSamples)},
                    [controller = controller, signalled = std::make_shared<std::atomic<bool>>(false)] {
                        if (!signalled->exchange(true)) controller->signalChunkConsumed();
                    }};
                continuation.yield(std::move(chunk));
            }
            if (readToEnd) return;

            buffer.erase(buffer.begin(), buffer.begin() + handedOver);
            bufferOffset += handedOver;
            TaskCancellation::checkCancellation();
            fill(false);
        }
    }
};

}  // namespace

AudioProcessor::IncrementalChunkStream AudioProcessor::loadFileIncrementally(
    const std::string& path, const ChannelMode& channelMode, double chunkDurationSeconds, int maxBufferedChunks,
    int maxChunkLength, std::shared_ptr<VoiceActivityDetector> vad) {
    if (!(std::isfinite(chunkDurationSeconds) && chunkDurationSeconds > 0)) {
        throw WhisperError::loadAudioFailed("Incremental chunk duration must be greater than 0");
    }
    if (maxBufferedChunks < 1) {
        throw WhisperError::loadAudioFailed("Incremental chunk buffer size must be greater than 0");
    }
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
        throw WhisperError::loadAudioFailed(WhisperErrorMessage::audioFileNotFound(path));
    }

    auto [stream, continuation] = Stream::makeStream();
    auto controller = std::make_shared<IncrementalLoadController>(maxBufferedChunks);
    std::stop_source stop;
    // However the stream ends, the loader stops and a loader waiting for a slot is released.
    continuation.setOnTermination([stop, controller]() mutable {
        stop.request_stop();
        controller->resumeWaitingProducers();
    });
    auto load = std::make_shared<IncrementalLoad>(IncrementalLoad{
        path, channelMode, chunkDurationSeconds, maxChunkLength, std::move(vad), continuation, controller});
    // The stream owns the loader's thread: when its last copy goes, the stream ends (which stops
    // the loader and releases a wait for a slot) and then the thread is joined, so no loader
    // outlives its stream.
    stream.retain(std::make_shared<std::jthread>([load, token = stop.get_token()] { load->run(token); }));
    return std::move(stream);
}

}  // namespace murmex
