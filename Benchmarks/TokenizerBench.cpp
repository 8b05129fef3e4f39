// Loading the multilingual Whisper tokenizer (on the path of every model load), and encoding
// and decoding 10,000 words of mixed text with it.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <filesystem>

#include "HalvexCore/AutoTokenizerWrapper.h"
#include "HalvexCore/External/Hub/Extensions/JSONSerialization.h"
#include "HalvexCore/External/Tokenizers/PreTrainedTokenizer.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

std::string folder() {
    return std::string(NORVEL_SHARED_FIXTURES) + "/tokenizers/multilingual";
}

std::unique_ptr<halvex::PreTrainedTokenizer> load() {
    auto config = halvex::JSONSerialization::bomPreservingConfig(readFile(folder() + "/tokenizer_config.json"));
    auto data = halvex::JSONSerialization::bomPreservingConfig(readFile(folder() + "/tokenizer.json"));
    return std::make_unique<halvex::PreTrainedTokenizer>(config, data, true);
}

const halvex::PreTrainedTokenizer& tokenizer() {
    static const auto loaded = load();
    return *loaded;
}

// 10,000 words of mixed text: English prose with numbers and punctuation, other scripts,
// accents, emoji and the odd special token.
const std::string& mixedText() {
    static const std::string text = [] {
        const std::vector<std::string> words = {
            "And", "so", "my", "fellow", "Americans,", "ask", "not", "what", "your", "country", "can", "do",
            "for", "you;", "it's", "we'll", "3.14159", "2024", "Привет,", "как", "дела?", "こんにちは、世界。",
            "你好，世界！", "안녕하세요", "مرحبا", "नमस्ते", "¿Dónde", "está", "la", "biblioteca?", "Guten",
            "Tag!", "emoji", "🎉👍🏽", "e\u0301te\u0301", "https://example.com/path?q=1", "<|0.00|>", "don't",
            "THE", "quick", "brown", "fox", "jumps", "over", "the", "lazy", "dog.", "\n",
        };
        std::string out;
        for (int i = 0; i < 10000; ++i) {
            if (i) out += ' ';
            out += words[static_cast<size_t>(i * 7 + i / 13) % words.size()];
        }
        return out;
    }();
    return text;
}

// The whole load as the speech library runs it: the local-folder loader reads and parses the
// files and builds the tokenizer.
void BM_TokenizerLoadMultilingual(benchmark::State& state) {
    const auto cache = std::filesystem::temp_directory_path() / "murmex-bench-tokenizer-cache";
    const halvex::HubApiWrapper hub(cache, std::string(), std::string("http://127.0.0.1:9"));
    for (auto _ : state) {
        auto loaded = halvex::AutoTokenizerWrapper::fromModelFolder(folder(), hub, true);
        benchmark::DoNotOptimize(loaded.impl.get());
    }
}
BENCHMARK(BM_TokenizerLoadMultilingual)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_TokenizerBuildFromParsedFiles(benchmark::State& state) {
    auto config = halvex::JSONSerialization::bomPreservingConfig(readFile(folder() + "/tokenizer_config.json"));
    auto data = halvex::JSONSerialization::bomPreservingConfig(readFile(folder() + "/tokenizer.json"));
    for (auto _ : state) {
        halvex::PreTrainedTokenizer built(config, data, true);
        benchmark::DoNotOptimize(&built);
    }
}
BENCHMARK(BM_TokenizerBuildFromParsedFiles)->Unit(benchmark::kMillisecond);

void BM_TokenizerEncode10kWords(benchmark::State& state) {
    const auto& t = tokenizer();
    const std::string& text = mixedText();
    size_t tokens = 0;
    for (auto _ : state) {
        auto ids = t.encode(text, false);
        tokens = ids.size();
        benchmark::DoNotOptimize(ids.data());
    }
    state.counters["tokens"] = static_cast<double>(tokens);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_TokenizerEncode10kWords)->Unit(benchmark::kMillisecond);

void BM_TokenizerDecode10kWords(benchmark::State& state) {
    const auto& t = tokenizer();
    const auto ids = t.encode(mixedText(), false);
    for (auto _ : state) {
        auto text = t.decode(ids);
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["tokens"] = static_cast<double>(ids.size());
}
BENCHMARK(BM_TokenizerDecode10kWords)->Unit(benchmark::kMillisecond);

}  // namespace
