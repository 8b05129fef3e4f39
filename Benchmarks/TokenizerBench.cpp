// Loading the multilingual Whisper tokenizer (on the path of every model load), and encoding
// and decoding 10,000 words of mixed text with it. Also the peak memory of loading a large
// generated tokenizer.json, against the file's size.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unordered_set>
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

std::string folder() { return std::string(NORVEL_TEST_FIXTURES) + "/tokenizers/multilingual"; }

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
            "And",
            "so",
            "my",
            "fellow",
            "Americans,",
            "ask",
            "not",
            "what",
            "your",
            "country",
            "can",
            "do",
            "for",
            "you;",
            "it's",
            "we'll",
            "3.14159",
            "2024",
            "Привет,",
            "как",
            "дела?",
            "こんにちは、世界。",
            "你好，世界！",
            "안녕하세요",
            "مرحبا",
            "नमस्ते",
            "¿Dónde",
            "está",
            "la",
            "biblioteca?",
            "Guten",
            "Tag!",
            "emoji",
            "🎉👍🏽",
            "e\u0301te\u0301",
            "https://example.com/path?q=1",
            "<|0.00|>",
            "don't",
            "THE",
            "quick",
            "brown",
            "fox",
            "jumps",
            "over",
            "the",
            "lazy",
            "dog.",
            "\n",
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

// A byte-level BPE tokenizer.json with `count` vocabulary entries and as many merges (as
// "a b" strings, or as ["a", "b"] pairs), written to `folder` with its configuration.
void writeLargeTokenizer(const std::filesystem::path& folder, size_t count, bool pairs) {
    std::filesystem::create_directories(folder);
    std::vector<std::string> tokens;
    tokens.reserve(count);
    std::unordered_set<std::string> seen;
    auto append = [](std::string& out, char32_t c) {  // UTF-8 of one byte-level character
        if (c < 0x80) {
            if (c == '"' || c == '\\') out += '\\';
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    for (char32_t c = 0x21; c < 0x7F; ++c) tokens.emplace_back(), append(tokens.back(), c);
    for (char32_t c = 0xA1; c < 0x100; ++c) tokens.emplace_back(), append(tokens.back(), c);
    for (char32_t c = 0x100; c < 0x144; ++c) tokens.emplace_back(), append(tokens.back(), c);
    for (const auto& token : tokens) seen.insert(token);
    std::mt19937_64 random(1);
    std::vector<std::pair<size_t, size_t>> merges;
    merges.reserve(count);
    while (tokens.size() < count) {
        const size_t a = random() % tokens.size(), b = random() % std::min<size_t>(tokens.size(), 1000);
        std::string joined = tokens[a] + tokens[b];
        if (joined.size() > 16 || !seen.insert(joined).second) continue;
        merges.emplace_back(a, b);
        tokens.push_back(std::move(joined));
    }
    std::ofstream out(folder / "tokenizer.json", std::ios::binary);
    out << R"({"added_tokens":[{"id":)" << tokens.size() << R"(,"content":"<|endoftext|>","special":true}],)"
        << R"("pre_tokenizer":{"type":"ByteLevel","add_prefix_space":false},"decoder":{"type":"ByteLevel"},)"
        << R"("model":{"type":"BPE","vocab":{)";
    for (size_t i = 0; i < tokens.size(); ++i) out << (i ? ",\"" : "\"") << tokens[i] << "\":" << i;
    out << R"(},"merges":[)";
    for (size_t i = 0; i < merges.size(); ++i) {
        const auto& [a, b] = merges[i];
        if (i) out << ',';
        if (pairs)
            out << "[\"" << tokens[a] << "\",\"" << tokens[b] << "\"]";
        else
            out << '"' << tokens[a] << ' ' << tokens[b] << '"';
    }
    out << "]}}";
    std::ofstream(folder / "tokenizer_config.json")
        << R"({"tokenizer_class":"GPT2Tokenizer","unk_token":"<|endoftext|>","eos_token":"<|endoftext|>"})";
}

long statusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
    return 0;
}

// Loads the tokenizer in a child process and reports how far its resident memory rose above
// what it was before the load (the kernel's high-water mark is reset first), in kilobytes.
long loadPeakKilobytes(const std::filesystem::path& folder) {
    int channel[2];
    if (::pipe(channel) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = statusKilobytes("VmRSS:");
        long rise = -1;
        try {
            const halvex::HubApiWrapper hub(folder / "cache", std::string(), std::string("http://127.0.0.1:9"));
            auto loaded = halvex::AutoTokenizerWrapper::fromModelFolder(folder, hub, true);
            benchmark::DoNotOptimize(loaded.impl.get());
            rise = statusKilobytes("VmHWM:") - before;
        } catch (...) {}
        [[maybe_unused]] auto written = ::write(channel[1], &rise, sizeof rise);
        ::_exit(0);
    }
    ::close(channel[1]);
    long rise = -1;
    if (::read(channel[0], &rise, sizeof rise) != sizeof rise) rise = -1;
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return rise;
}

// Peak memory of loading a large tokenizer.json through the folder loader, as a multiple of
// the file's size (kept under 4). Argument: 0 for merges as strings, 1 as pairs.
void BM_TokenizerLoadLargeFilePeakMemory(benchmark::State& state) {
    const bool pairs = state.range(0) == 1;
    const auto folder =
        std::filesystem::temp_directory_path() /
        ("murmex-bench-large-tokenizer-" + std::to_string(::getpid()) + (pairs ? "-pairs" : "-strings"));
    writeLargeTokenizer(folder, 1000000, pairs);
    const double fileBytes = static_cast<double>(std::filesystem::file_size(folder / "tokenizer.json"));
    long peak = 0;
    for (auto _ : state) peak = loadPeakKilobytes(folder);
    std::filesystem::remove_all(folder);
    if (peak < 0) {
        state.SkipWithError("the load failed");
        return;
    }
    state.counters["fileMB"] = fileBytes / 1e6;
    state.counters["peakMB"] = static_cast<double>(peak) * 1024 / 1e6;
    state.counters["peakOverFile"] = static_cast<double>(peak) * 1024 / fileBytes;
}
BENCHMARK(BM_TokenizerLoadLargeFilePeakMemory)->Arg(0)->Arg(1)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
