// Speed of the model runtime at the published sizes (random weights), each figure also
// as an efficiency against the machine's own limits measured in the same run:
//   encoder: effective GFLOP/s of all matrix products over the OpenBLAS sgemm rate for
//            M = 1500, N = 4d, K = d at the same thread count;
//   decoder: time per token (cache length 100) over the time to read the weights it
//            streams once at the measured read bandwidth, and over the time to read all it
//            streams (weights, caches, cross-attention keys and values); allocations per token;
//   load:    time to load the three models over the time to read their weight files
//            from a warm page cache; resident memory over the weight files' size after three
//            windows through the three models, and what the loads and each prediction of the
//            first window add;
//   mel:     time per 30 s window.
// Arguments: /<size index: 0 tiny, 1 base, 2 small, 3 large-v3-turbo, 4 small compressed,
// 5 large-v3-turbo compressed>/<threads>; the large and compressed models run at 8 and 2
// threads only.
#include "BenchSupport.h"

#include "Platform/ML/AudioWindow.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/ModelFolderManifests.h"
#include "Platform/ML/Runtime/AudioEncoderModel.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Platform/ML/Runtime/TextDecoderModel.h"
#include "Platform/ML/Runtime/ThreadPool.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace platform;
namespace fs = std::filesystem;
using norvel::bench::modelFolder;

const char* sizes[] = {"tiny", "base", "small", "large-v3-turbo", "small-216MB", "large-v3-turbo-954MB"};

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void useThreads(int threads) { runtime::ThreadPool::shared().setThreadCount(static_cast<std::size_t>(threads)); }

std::shared_ptr<Model> load(const std::string& size, std::string_view name) {
    return Model::load(platform::ModelFolder::compiledModel(modelFolder(size), name), ComputeUnits::cpuOnly);
}

int widthOf(const Model& encoder) {
    return encoder.modelDescription().output("encoder_output_embeds")->multiArrayConstraint->shape[1];
}

void BM_ModelRuntimeMel(benchmark::State& state) {
    const std::string size = sizes[state.range(0)];
    useThreads(static_cast<int>(state.range(1)));
    auto mel = load(size, platform::ModelFolder::melSpectrogram);
    MultiArray audio({platform::audiowindow::samples}, MultiArrayDataType::float32);
    for (int i = 0; i < platform::audiowindow::samples; ++i)
        audio.data<float>()[i] = 0.3f * std::sin(0.05f * static_cast<float>(i)) + 1e-3f * static_cast<float>(i % 17);
    DictionaryFeatureProvider input({{"audio", audio}});
    for (auto _ : state) benchmark::DoNotOptimize(mel->prediction(input));
    state.counters["windows_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ModelRuntimeEncoder(benchmark::State& state) {
    const std::string size = sizes[state.range(0)];
    const int threads = static_cast<int>(state.range(1));
    useThreads(threads);
    auto encoder = load(size, platform::ModelFolder::audioEncoder);
    const auto* program = dynamic_cast<const runtime::AudioEncoderModel*>(encoder.get());
    const Shape shape = encoder->modelDescription().input("melspectrogram_features")->multiArrayConstraint->shape;
    MultiArray mel(shape, MultiArrayDataType::float32);
    for (std::int64_t i = 0; i < mel.count(); ++i)
        mel.data<float>()[i] = static_cast<float>((i * 7) % 13) / 13.0f - 0.5f;
    DictionaryFeatureProvider input({{"melspectrogram_features", mel}});
    encoder->prediction(input);  // first touch of the weights
    // The machine may be shared: the efficiency compares the best window with the best
    // matrix-product run, both measured here.
    double perWindow = 1e30;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(encoder->prediction(input));
        perWindow = std::min(perWindow, seconds(start));
    }
    const int d = widthOf(*encoder);
    const double flops = program->matrixFlops();
    const double achieved = flops / perWindow;
    const double sgemm = norvel::bench::sgemmRate(threads, 1500, 4 * d, d);
    state.counters["GFLOP_per_window"] = flops / 1e9;
    state.counters["best_window_ms"] = perWindow * 1e3;
    state.counters["GFLOPs"] = achieved / 1e9;
    state.counters["sgemm_GFLOPs"] = sgemm / 1e9;
    state.counters["efficiency"] = achieved / sgemm;
}

// A decoder step's inputs at cache length 100, with fixed pseudo-random caches and encoder
// output; `arrays` keeps them alive.
struct DecoderStep {
    std::vector<MultiArray> arrays;
    std::unique_ptr<DictionaryFeatureProvider> input;
};

