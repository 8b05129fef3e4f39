// Download and conversion of a published model size from the loopback hub: a random
// checkpoint with the real dimensions and single-precision weights (as the hub publishes
// tiny and base), served on 127.0.0.1 together with the other weight formats such
// repositories hold, fetched through the library's download and converted into a model
// folder. Reports the seconds spent downloading and converting and the transfer rate.
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedCheckpoint.h"
#include "Support/HubServer.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// One generated checkpoint per size for the whole run.
const fs::path& checkpointFolder(const std::string& size) {
    static std::map<std::string, std::unique_ptr<norvel::test::TemporaryDirectory>> folders;
    auto& folder = folders[size];
    if (!folder) {
        folder = std::make_unique<norvel::test::TemporaryDirectory>();
        platform::conversion::GeneratorOptions options;
        options.tokenizerFolder = norvel::test::fixture("tokenizers/multilingual");
        platform::conversion::generateCheckpoint(folder->path(), *platform::conversion::checkpointPreset(size),
                                                 options);
    }
    return folder->path();
}

void BM_ModelDownloadAndConvert(benchmark::State& state, const std::string& size) {
    setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    norvel::test::HubServer server;
    const fs::path checkpoint = checkpointFolder(size);
    norvel::test::serveCheckpoint(server, "openai/whisper-" + size, checkpoint);
    std::uintmax_t served = 0;
    for (const auto& entry : fs::directory_iterator(checkpoint)) served += entry.file_size();

    double downloadSeconds = 0, convertSeconds = 0;
    for (auto _ : state) {
        norvel::test::TemporaryDirectory base;
        const auto start = Clock::now();
        std::optional<Clock::time_point> convertStart;
        murmex::Murmex::download(
            "openai_whisper-" + size, base.path(), false, murmex::Murmex::defaultModelRepository, std::nullopt,
            server.endpoint(), [&](const halvex::Progress& progress) {
                if (!convertStart && progress.fileOperationKind() == halvex::Progress::FileOperationKind::converting)
                    convertStart = Clock::now();
            });
        const auto end = Clock::now();
        const auto split = convertStart.value_or(end);
        downloadSeconds += std::chrono::duration<double>(split - start).count();
        convertSeconds += std::chrono::duration<double>(end - split).count();
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["download_s"] = downloadSeconds / runs;
    state.counters["convert_s"] = convertSeconds / runs;
    state.counters["download_MB"] = static_cast<double>(served) / 1e6;
    state.counters["MB_per_s"] = static_cast<double>(served) / 1e6 / (downloadSeconds / runs);
}

BENCHMARK_CAPTURE(BM_ModelDownloadAndConvert, tiny, std::string("tiny"))
    ->Unit(benchmark::kSecond)
    ->Iterations(2)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ModelDownloadAndConvert, base, std::string("base"))
    ->Unit(benchmark::kSecond)
    ->Iterations(2)
    ->UseRealTime();

}  // namespace
