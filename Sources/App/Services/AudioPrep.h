#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <stop_token>

namespace norvel {

// A prepared temporary WAV file and its length. Whoever receives it owns the file.
struct PreparedAudio {
    QString url;            // path of the WAV file
    double duration = 0;    // seconds, from the number of PCM bytes written
};

// Turns any audio or video file into a temporary 16 kHz mono 16-bit PCM WAV file, mixing every
// audio track of the input into the one channel.
struct AudioPrep {
    using Progress = std::function<void(double fraction)>;

    // Decodes `input` into "Norvel-<UUID>.wav" in `temporaryFolder` (the system's temporary
    // folder when empty), streaming: constant memory for any length. `progress` gets the
    // fraction of the input's duration written so far (0 to 1, never decreasing), on the
    // calling thread, once per written buffer; none when the duration is unknown. A stop
    // request is looked at once per packet and ends the work with halvex::CancellationError.
    // Every other failure is a NorvelError (unsupported, noAudio, diskFull, …); no temporary
    // file is left behind after a failure.
    static PreparedAudio prepare(const QString& input, const Progress& progress, std::stop_token stop = {},
                                 const QString& temporaryFolder = {});

    // The 44-byte WAV header for `dataBytes` bytes of 16 kHz mono 16-bit PCM.
    static QByteArray wavHeader(std::uint32_t dataBytes);
    // The data size a header can hold for `bytes` PCM bytes: at most 4294967231.
    static std::uint32_t cappedDataSize(std::uint64_t bytes);

    static constexpr int sampleRate = 16000;
    static constexpr int bytesPerSecond = 32000;
};

}  // namespace norvel
