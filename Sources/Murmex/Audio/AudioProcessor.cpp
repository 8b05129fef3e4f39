#include "Murmex/Audio/AudioProcessor.h"

#include "Murmex/Audio/AudioLog.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/Text/NumberText.h"

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <numeric>
#include <thread>

namespace murmex {

namespace {

constexpr float kMinimumMixPeak = AudioProcessor::minimumMixPeak;

std::string twoDecimals(double value) { return platform::numbertext::fixed(value, 2); }

AudioFormat monoFloat(double rate) { return AudioFormat{AudioCommonFormat::float32, rate, 1, false}; }

bool usableFormat(double rate, uint32_t channels) { return std::isfinite(rate) && rate > 0 && channels > 0; }

// A new buffer, or nothing when it cannot be allocated.
std::shared_ptr<AudioPCMBuffer> makeBuffer(const AudioFormat& format, uint32_t capacity) {
    try {
        return std::make_shared<AudioPCMBuffer>(format, capacity);
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

void requireExistingPath(const std::string& path) {
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
        throw WhisperError::loadAudioFailed(WhisperErrorMessage::resourcePathDoesNotExist(path));
    }
}

// A frame count for the given seconds at the rate, cut toward zero and kept within 0…limit.
int64_t framesAt(double seconds, double rate, int64_t limit) {
    double frames = std::trunc(seconds * rate);
    if (!(frames > 0)) {
        return 0;
    }
    return frames >= double(limit) ? limit : int64_t(frames);
}

// Reads `frames` frames from the file's position into a buffer of its processing format.
std::shared_ptr<AudioPCMBuffer> readFully(AudioFile& file, uint32_t frames) {
    auto buffer = makeBuffer(file.processingFormat(), frames);
    if (!buffer) {
        throw WhisperError::loadAudioFailed(std::string(WhisperErrorMessage::unableToCreateAudioBuffer));
    }
    file.read(*buffer, frames);
    while (buffer->frameLength() < frames) {
        auto more = makeBuffer(file.processingFormat(), frames - buffer->frameLength());
        if (!more) {
            throw WhisperError::loadAudioFailed(std::string(WhisperErrorMessage::unableToCreateAudioBuffer));
        }
        file.read(*more, frames - buffer->frameLength());
        if (more->frameLength() == 0) {
            break;
        }
        if (buffer->floatChannelData() == nullptr || more->floatChannelData() == nullptr) {
            throw WhisperError::loadAudioFailed(std::string(WhisperErrorMessage::audioBufferMissingFloatData));
        }
        buffer->appendContents(*more, 0, more->frameLength());
    }
    return buffer;
}

// Where a channel's samples lie in a buffer: the first sample and the distance between frames.
struct ChannelView {
    float* data;
    size_t stride;
};

ChannelView channelView(AudioPCMBuffer& buffer, uint32_t channel) {
    if (buffer.format().interleaved) {
        return {buffer.floatChannelData(0) + channel, buffer.stride()};
    }
    return {buffer.floatChannelData(channel), 1};
}

float peakMagnitude(const ChannelView& channel, uint32_t frames) {
    float peak = 0;
    const float* data = channel.data;
    if (channel.stride == 1) {
#pragma omp simd reduction(max : peak)
        for (uint32_t i = 0; i < frames; ++i) {
            peak = std::max(peak, std::fabs(data[i]));
        }
        return peak;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        peak = std::max(peak, std::fabs(data[size_t(i) * channel.stride]));
    }
    return peak;
}

void appendFirstChannel(AudioPCMBuffer& buffer, uint32_t chunkSize, std::vector<float>& samples) {
    if (buffer.floatChannelData() == nullptr) {
        return;
    }
    ChannelView channel = channelView(buffer, 0);
    uint32_t frames = buffer.frameLength();
    chunkSize = std::max<uint32_t>(chunkSize, 1);
    samples.reserve(samples.size() + frames);
    for (uint32_t start = 0; start < frames; start += chunkSize) {
        uint32_t count = std::min(chunkSize, frames - start);
        float* from = channel.data + size_t(start) * channel.stride;
        if (channel.stride == 1) {
            samples.insert(samples.end(), from, from + count);
            std::memset(from, 0, size_t(count) * sizeof(float));
        } else {
            for (uint32_t i = 0; i < count; ++i) {
                samples.push_back(from[i * channel.stride]);
                from[i * channel.stride] = 0;
            }
        }
    }
}

// Writes the channel mode's mono signal of `buffer` (float samples, at least two channels) into
// `mono` (one float channel with room for every frame).
void mixInto(const AudioPCMBuffer& buffer, const AudioInputOptions::ChannelMode& mode, AudioPCMBuffer& mono) {
    auto& source = const_cast<AudioPCMBuffer&>(buffer);
    const uint32_t channels = buffer.format().channelCount;
    const uint32_t frames = buffer.frameLength();
    mono.setFrameLength(frames);
    float* out = mono.floatChannelData();
    std::fill(out, out + frames, 0.0f);

    auto copyChannel = [&](uint32_t channel) {
        ChannelView in = channelView(source, channel);
        for (uint32_t i = 0; i < frames; ++i) {
            out[i] = in.data[i * in.stride];
        }
    };

    if (mode.isSpecificChannel()) {
        const int wanted = *mode.channel();
        copyChannel(wanted >= 0 && uint32_t(wanted) < channels ? uint32_t(wanted) : 0);
        return;
    }

    std::vector<uint32_t> selected;
    const auto& list = mode.channels();
    if (list && !list->empty()) {
        for (int index : *list) {
            if (index >= 0 && uint32_t(index) < channels) {
                selected.push_back(uint32_t(index));
            }
        }
        if (selected.empty()) {
            copyChannel(0);
            audiolog::debug("No valid channel indices provided, defaulting to first channel");
            return;
        }
    } else {
        for (uint32_t channel = 0; channel < channels; ++channel) {
            selected.push_back(channel);
        }
    }

    float loudest = 0;
    for (uint32_t channel : selected) {
        ChannelView in = channelView(source, channel);
        loudest = std::max(loudest, peakMagnitude(in, frames));
        const float* data = in.data;
        if (in.stride == 1) {
#pragma omp simd
            for (uint32_t i = 0; i < frames; ++i) {
                out[i] += data[i];
            }
        } else {
            for (uint32_t i = 0; i < frames; ++i) {
                out[i] += data[size_t(i) * in.stride];
            }
        }
    }
    // The mix keeps the peak of its loudest channel.
    const float sumPeak = peakMagnitude(ChannelView{out, 1}, frames);
    const float scale = loudest / std::max(sumPeak, kMinimumMixPeak);
#pragma omp simd
    for (uint32_t i = 0; i < frames; ++i) {
        out[i] *= scale;
    }
}

// Input frames that make a whole number of output frames at the target rate; 0 when the rates
// share no such step.
int64_t alignmentStep(double rate, double target) {
    if (rate != std::floor(rate) || target != std::floor(target) || rate > 1e9 || target > 1e9) {
        return 0;
    }
    return int64_t(rate) / std::gcd(int64_t(rate), int64_t(target));
}

// Frames on each side of a read that let the resampling filter see the signal go on, so that
// reads join without a seam. Comfortably more than half the filter's length at the input rate.
int64_t contextFrames(double rate, double target) { return 64 * int64_t(std::ceil(rate / target)); }

// The number of frames a conversion of `frames` frames gives: the scaled count, rounded to the
// nearest whole number (halves to the even one) and at least 1 when it is not whole.
double convertedCapacity(double inputRate, double outputRate, uint32_t frames) {
    const double capacity = outputRate * double(frames) / inputRate;
    if (capacity == std::floor(capacity)) {
        return capacity;
    }
    // The default rounding mode sends halves to the even neighbour.
    const double rounded = std::max(1.0, std::nearbyint(capacity));
    audiolog::debug("Rounding buffer frame capacity from " + audiolog::describe(capacity) + " to " +
                    audiolog::describe(rounded) + " to better fit new sample rate");
    return rounded;
}

// The frames a conversion of `frames` frames gives, as `convertedCapacity` computes it, without
// its log line.
double emittedFrames(double inputRate, double outputRate, int64_t frames) {
    const double capacity = outputRate * double(frames) / inputRate;
    return capacity == std::floor(capacity) ? capacity : std::max(1.0, std::nearbyint(capacity));
}

// Converts `frames` frames of `buffer` that follow `lead` frames of context (and may be followed
// by more) into `output`, which receives round(ratio × frames) frames. Throws
// WhisperError.audioProcessingFailed.
void convertSegmentInto(const AudioPCMBuffer& buffer, AudioConverter& converter, uint32_t lead, uint32_t frames,
                        AudioPCMBuffer& output) {
    const double inputRate = buffer.format().sampleRate;
    const double outputRate = converter.outputFormat().sampleRate;
    const double capacity = convertedCapacity(inputRate, outputRate, frames);
    if (capacity > double(output.frameCapacity())) {
        throw WhisperError::audioProcessingFailed(std::string(WhisperErrorMessage::failedToCreateConvertedBuffer));
    }
    std::string description;
    const auto dropped = uint32_t(std::llround(double(lead) * outputRate / inputRate));
    if (converter.convert(output, buffer, description, dropped, uint32_t(capacity)) == AudioConverter::Status::error) {
        // Every failure of the converter is reported, whether or not it explains itself.
        throw WhisperError::audioProcessingFailed(WhisperErrorMessage::errorConvertingAudio(
            description.empty() ? "the converter failed without a description" : description));
    }
}

std::shared_ptr<AudioPCMBuffer> convertSegment(const AudioPCMBuffer& buffer, AudioConverter& converter, uint32_t lead,
                                               uint32_t frames) {
    const double capacity = convertedCapacity(buffer.format().sampleRate, converter.outputFormat().sampleRate, frames);
    std::shared_ptr<AudioPCMBuffer> output;
    if (capacity <= double(std::numeric_limits<uint32_t>::max())) {
        output = makeBuffer(converter.outputFormat(), uint32_t(capacity));
    }
    if (!output) {
        throw WhisperError::audioProcessingFailed(std::string(WhisperErrorMessage::failedToCreateConvertedBuffer));
    }
    std::string description;
    const auto dropped =
        uint32_t(std::llround(double(lead) * converter.outputFormat().sampleRate / buffer.format().sampleRate));
    if (converter.convert(*output, buffer, description, dropped) == AudioConverter::Status::error) {
        throw WhisperError::audioProcessingFailed(WhisperErrorMessage::errorConvertingAudio(
            description.empty() ? "the converter failed without a description" : description));
    }
    return output;
}

std::shared_ptr<AudioPCMBuffer> resampleSegment(const AudioPCMBuffer& buffer, double toSampleRate,
                                                uint32_t channelCount, uint32_t lead, uint32_t frames) {
    if (!usableFormat(toSampleRate, channelCount)) {
        audiolog::error("Failed to create output audio format");
        return nullptr;
    }
    auto converter = AudioConverter::make(buffer.format(),
                                          AudioFormat{AudioCommonFormat::float32, toSampleRate, channelCount, false});
    if (!converter) {
        audiolog::error("Failed to create audio converter");
        return nullptr;
    }
    try {
        return convertSegment(buffer, *converter, lead, frames);
    } catch (const WhisperError& error) {
        audiolog::error("Failed to resample buffer: " + error.message());
        return nullptr;
    }
}

}  // namespace

std::shared_ptr<AudioPCMBuffer> AudioProcessor::loadAudio(const std::string& path, const ChannelMode& channelMode,
                                                          std::optional<double> startTime,
                                                          std::optional<double> endTime,
                                                          std::optional<uint32_t> maxReadFrameSize) {
    requireExistingPath(path);
    AudioFile file(path);
    return loadAudio(file, channelMode, startTime, endTime, maxReadFrameSize);
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::loadAudio(AudioFile& file, const ChannelMode& channelMode,
                                                          std::optional<double> startTime,
                                                          std::optional<double> endTime,
                                                          std::optional<uint32_t> maxReadFrameSize) {
    const double rate = file.fileFormat().sampleRate;
    const uint32_t channels = file.fileFormat().channelCount;
    const int64_t length = file.length();

    const int64_t start = framesAt(startTime.value_or(0), rate, length);
    // An end at or past the file's duration reads to the last frame: the duration times the rate
    // can fall a hair short of the length, which would cut the last frame off.
    const bool toTheEnd = !endTime || *endTime >= double(length) / rate;
    const int64_t end = toTheEnd ? length : std::min(length, framesAt(*endTime, rate, length));
    const int64_t count = std::max<int64_t>(end - start, 0);
    if (count > int64_t(std::numeric_limits<uint32_t>::max())) {
        // One read range holds fewer than 2^32 frames; longer ranges are loaded in pieces.
        throw WhisperError::loadAudioFailed(std::string(WhisperErrorMessage::failedToProcessAudioBuffer));
    }
    file.setFramePosition(start);

    std::shared_ptr<AudioPCMBuffer> buffer;
    if (rate == sampleRate && channels == 1) {
        try {
            buffer = readFully(file, uint32_t(count));
        } catch (const WhisperError& error) {
            throw WhisperError::loadAudioFailed(WhisperErrorMessage::failedToReadAudioFile(error.message()));
        } catch (const std::exception& error) {
            throw WhisperError::loadAudioFailed(WhisperErrorMessage::failedToReadAudioFile(error.what()));
        }
    } else {
        buffer = resampleAudio(file, sampleRate, 1, channelMode, uint32_t(count),
                               maxReadFrameSize.value_or(defaultMaxReadFrameSize));
        if (!buffer) {
            throw WhisperError::loadAudioFailed(std::string(WhisperErrorMessage::failedToProcessAudioBuffer));
        }
    }

    audiolog::debug("Audio source details - Sample Rate: " + audiolog::describe(rate) +
                    " Hz, Channel Count: " + std::to_string(channels) + ", Frame Length: " + std::to_string(length) +
                    ", Duration: " + audiolog::describe(double(length) / rate) + "s");
    const double bufferRate = buffer->format().sampleRate;
    audiolog::debug("Audio buffer details - Sample Rate: " + audiolog::describe(bufferRate) +
                    " Hz, Channel Count: " + std::to_string(buffer->format().channelCount) +
                    ", Frame Length: " + std::to_string(buffer->frameLength()) +
                    ", Duration: " + audiolog::describe(double(buffer->frameLength()) / bufferRate) + "s");
    audiolog::memoryUsage("After loadAudio function");
    return buffer;
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::loadAudioAsync(const std::string& path) {
    return loadAudio(path, ChannelMode::sumChannels(), 0.0, std::nullopt, std::nullopt);
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& path, const ChannelMode& channelMode,
                                                         std::optional<double> startTime,
                                                         std::optional<double> endTime) {
    requireExistingPath(path);
    AudioFile file(path);
    const double duration = double(file.length()) / file.fileFormat().sampleRate;
    double time = startTime.value_or(0);
    const double until = std::min(duration, endTime.value_or(duration));

    std::vector<float> samples;
    if (until > time) {
        // Room for the whole result at once, so that it is never copied while it grows.
        samples.reserve(size_t(std::ceil((until - std::max(time, 0.0)) * sampleRate)) + 16);
    }
    while (time < until) {
        // Each piece's buffers are released before the next piece is read.
        const double pieceEnd = std::min(until, time + pieceDurationSeconds);
        auto buffer = loadAudio(file, channelMode, time, pieceEnd, std::nullopt);
        appendFirstChannel(*buffer, copyChunkSize, samples);
        time = pieceEnd;
    }
    return samples;
}

std::vector<AudioFileLoadResult> AudioProcessor::loadAudio(const std::vector<std::string>& paths,
                                                           const ChannelMode& channelMode) {
    std::vector<AudioFileLoadResult> results(paths.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t index = next++; index < paths.size(); index = next++) {
            try {
                results[index] = loadAudioAsFloatArray(paths[index], channelMode, 0.0, std::nullopt);
            } catch (...) {
                results[index] = std::current_exception();
            }
        }
    };
    // A pool as large as the machine's cores, however many files there are.
    size_t workers = std::min<size_t>(paths.size(), std::max(1u, std::thread::hardware_concurrency()));
    if (workers <= 1) {
        work();
        return results;
    }
    std::vector<std::jthread> pool;
    pool.reserve(workers);
    for (size_t i = 0; i < workers; ++i) {
        pool.emplace_back(work);
    }
    pool.clear();  // joins
    return results;
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::resampleAudio(AudioFile& file, double toSampleRate,
                                                              uint32_t channelCount, const ChannelMode& channelMode,
                                                              std::optional<uint32_t> frameCount,
                                                              uint32_t maxReadFrameSize) {
    const double rate = file.fileFormat().sampleRate;
    const int64_t length = file.length();
    const int64_t position = file.framePosition();
    const int64_t frames = frameCount ? int64_t(*frameCount) : length;
    const int64_t end = std::min(length, position + frames);

    if (!usableFormat(toSampleRate, channelCount)) {
        audiolog::error("Failed to create output audio format");
        return nullptr;
    }
    const AudioFormat outputFormat{AudioCommonFormat::float32, toSampleRate, channelCount, false};
    audiolog::debug("Resampling " + twoDecimals(double(frames) / rate) + " seconds of audio");

    // A limit of 0 could never advance; it means the default.
    const uint32_t limit = maxReadFrameSize > 0 ? maxReadFrameSize : defaultMaxReadFrameSize;
    // Room for everything the reads' conversions emit: each read of n frames gives its own rounded
    // share (at least one frame), which the scaled length of the whole range, cut toward zero,
    // can fall short of; a range of one or two frames would get no room at all.
    const int64_t planned = std::max<int64_t>(end - position, 0);
    const double capacity = double(planned / limit) * emittedFrames(rate, toSampleRate, limit) +
                            (planned % limit > 0 ? emittedFrames(rate, toSampleRate, planned % limit) : 0.0);
    std::shared_ptr<AudioPCMBuffer> output;
    if (capacity <= double(std::numeric_limits<uint32_t>::max())) {
        output = makeBuffer(outputFormat, uint32_t(capacity));
    }
    if (!output) {
        audiolog::error("Failed to create output buffer");
        return nullptr;
    }
    if (position >= end) {
        return output;
    }
    // Each read is converted with a little of the audio around it, so that reads, and the
    // pieces of a whole-file load, join without a seam. The frames before a read are taken in
    // whole steps of the rate ratio, which keeps the output on one sample grid.
    const int64_t context = contextFrames(rate, toSampleRate);
    const int64_t step = alignmentStep(rate, toSampleRate);
    const int64_t leadLimit =
        step > 0 ? std::min<int64_t>((context + step - 1) / step * step, AudioFile::historyCapacity) : 0;
    const int64_t readFrames = std::min<int64_t>(limit, end - position);
    auto readBuffer = makeBuffer(file.processingFormat(), uint32_t(leadLimit + readFrames + context));
    if (!readBuffer) {
        audiolog::error("Failed to create output buffer");
        return nullptr;
    }
    // The buffers and the converter of one read serve every read of the range; each conversion
    // starts afresh, so nothing carries from one read to the next but the audio around it.
    std::shared_ptr<AudioPCMBuffer> mono;
    if (readBuffer->format().channelCount > 1) {
        mono = makeBuffer(monoFloat(rate), readBuffer->frameCapacity());
    } else {
        mono = readBuffer;
    }
    auto resampled = makeBuffer(outputFormat, uint32_t(std::ceil(double(readFrames) * toSampleRate / rate)) + 1);
    auto converter = AudioConverter::make(monoFloat(rate), outputFormat);
    if (!mono || !resampled) {
        audiolog::error("Failed to create output buffer");
        return nullptr;
    }

    for (;;) {
        const int64_t at = file.framePosition();
        const auto count = uint32_t(std::min<int64_t>(end - at, limit));
        audiolog::debug("Resampling " + twoDecimals(double(at) / rate) + "s - " +
                        twoDecimals(double(at + count) / rate) + "s");
        uint32_t lead = 0;
        uint32_t got = 0;
        try {
            if (step > 0) {
                const int64_t available = std::min<int64_t>(leadLimit, file.precedingFrames());
                lead = uint32_t(available / step * step);
            }
            file.copyPrecedingFrames(*readBuffer, lead);
            file.read(*readBuffer, count, lead);
            got = readBuffer->frameLength() - lead;
            if (got == count) {
                file.peek(*readBuffer, uint32_t(context), lead + got);
            }
        } catch (const std::exception& error) {
            audiolog::error(std::string("Error reading audio file: ") + error.what());
            return nullptr;
        }
        if (got == 0) {
            // The file ended before its stated length: keep what it held.
            audiolog::debug("Audio file ended at " + twoDecimals(double(at) / rate) + "s");
            break;
        }
        if (mono != readBuffer) {
            mixInto(*readBuffer, channelMode, *mono);
        }
        if (!converter) {
            audiolog::error("Failed to create audio converter");
            audiolog::error("Failed to resample audio chunk");
            return nullptr;
        }
        try {
            convertSegmentInto(*mono, *converter, lead, got, *resampled);
        } catch (const WhisperError& error) {
            audiolog::error("Failed to resample buffer: " + error.message());
            audiolog::error("Failed to resample audio chunk");
            return nullptr;
        }
        if (!output->appendContents(*resampled, 0, resampled->frameLength())) {
            audiolog::error("Failed to append audio chunk");
            return nullptr;
        }
        if (at + count >= end || got < count) {
            break;
        }
    }
    return output;
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::resampleAudio(const AudioPCMBuffer& buffer, double toSampleRate,
                                                              uint32_t channelCount) {
    return resampleSegment(buffer, toSampleRate, channelCount, 0, buffer.frameLength());
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::resampleBuffer(const AudioPCMBuffer& buffer,
                                                               AudioConverter& converter) {
    return convertSegment(buffer, converter, 0, buffer.frameLength());
}

std::shared_ptr<AudioPCMBuffer> AudioProcessor::convertToMono(const std::shared_ptr<AudioPCMBuffer>& buffer,
                                                              const ChannelMode& mode) {
    if (buffer->format().channelCount < 2) {
        return buffer;
    }
    if (buffer->floatChannelData() == nullptr) {
        audiolog::error("Buffer did not contain floatChannelData.");
        return nullptr;
    }
    auto mono = makeBuffer(monoFloat(buffer->format().sampleRate), buffer->frameCapacity());
    if (!mono) {
        audiolog::error("Failed to create mono buffer.");
        return nullptr;
    }
    mixInto(*buffer, mode, *mono);
    return mono;
}

std::vector<float> AudioProcessor::convertBufferToArray(AudioPCMBuffer& buffer, uint32_t chunkSize) {
    std::vector<float> samples;
    appendFirstChannel(buffer, chunkSize, samples);
    return samples;
}

}  // namespace murmex