DecoderStep decoderStep(const Model& decoder) {
    const auto& description = decoder.modelDescription();
    const Shape cacheShape = description.input("key_cache")->multiArrayConstraint->shape;
    const auto& embeddings = *description.input("encoder_output_embeds")->multiArrayConstraint;
    const int positions = cacheShape[3];
    const int cacheLength = 100;

    MultiArray keys(cacheShape, MultiArrayDataType::float16, Float16(0.0f));
    MultiArray values(cacheShape, MultiArrayDataType::float16, Float16(0.0f));
    for (std::int64_t i = 0; i < keys.count(); ++i) {
        keys.data<Float16>()[i] = Float16(static_cast<float>((i * 13) % 29) / 29.0f - 0.5f);
        values.data<Float16>()[i] = Float16(static_cast<float>((i * 17) % 31) / 31.0f - 0.5f);
    }
    MultiArray encoder(embeddings.shape, embeddings.dataType);
    for (std::int64_t i = 0; i < encoder.count(); ++i)
        encoder.setValue(i, static_cast<float>((i * 11) % 19) / 19.0f - 0.5f);
    MultiArray ids = MultiArray::from({50258});
    MultiArray length = MultiArray::from({cacheLength});
    MultiArray updateMask({1, positions}, MultiArrayDataType::int32);
    updateMask.data<std::int32_t>()[cacheLength] = 1;
    MultiArray padding({1, positions}, MultiArrayDataType::float16, Float16(-10000.0f));
    for (int j = 0; j <= cacheLength; ++j) padding.data<Float16>()[j] = Float16(0.0f);
    DecoderStep step;
    step.input = std::make_unique<DictionaryFeatureProvider>(
        std::map<std::string, FeatureValue>{{"input_ids", ids},
                                            {"cache_length", length},
                                            {"key_cache", keys},
                                            {"value_cache", values},
                                            {"kv_cache_update_mask", updateMask},
                                            {"encoder_output_embeds", encoder},
                                            {"decoder_key_padding_mask", padding}});
    step.arrays = {ids, length, keys, values, updateMask, encoder, padding};
    return step;
}

// An encoder input of fixed pseudo-random values.
struct EncoderWindow {
    MultiArray mel;
    std::unique_ptr<DictionaryFeatureProvider> input;
};

EncoderWindow encoderWindow(const Model& encoder) {
    const Shape shape = encoder.modelDescription().input("melspectrogram_features")->multiArrayConstraint->shape;
    EncoderWindow window{MultiArray(shape, MultiArrayDataType::float32), nullptr};
    for (std::int64_t i = 0; i < window.mel.count(); ++i)
        window.mel.data<float>()[i] = static_cast<float>((i * 7) % 13) / 13.0f - 0.5f;
    window.input = std::make_unique<DictionaryFeatureProvider>(
        std::map<std::string, FeatureValue>{{"melspectrogram_features", window.mel}});
    return window;
}

// Bytes a step reads besides the weights: the key and value caches, and the cross-attention
// keys and values of the encoder output as the model holds them.
double stateBytesPerStep(const Model& decoder) {
    return static_cast<double>(dynamic_cast<const runtime::TextDecoderModel&>(decoder).stateBytesPerStep());
}

void BM_ModelRuntimeDecoderToken(benchmark::State& state) {
    const std::string size = sizes[state.range(0)];
    const int threads = static_cast<int>(state.range(1));
    useThreads(threads);
    auto decoder = load(size, platform::ModelFolder::textDecoder);
    const DecoderStep step = decoderStep(*decoder);
    const DictionaryFeatureProvider& input = *step.input;
    decoder->prediction(input);  // cross-attention preparation and first touch of the weights
    decoder->prediction(input);
    const std::uint64_t allocationsBefore = norvel::bench::allocationCount();
    const double cpuBefore = processCpuSeconds();
    // The machine may be shared: the ratio uses the median token against the best read.
    std::vector<double> tokens;
    tokens.reserve(1 << 16);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(decoder->prediction(input));
        if (tokens.size() < tokens.capacity()) tokens.push_back(seconds(start));
    }
    std::nth_element(tokens.begin(), tokens.begin() + static_cast<long>(tokens.size() / 2), tokens.end());
    const double perToken = tokens.empty() ? 0 : tokens[tokens.size() / 2];
    const std::uint64_t allocations = norvel::bench::allocationCount() - allocationsBefore;
    const double cpuPerToken = (processCpuSeconds() - cpuBefore) /
                               static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));

    const auto* program = dynamic_cast<const runtime::TextDecoderModel*>(decoder.get());
    const double weightBytes = static_cast<double>(program->weightBytesPerStep());
    const double bandwidth = norvel::bench::readBandwidth(threads);
    state.counters["weight_MB"] = weightBytes / 1e6;
    state.counters["read_ms"] = weightBytes / bandwidth * 1e3;
    state.counters["bandwidth_GBs"] = bandwidth / 1e9;
    state.counters["median_token_ms"] = perToken * 1e3;
    // Processor time of all threads per token: on a busy machine, where the wall time says
    // more about the other work than about this, it still shows the work and the waiting.
    state.counters["cpu_ms_per_token"] = cpuPerToken * 1e3;
    state.counters["time_over_read"] = perToken / (weightBytes / bandwidth);
    // The same over everything a step streams: weights, caches and cross-attention keys and values.
    state.counters["time_over_stream"] = perToken / ((weightBytes + stateBytesPerStep(*decoder)) / bandwidth);
    state.counters["allocations_per_token"] =
        static_cast<double>(allocations) /
        static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
}

