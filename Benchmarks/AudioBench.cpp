// Loading an audio file into 16 kHz mono samples: a 44.1 kHz stereo MP3 of speech, loaded by
// the audio processor and, in the same run, converted by the ffmpeg command-line tool
// (`-ar 16000 -ac 1 -f f32le`), with the time ratio between the two and the memory the load
// needs beyond its result.
#include "Murmex/Audio/AudioProcessor.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/ML/AudioWindow.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path cacheFolder() {
    fs::path base;
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache != '\0') {
        base = cache;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = fs::path(home) / ".cache";
    } else {
        base = fs::temp_directory_path();
    }
    fs::path folder = base / "norvel-bench";
    fs::create_directories(folder);
    return folder;
}

// Runs the ffmpeg tool with the arguments; returns the wall time in seconds and the child's
// peak resident memory in bytes. Throws when it fails.
std::pair<double, long> runTool(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        execvp("ffmpeg", argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) throw std::runtime_error("wait failed");
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("ffmpeg failed");
    return {seconds, usage.ru_maxrss * 1024L};
}

// Minutes of speech (the shared clip, looped) as a 44.1 kHz stereo MP3, made once and kept.
std::string speechMp3(int minutes) {
    const fs::path path = cacheFolder() / ("speech-" + std::to_string(minutes) + "min-44k-stereo.mp3");
    if (!fs::exists(path)) {
        const fs::path partial = path.string() + ".partial.mp3";
        const std::string clip = std::string(NORVEL_TEST_FIXTURES) + "/audio/jfk.flac";
        runTool({"-stream_loop", "-1", "-i", clip, "-t", std::to_string(minutes * 60), "-ar", "44100", "-ac", "2",
                 "-c:a", "libmp3lame", "-b:a", "128k", partial.string()});
        fs::rename(partial, path);
    }
    return path.string();
}

long statusField(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(name) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size())) * 1024L;
    }
    return 0;
}

// Starts a fresh peak: the resident high-water mark is set back to the current use.
void resetPeakMemory() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

struct LoadFigures {
    double seconds = 0;
    long extraBytes = 0;  // peak resident memory during the load, beyond what it started with and the result
    size_t samples = 0;
};

LoadFigures loadOnce(const std::string& path) {
    resetPeakMemory();
    const long before = statusField("VmRSS");
    const auto start = Clock::now();
    std::vector<float> samples = murmex::AudioProcessor::loadAudioAsFloatArray(path);
    LoadFigures figures;
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.extraBytes = statusField("VmHWM") - before - long(samples.capacity() * sizeof(float));
    figures.samples = samples.size();
    benchmark::DoNotOptimize(samples.data());
    return figures;
}

constexpr double kMegabyte = 1024.0 * 1024.0;

// The library's load, and beside it the tool's conversion of the same file; the ratio is the
// fastest load over the fastest conversion.
void BM_AudioLoadMp3VersusTool(benchmark::State& state) {
    const int minutes = int(state.range(0));
    const std::string path = speechMp3(minutes);
    double fastestLoad = 1e30;
    double fastestTool = 1e30;
    long extra = 0;
    long toolPeak = 0;
    size_t samples = 0;
    for (auto _ : state) {
        const LoadFigures load = loadOnce(path);
        state.SetIterationTime(load.seconds);
        const auto [toolSeconds, toolMemory] =
            runTool({"-i", path, "-ar", std::to_string(platform::audiowindow::sampleRate), "-ac", "1", "-f", "f32le",
                     "/dev/null"});
        fastestLoad = std::min(fastestLoad, load.seconds);
        fastestTool = std::min(fastestTool, toolSeconds);
        extra = std::max(extra, load.extraBytes);
        toolPeak = std::max(toolPeak, toolMemory);
        samples = load.samples;
    }
    state.counters["load_s"] = fastestLoad;
    state.counters["tool_s"] = fastestTool;
    state.counters["load/tool"] = fastestLoad / fastestTool;
    state.counters["audio_x_realtime"] = minutes * 60.0 / fastestLoad;
    state.counters["extra_MB"] = double(extra) / kMegabyte;
    state.counters["result_MB"] = double(samples * sizeof(float)) / kMegabyte;
    state.counters["tool_peak_MB"] = double(toolPeak) / kMegabyte;
    if (samples != size_t(minutes) * 60 * platform::audiowindow::sampleRate) {
        state.SkipWithError("the load did not give the file's length");
    }
}
// 10 minutes is one 600-s piece; 30 minutes is three, and must not need more memory beyond its
// result than one.
BENCHMARK(BM_AudioLoadMp3VersusTool)->Arg(10)->Arg(30)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
