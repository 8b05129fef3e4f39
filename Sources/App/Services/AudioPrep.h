#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <stop_token>
#include <vector>
#include "Murmex/Pipeline/Murmex.h"

namespace norvel {

// A prepared temporary WAV file and its length. Whoever receives it owns the file.
struct PreparedAudio {
    QString url;          // path of the WAV file
    double duration = 0;  // seconds, from the number of PCM bytes written
};

// Turns any audio or video file into a temporary 16 kHz mono 16-bit PCM WAV file, mixing every
// audio track of the input into the one channel.
struct AudioPrep {
    using Progress = std::function<void(double fraction)>;

    // Decodes `input` into "Norvel-<UUID>.wav" in `temporaryFolder` (the process's own
    // temporary folder, AppPaths::temporaryFolder(), when empty), streaming: constant memory for any length. `progress`
    // gets the fraction of the input's duration written so far (0 to 1, never decreasing), on the calling thread, once
    // per written buffer; none when the duration is unknown. A stop request is looked at once per packet and ends the
    // work with halvex::CancellationError. Every other failure is a NorvelError (unsupported, noAudio, diskFull, …); no
    // temporary file is left behind after a failure.
    static PreparedAudio prepare(const QString& input, const Progress& progress, std::stop_token stop = {},
                                 const QString& temporaryFolder = {});

    // The 44-byte WAV header for `dataBytes` bytes of 16 kHz mono 16-bit PCM.
    static QByteArray wavHeader(std::uint32_t dataBytes);
    // The data size a header can hold for `bytes` PCM bytes: at most 4294967231.
    static std::uint32_t cappedDataSize(std::uint64_t bytes);

    // Sums the 16 kHz mono signal of every track on one timeline and hands out, as 16-bit
    // PCM, the part that no track will add to any more. The timeline is held in blocks of
    // `blockSamples`, only where some track has put samples: a track that starts late, or a
    // gap between tracks, costs no memory, and is handed out as silence, a block at a time.
    class Mixer {
    public:
        using Sink = std::function<void(const std::int16_t* pcm, std::size_t count)>;
        static constexpr std::int64_t blockSamples = 16384;

        // Adds samples that begin at absolute sample `at`; samples before the part already
        // handed out are dropped.
        void add(std::int64_t at, const float* samples, std::size_t count);
        // Hands the samples before `limit` to `sink` in pieces of at most `blockSamples`,
        // clamped to 16 bits, silence where nothing was added; returns how many. They leave
        // the mixer.
        std::size_t take(std::int64_t limit, const Sink& sink);

        // The first sample not yet handed out.
        std::int64_t base() const { return base_; }
        // One past the last sample added (at least `base()`).
        std::int64_t end() const { return std::max(base_, end_); }
        // Samples of storage the mixer holds now.
        std::size_t heldSamples() const;

    private:
        std::int64_t base_ = 0;
        std::int64_t end_ = 0;
        std::map<std::int64_t, std::vector<float>> blocks_;
        std::vector<std::int16_t> pcm_;
    };

    static constexpr int sampleRate = murmex::Murmex::sampleRate;
    static constexpr int bytesPerSecond = sampleRate * 2;  // 16-bit mono
};

}  // namespace norvel