// The compressed folder against the half-precision one of the same size, in one process:
// each iteration runs a window on each, then a run of 20 tokens on each, alternating, so
// that both see the same machine. Reports the best window and the median token of each
// and their ratios.
// Arguments: /<0 small, 1 large-v3-turbo>/<threads>.
void BM_ModelRuntimeCompressedOverHalf(benchmark::State& state) {
    const std::string half = state.range(0) == 0 ? "small" : "large-v3-turbo";
    const std::string compressed = state.range(0) == 0 ? "small-216MB" : "large-v3-turbo-954MB";
    const int threads = static_cast<int>(state.range(1));
    useThreads(threads);
    std::shared_ptr<Model> encoders[2] = {load(half, platform::ModelFolder::audioEncoder),
                                          load(compressed, platform::ModelFolder::audioEncoder)};
    std::shared_ptr<Model> decoders[2] = {load(half, platform::ModelFolder::textDecoder),
                                          load(compressed, platform::ModelFolder::textDecoder)};
    const EncoderWindow window = encoderWindow(*encoders[0]);
    const DecoderStep step = decoderStep(*decoders[0]);
    double bestWindow[2] = {1e30, 1e30};
    std::vector<double> tokens[2];
    for (int m = 0; m < 2; ++m) {
        encoders[m]->prediction(*window.input);
        decoders[m]->prediction(*step.input);
    }
    for (auto _ : state) {
        for (int m = 0; m < 2; ++m) {
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(encoders[m]->prediction(*window.input));
            bestWindow[m] = std::min(bestWindow[m], seconds(start));
        }
        // Steps in runs, as decoding makes them (each after a step of the same model, whose
        // caches it finds as a decoding loop leaves them), the two models' runs alternating
        // so that both see the same machine; the first step of a run, after the other
        // model's, is not counted.
        for (int m = 0; m < 2; ++m) {
            benchmark::DoNotOptimize(decoders[m]->prediction(*step.input));
            for (int t = 0; t < 20; ++t) {
                const auto start = std::chrono::steady_clock::now();
                benchmark::DoNotOptimize(decoders[m]->prediction(*step.input));
                tokens[m].push_back(seconds(start));
            }
        }
    }
    double medianToken[2];
    for (int m = 0; m < 2; ++m) {
        std::nth_element(tokens[m].begin(), tokens[m].begin() + static_cast<long>(tokens[m].size() / 2),
                         tokens[m].end());
        medianToken[m] = tokens[m][tokens[m].size() / 2];
    }
    const auto* halfDecoder = dynamic_cast<const runtime::TextDecoderModel*>(decoders[0].get());
    const auto* compressedDecoder = dynamic_cast<const runtime::TextDecoderModel*>(decoders[1].get());
    const double bandwidth = norvel::bench::readBandwidth(threads);
    state.counters["half_window_ms"] = bestWindow[0] * 1e3;
    state.counters["compressed_window_ms"] = bestWindow[1] * 1e3;
    state.counters["window_ratio"] = bestWindow[1] / bestWindow[0];
    state.counters["half_token_ms"] = medianToken[0] * 1e3;
    state.counters["compressed_token_ms"] = medianToken[1] * 1e3;
    state.counters["token_ratio"] = medianToken[1] / medianToken[0];
    state.counters["half_time_over_read"] =
        medianToken[0] / (static_cast<double>(halfDecoder->weightBytesPerStep()) / bandwidth);
    state.counters["compressed_time_over_read"] =
        medianToken[1] / (static_cast<double>(compressedDecoder->weightBytesPerStep()) / bandwidth);
    state.counters["half_time_over_stream"] =
        medianToken[0] /
        ((static_cast<double>(halfDecoder->weightBytesPerStep()) + stateBytesPerStep(*decoders[0])) / bandwidth);
    state.counters["compressed_time_over_stream"] =
        medianToken[1] /
        ((static_cast<double>(compressedDecoder->weightBytesPerStep()) + stateBytesPerStep(*decoders[1])) / bandwidth);
}

