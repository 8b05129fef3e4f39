// Reading configuration and tokenizer files into Config, and the string operations that
// tokenizers run on every vocabulary entry.
#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

const std::string& tokenizerJson() {
    static const std::string data = [] {
        std::ifstream file(std::string(NORVEL_TEST_FIXTURES) + "/tokenizers/multilingual/tokenizer.json",
                           std::ios::binary);
        std::ostringstream contents;
        contents << file.rdbuf();
        return contents.str();
    }();
    return data;
}

void BM_ConfigStreamingRead(benchmark::State& state) {
    const std::string& data = tokenizerJson();
    for (auto _ : state) {
        halvex::Config config = halvex::JSONSerialization::bomPreservingConfig(data);
        benchmark::DoNotOptimize(config);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_ConfigStreamingRead)->Unit(benchmark::kMillisecond);

void BM_ConfigDocumentThenConvert(benchmark::State& state) {
    const std::string& data = tokenizerJson();
    for (auto _ : state) {
        halvex::Config config =
            halvex::Config::fromParsedJSON(halvex::JSONSerialization::bomPreservingJsonObject(data));
        benchmark::DoNotOptimize(config);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_ConfigDocumentThenConvert)->Unit(benchmark::kMillisecond);

void BM_ConfigVocabularyLookups(benchmark::State& state) {
    const halvex::Config config = halvex::JSONSerialization::bomPreservingConfig(tokenizerJson());
    const halvex::Config vocab = config["model"]["vocab"];
    std::vector<halvex::BinaryDistinctString> keys;
    for (const auto& [key, value] : *vocab.dictionary()) keys.push_back(key);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(vocab[keys[i]].integer());
        i = (i + 1) % keys.size();
    }
}
BENCHMARK(BM_ConfigVocabularyLookups);

void BM_StringCount(benchmark::State& state) {
    const halvex::BinaryDistinctString ascii("Ask not what your country can do for you");
    const halvex::BinaryDistinctString accented("Ça va très bien, merci beaucoup à vous tous");
    for (auto _ : state) {
        benchmark::DoNotOptimize(ascii.count());
        benchmark::DoNotOptimize(accented.count());
    }
}
BENCHMARK(BM_StringCount);

}  // namespace
