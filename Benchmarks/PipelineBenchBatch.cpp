// Batch transcription through the pipeline facade: eight 30-second inputs of real speech on a
// random-weight model of the published tiny size, one at a time against several at once.
//
// Without fallbacks and the first-token test every window decodes greedily to the token limit
// (random weights do not stop), so each input costs the same whatever the worker count; the
// wall time tells what running inputs at once gains on this machine.

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/ML/AudioWindow.h"

namespace {

namespace audiowindow = platform::audiowindow;

constexpr int inputs = 8;

const std::vector<std::vector<float>>& speechInputs() {
    static const std::vector<std::vector<float>> arrays = [] {
        const auto speech =
            murmex::AudioProcessor::loadAudioAsFloatArray(std::string(NORVEL_TEST_FIXTURES) + "/audio/jfk.flac");
        std::vector<std::vector<float>> made;
        for (int i = 0; i < inputs; ++i) {
            std::vector<float> samples;
            // Each input starts at another point of the speech.
            for (std::size_t k = 0; samples.size() < std::size_t{audiowindow::samples}; ++k) {
                samples.push_back(speech[(k + static_cast<std::size_t>(i) * audiowindow::sampleRate) % speech.size()]);
            }
            made.push_back(std::move(samples));
        }
        return made;
    }();
    return arrays;
}

void BM_PipelineBatch(benchmark::State& state) {
    murmex::MurmexConfig::Arguments arguments;
    arguments.modelFolder = norvel::bench::modelFolder("tiny").string();
    arguments.tokenizerFolder = std::string(NORVEL_TEST_FIXTURES) + "/tokenizers/multilingual";
    arguments.download = false;
    auto pipeline = murmex::Murmex::create(murmex::MurmexConfig(arguments));
    murmex::DecodingOptions options;
    options.temperatureFallbackCount = 0;
    options.firstTokenLogProbThreshold = std::nullopt;  // random weights would stop at the first token
    options.concurrentWorkerCount = state.range(0);
    const auto& arrays = speechInputs();

    double tokens = 0;
    for (auto _ : state) {
        const auto outcomes = pipeline->transcribeWithResults(arrays, options, nullptr);
        tokens = 0;
        for (const auto& outcome : outcomes) {
            for (const auto& result : std::get<murmex::Murmex::Results>(outcome)) {
                tokens += result->timings().totalDecodingLoops;
            }
        }
        benchmark::DoNotOptimize(outcomes);
    }
    state.counters["inputs_per_s"] = benchmark::Counter(inputs, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["tokens_per_s"] = benchmark::Counter(tokens, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_PipelineBatch)
    ->ArgName("workers")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
