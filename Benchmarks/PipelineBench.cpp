// End-to-end transcription of a 10-minute file through the pipeline facade, with models of the
// published tiny and base sizes made from random checkpoints.
//
// Random weights do not stop where speech does: their windows decode up to the token limit
// and fail the fallback checks, so the counters report tokens per window and fallbacks beside
// the time of each stage. The real-time factor is the run's wall time over the audio's length.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/ML/AudioWindow.h"
#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Platform/ML/Conversion/ModelConverter.h"

namespace {

namespace fs = std::filesystem;

constexpr double fileSeconds = 600;

// The benchmark's scratch folder, removed when the process ends.
class Scratch {
public:
    Scratch() {
        auto pattern = (fs::temp_directory_path() / "murmex-pipeline-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

void writeLittleEndian(std::ofstream& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Ten minutes of real speech, repeated, as a 16 kHz mono 16-bit WAV file: the form in which the
// application hands prepared audio to the pipeline.
const fs::path& speechFile() {
    static const fs::path path = [] {
        const auto speech =
            murmex::AudioProcessor::loadAudioAsFloatArray(std::string(NORVEL_TEST_FIXTURES) + "/audio/jfk.flac");
        const auto total = static_cast<std::size_t>(fileSeconds * platform::audiowindow::sampleRate);
        const fs::path file = scratch().path() / "speech-10min.wav";
        std::ofstream out(file, std::ios::binary);
        const std::uint32_t dataBytes = static_cast<std::uint32_t>(total * 2);
        out.write("RIFF", 4);
        writeLittleEndian(out, 36 + dataBytes, 4);
        out.write("WAVEfmt ", 8);
        writeLittleEndian(out, 16, 4);
        writeLittleEndian(out, 1, 2);  // PCM
        writeLittleEndian(out, 1, 2);  // mono
        writeLittleEndian(out, platform::audiowindow::sampleRate, 4);
        writeLittleEndian(out, platform::audiowindow::sampleRate * 2, 4);
        writeLittleEndian(out, 2, 2);
        writeLittleEndian(out, 16, 2);
        out.write("data", 4);
        writeLittleEndian(out, dataBytes, 4);
        for (std::size_t i = 0; i < total; ++i) {
            const float sample = std::clamp(speech[i % speech.size()], -1.0f, 1.0f);
            writeLittleEndian(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(sample * 32767.0f)), 2);
        }
        return file;
    }();
    return path;
}

// A model folder of the published size with random weights and the multilingual tokenizer.
fs::path modelFolder(const std::string& size) {
    static std::mutex mutex;
    static std::map<std::string, fs::path> folders;
    std::lock_guard lock(mutex);
    if (auto found = folders.find(size); found != folders.end()) return found->second;

    using namespace platform::conversion;
    const fs::path checkpoint = scratch().path() / ("checkpoint-" + size);
    const fs::path folder = scratch().path() / ("models-" + size);
    GeneratorOptions generator;
    generator.tokenizerFolder = std::string(NORVEL_TEST_FIXTURES) + "/tokenizers/multilingual";
    generateCheckpoint(checkpoint, *checkpointPreset(size), generator);
    convertCheckpoint(checkpoint, folder);
    fs::remove_all(checkpoint);
    return folders[size] = folder;
}

void BM_PipelineTranscribeFile(benchmark::State& state, const std::string& size) {
    const fs::path audio = speechFile();
    murmex::MurmexConfig::Arguments arguments;
    arguments.modelFolder = modelFolder(size).string();
    arguments.download = false;
    arguments.prewarm = true;
    auto pipeline = murmex::Murmex::create(murmex::MurmexConfig(arguments));

    murmex::TranscriptionTimings timings;
    double wallSeconds = 0;
    std::size_t segments = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto results = pipeline->transcribe(audio.string(), std::nullopt, std::nullopt, nullptr);
        wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        timings = results.at(0)->timings();
        segments = results.at(0)->segments().size();
        benchmark::DoNotOptimize(results);
    }

    const auto& load = pipeline->currentTimings();
    const double windows = timings.totalEncodingRuns;
    state.counters["rtf"] = wallSeconds / fileSeconds;
    state.counters["model_load_s"] = load.modelLoading;
    state.counters["audio_load_s"] = timings.audioLoading;
    state.counters["mel_s"] = timings.logmels;
    state.counters["encoder_s"] = timings.encoding;
    state.counters["decoder_s"] = timings.decodingLoop;
    state.counters["decoder_predictions_s"] = timings.decodingPredictions;
    state.counters["fallback_s"] = timings.decodingFallback;
    state.counters["windows"] = windows;
    // Tokens decoded, fallback attempts included.
    state.counters["tokens"] = timings.totalDecodingLoops;
    state.counters["tokens_per_window"] = windows > 0 ? timings.totalDecodingLoops / windows : 0;
    state.counters["ms_per_token"] =
        timings.totalDecodingLoops > 0 ? 1000 * timings.decodingPredictions / timings.totalDecodingLoops : 0;
    state.counters["encoder_ms_per_window"] = windows > 0 ? 1000 * timings.encoding / windows : 0;
    state.counters["segments"] = static_cast<double>(segments);
}

BENCHMARK_CAPTURE(BM_PipelineTranscribeFile, tiny, std::string("tiny"))
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PipelineTranscribeFile, base, std::string("base"))
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
