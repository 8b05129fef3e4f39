// murmex-convert: turns a hub Whisper checkpoint folder into a model folder of the
// runtime's format (MelSpectrogram, AudioEncoder and TextDecoder, plus the tokenizer files).
// The model folder appears whole or not at all: the models are written into a hidden folder
// beside it, which replaces it only once everything is written.
//
//   murmex-convert <checkpoint folder> <model folder> [--package] [--cache-length N] [--quiet]
//                  [--size-budget MB | --half-precision]
//
// A model folder named "…_<N>MB" is compressed to at most N × 10^6 bytes; --size-budget sets
// another budget, --half-precision keeps every matrix in half precision whatever the name says.
// The compression plan (code widths by layer) and the folder's final size are printed.
#include "Platform/ML/Conversion/CompressionPlan.h"
#include "Platform/ML/Conversion/ModelConverter.h"

#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stop_token>
#include <string>
#include <thread>

namespace {

// Ctrl-C or a termination request stops the conversion between two tensors; a thread of its
// own waits for the signals, so nothing runs inside a signal handler.
class InterruptWatcher {
public:
    InterruptWatcher() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] {
            int received = 0;
            if (sigwait(&signals_, &received) == 0 && received != SIGUSR1) source_.request_stop();
        });
    }
    ~InterruptWatcher() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }
    std::stop_token token() const { return source_.get_token(); }

private:
    sigset_t signals_{};
    std::stop_source source_;
    std::thread thread_;
};

// Bytes of every file in the folder.
std::uintmax_t folderBytes(const std::filesystem::path& folder) {
    std::uintmax_t bytes = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) bytes += entry.file_size();
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace platform;
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: murmex-convert <checkpoint folder> <model folder> [--package] [--cache-length N] [--quiet]\n"
            "                      [--size-budget MB | --half-precision]\n");
        return 2;
    }
    conversion::ConversionOptions options;
    bool quiet = false;
    int shown = -1;
    try {
        for (int i = 3; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "--package")
                options.packages = true;
            else if (option == "--cache-length" && i + 1 < argc)
                options.cacheLength = std::stoi(argv[++i]);
            else if (option == "--quiet")
                quiet = true;
            else if (option == "--half-precision")
                options.halfPrecision = true;
            else if (option == "--size-budget" && i + 1 < argc) {
                const std::string value = argv[++i];
                std::uint64_t megabytes = 0;
                const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), megabytes);
                if (error != std::errc() || end != value.data() + value.size() || megabytes > UINT64_MAX / 1000000) {
                    std::fprintf(stderr, "murmex-convert: --size-budget expects a whole number of megabytes\n");
                    return 2;
                }
                options.sizeBudget = megabytes * 1000000;
            } else {
                std::fprintf(stderr, "murmex-convert: unknown option %s\n", option.c_str());
                return 2;
            }
        }
        if (options.halfPrecision && options.sizeBudget) {
            std::fprintf(stderr, "murmex-convert: --size-budget and --half-precision exclude each other\n");
            return 2;
        }
        options.planned = [&shown](const conversion::CompressionPlan& plan) {
            if (shown >= 0) std::fputc('\n', stderr);
            shown = -1;
            std::printf("%s", plan.describe().c_str());
            std::fflush(stdout);
        };
        InterruptWatcher watcher;
        options.stop = watcher.token();
        if (!quiet) {
            options.progress = [&shown](double fraction) {
                const int percent = static_cast<int>(fraction * 100.0);
                if (percent == shown) return;
                shown = percent;
                std::fprintf(stderr, "\rconverting… %3d%%", percent);
                if (percent >= 100) std::fputc('\n', stderr);
            };
        }
        conversion::installConvertedModel(argv[1], argv[2], options);
        std::printf("%s: %ju bytes\n", argv[2], folderBytes(argv[2]));
    } catch (const conversion::ConversionCancelled&) {
        std::fprintf(stderr, "\nmurmex-convert: interrupted; %s was left as it was\n", argv[2]);
        return 130;
    } catch (const std::exception& error) {
        if (shown >= 0) std::fputc('\n', stderr);
        std::fprintf(stderr, "murmex-convert: %s\n", error.what());
        return 1;
    }
    return 0;
}
