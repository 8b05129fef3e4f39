// murmex-convert: turns a hub Whisper checkpoint folder into a model folder of the
// runtime's format (MelSpectrogram, AudioEncoder and TextDecoder, plus the tokenizer files).
// The model folder appears whole or not at all: the models are written into a hidden folder
// beside it, which replaces it only once everything is written and loads. Only a new or empty
// folder or a complete model folder is replaced; two conversions into one folder take turns.
//
//   murmex-convert [--package] [--cache-length N] [--quiet] [--size-budget MB | --half-precision]
//                  <checkpoint folder> <model folder>
//
// Options may stand before, between or after the two folders; "--" ends the options.
// A model folder named "…_<N>MB" is compressed to at most N × 10^6 bytes; --size-budget sets
// another budget, --half-precision keeps every matrix in half precision whatever the name says.
// The compression plan (code widths by layer) and the folder's final size are printed.
#include "Platform/ML/Conversion/CompressionPlan.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/Text/MessageText.h"
#include "Platform/Text/NumberText.h"

#include <pthread.h>
#include <signal.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

}  // namespace

constexpr const char* usage =
    "usage: murmex-convert [--package] [--cache-length N] [--quiet] [--size-budget MB | --half-precision]\n"
    "                      <checkpoint folder> <model folder>\n";

int main(int argc, char** argv) {
    using namespace platform;
    conversion::ConversionOptions options;
    bool quiet = false;
    std::vector<std::string> folders;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || !argument.starts_with("-") || argument == "-") {
            folders.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--package") {
            options.packages = true;
        } else if (argument == "--quiet") {
            quiet = true;
        } else if (argument == "--half-precision") {
            options.halfPrecision = true;
        } else if (argument == "--size-budget") {
            const long long value = i + 1 < argc ? numbertext::parseInteger(argv[i + 1]).value_or(0) : 0;
            if (value < 1 || value > (1LL << 40)) {
                std::fprintf(stderr, "murmex-convert: --size-budget expects a whole number of megabytes from 1 on%s\n",
                             i + 1 < argc ? (", not \"" + messagetext::shortened(argv[i + 1]) + "\"").c_str() : "");
                return 2;
            }
            options.sizeBudget = static_cast<std::uint64_t>(value) * 1000000u;
            ++i;
        } else if (argument == "--cache-length") {
            const long long value = i + 1 < argc ? numbertext::parseInteger(argv[i + 1]).value_or(0) : 0;
            if (value < 1 || value > (1 << 16)) {
                std::fprintf(stderr, "murmex-convert: --cache-length expects a whole number of positions from 1 on%s\n",
                             i + 1 < argc ? (", not \"" + messagetext::shortened(argv[i + 1]) + "\"").c_str() : "");
                return 2;
            }
            options.cacheLength = static_cast<int>(value);
            ++i;
        } else {
            std::fprintf(stderr, "murmex-convert: unknown option %s\n%s", messagetext::shortened(argument).c_str(),
                         usage);
            return 2;
        }
    }
    if (folders.size() != 2) {
        std::fprintf(stderr, "murmex-convert: expected a checkpoint folder and a model folder, got %zu folder%s\n%s",
                     folders.size(), folders.size() == 1 ? "" : "s", usage);
        return 2;
    }
    if (options.halfPrecision && options.sizeBudget) {
        std::fprintf(stderr, "murmex-convert: --size-budget and --half-precision exclude each other\n");
        return 2;
    }
    const std::string& checkpoint = folders[0];
    const std::string& destination = folders[1];
    int shown = -1;
    options.planned = [&shown](const conversion::CompressionPlan& plan) {
        if (shown >= 0 && shown < 100) std::fputc('\n', stderr);
        shown = -1;
        std::printf("%s", plan.describe().c_str());
        std::fflush(stdout);
    };
    try {
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
        const auto outcome = conversion::installConvertedModel(checkpoint, destination, options);
        if (outcome == conversion::InstallOutcome::installedByAnother)
            std::fprintf(stderr,
                         "murmex-convert: another conversion installed a complete model at %s while this one "
                         "waited for it; that model was left in place\n",
                         destination.c_str());
        std::printf("%s: %ju bytes\n", destination.c_str(), ModelFolder::bytesOnDisk(destination));
    } catch (const conversion::ConversionCancelled&) {
        std::fprintf(stderr, "\nmurmex-convert: interrupted; %s was left as it was\n", destination.c_str());
        return 130;
    } catch (const std::exception& error) {
        if (shown >= 0 && shown < 100) std::fputc('\n', stderr);
        std::fprintf(stderr, "murmex-convert: %s\n", error.what());
        return 1;
    }
    return 0;
}