void BM_ModelRuntimeLoad(benchmark::State& state) {
    const std::string size = sizes[state.range(0)];
    useThreads(static_cast<int>(state.range(1)));
    const fs::path folder = modelFolder(size);
    double readSeconds = 0;
    for (const auto name : platform::ModelFolder::modelNames)
        readSeconds += norvel::bench::warmFileReadSeconds(platform::ModelFolder::compiledModel(folder, name) /
                                                          platform::ModelFolder::weightsFile);
    double perLoad = 1e30;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto mel = load(size, platform::ModelFolder::melSpectrogram);
        auto encoder = load(size, platform::ModelFolder::audioEncoder);
        auto decoder = load(size, platform::ModelFolder::textDecoder);
        benchmark::DoNotOptimize(decoder);
        perLoad = std::min(perLoad, seconds(start));
    }
    std::uint64_t parameters = 0;
    for (const auto name : platform::ModelFolder::modelNames) {
        const auto file = runtime::SafeTensorsFile::open(platform::ModelFolder::compiledModel(folder, name) /
                                                         platform::ModelFolder::weightsFile);
        for (const auto& [tensor, view] : file->tensors())
            parameters += static_cast<std::uint64_t>(view.elementCount());
    }
    const double weightBytes = static_cast<double>(norvel::bench::weightFileBytes(folder));
    state.counters["load_ms"] = perLoad * 1e3;
    state.counters["file_read_ms"] = readSeconds * 1e3;
    state.counters["load_over_read"] = perLoad / readSeconds;
    state.counters["weight_MB"] = weightBytes / 1e6;
    // The folder's weights over their parameters held in half precision.
    state.counters["folder_over_half"] = weightBytes / (2.0 * static_cast<double>(parameters));
}

// Resident memory of a loaded model set in steady use: three windows, each through the mel,
// the encoder and one decoder step, holding only the last window's outputs as the pipeline
// does. Measured in a fresh process (this binary, running only the probe below), so that
// memory other benchmarks left to the allocator does not hide any of it.
void BM_ModelRuntimeResidentProbe(benchmark::State& state) {
    if (!std::getenv("NORVEL_RESIDENT_PROBE")) {
        state.SkipWithError("runs inside BM_ModelRuntimeResident");
        for (auto _ : state) {}
        return;
    }
    const std::string size = sizes[state.range(0)];
    useThreads(static_cast<int>(state.range(1)));
    const fs::path folder = modelFolder(size);
    for (auto _ : state) {
        // The caller's inputs exist, written, before the models do; the models' outputs count.
        std::vector<MultiArray> windows;
        for (int w = 0; w < 3; ++w) {
            MultiArray audio({platform::audiowindow::samples}, MultiArrayDataType::float32);
            for (std::int64_t i = 0; i < audio.count(); ++i)
                audio.data<float>()[i] = 0.1f * std::sin(0.01f * static_cast<float>((w + 1) * i));
            windows.push_back(audio);
        }
        // The cache's shape from the decoder's description alone: loading a decoder here
        // would leave the process warmed (allocator, code) before the count begins.
        const Shape cacheShape = platform::ModelFolderManifests::readManifest(
                                     platform::ModelFolder::compiledModel(folder, platform::ModelFolder::textDecoder))
                                     .description.input("key_cache")
                                     ->multiArrayConstraint->shape;
        const MultiArray keys(cacheShape, MultiArrayDataType::float16), values(cacheShape, MultiArrayDataType::float16);
        MultiArray mask({1, cacheShape[3]}, MultiArrayDataType::int32);
        mask.data<std::int32_t>()[0] = 1;
        const MultiArray padding({1, cacheShape[3]}, MultiArrayDataType::float16);
        for (const MultiArray* written : {&keys, &values, &padding})
            std::memset(written->dataPointer(), 0, static_cast<std::size_t>(written->count()) * sizeof(Float16));
        const std::size_t before = norvel::bench::residentBytes();
        std::size_t mark = before;
        // What each step of the first window adds, so that a change shows where it lands.
        auto step = [&](const char* name) {
            const std::size_t now = norvel::bench::residentBytes();
            state.counters[name] = static_cast<double>(now - mark);
            mark = now;
        };
        auto mel = load(size, platform::ModelFolder::melSpectrogram);
        auto encoder = load(size, platform::ModelFolder::audioEncoder);
        auto decoder = load(size, platform::ModelFolder::textDecoder);
        step("probe_load_bytes");
        std::shared_ptr<FeatureProvider> features, embeds, logits;
        for (std::size_t w = 0; w < windows.size(); ++w) {
            // The previous window's outputs are let go before the next begins.
            features = embeds = logits = nullptr;
            features = mel->prediction(DictionaryFeatureProvider({{"audio", windows[w]}}));
            if (w == 0) step("probe_mel_bytes");
            embeds = encoder->prediction(*features);
            if (w == 0) step("probe_encoder_bytes");
            logits = decoder->prediction(DictionaryFeatureProvider(
                {{"input_ids", MultiArray::from({50258})},
                 {"cache_length", MultiArray::from({0})},
                 {"key_cache", keys},
                 {"value_cache", values},
                 {"kv_cache_update_mask", mask},
                 {"encoder_output_embeds", *embeds->featureValue("encoder_output_embeds")->multiArrayValue()},
                 {"decoder_key_padding_mask", padding}}));
            if (w == 0) {
                step("probe_decoder_bytes");
                state.counters["probe_first_bytes"] = static_cast<double>(norvel::bench::residentBytes() - before);
            }
        }
        state.counters["probe_resident_bytes"] = static_cast<double>(norvel::bench::residentBytes() - before);
        // The decoder's cross-attention keys and values as it holds them (every layer, every
        // audio frame), part of what the decoder step adds.
        state.counters["probe_cross_bytes"] =
            static_cast<double>(dynamic_cast<const runtime::TextDecoderModel&>(*decoder).crossStateBytes());
    }
}

void BM_ModelRuntimeResident(benchmark::State& state) {
    const std::string size = sizes[state.range(0)];
    const fs::path folder = modelFolder(size);  // generated here, not inside the probe
    const std::string filter = "--benchmark_filter=^BM_ModelRuntimeResidentProbe/" + std::to_string(state.range(0)) +
                               "/" + std::to_string(state.range(1)) + "/";
    for (auto _ : state) {
        const std::string command = "NORVEL_RESIDENT_PROBE=1 /proc/" + std::to_string(::getpid()) + "/exe '" + filter +
                                    "' --benchmark_counters_tabular=false 2>/dev/null";
        std::string output;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[4096];
            while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
            ::pclose(pipe);
        }
        // Counters print with SI suffixes (k, M, G); a missing one reads as negative.
        auto counter = [&](const std::string& name) {
            const auto at = output.find("probe_" + name + "_bytes=");
            if (at == std::string::npos) return -1.0;
            const std::size_t start = at + name.size() + 13;
            double value = std::strtod(output.c_str() + start, nullptr);
            const char suffix = output[output.find_first_not_of("0123456789.", start)];
            if (suffix == 'k') value *= 1e3;
            if (suffix == 'M') value *= 1e6;
            if (suffix == 'G') value *= 1e9;
            return value;
        };
        const double value = counter("resident");
        if (value < 0) {
            state.SkipWithError("the probe process reported nothing");
            break;
        }
        const double weights = static_cast<double>(norvel::bench::weightFileBytes(folder));
        state.counters["resident_MB"] = value / 1e6;
        state.counters["weight_MB"] = weights / 1e6;
        state.counters["resident_over_weights"] = value / weights;
        // Where it went: the models' loads, then each prediction of the first window in turn
        // (the decoder's cross-attention keys and values are part of its prediction), and
        // the whole after the first window.
        for (const char* name : {"load", "mel", "encoder", "decoder", "cross", "first"})
            state.counters[std::string(name) + "_MB"] = counter(name) / 1e6;
    }
}

void sizesAndThreads(benchmark::internal::Benchmark* b) {
    for (int threads : {8, 2, 1})
        for (int size = 0; size < (threads == 1 ? 3 : 6); ++size) b->Args({size, threads});
}

}  // namespace

BENCHMARK(BM_ModelRuntimeMel)->Apply(sizesAndThreads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ModelRuntimeEncoder)->Apply(sizesAndThreads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ModelRuntimeDecoderToken)->Apply(sizesAndThreads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ModelRuntimeCompressedOverHalf)
    ->ArgsProduct({{0, 1}, {8, 2}})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ModelRuntimeLoad)->Apply(sizesAndThreads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ModelRuntimeResident)->Apply(sizesAndThreads)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ModelRuntimeResidentProbe)
    ->Apply(sizesAndThreads)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
