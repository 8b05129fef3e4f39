// murmex-convert: turns a hub Whisper checkpoint folder into a model folder of the
// runtime's format (MelSpectrogram, AudioEncoder and TextDecoder, plus the tokenizer files).
// The model folder appears whole or not at all: the models are written into a hidden folder
// beside it, which replaces it only once everything is written.
//
//   murmex-convert <checkpoint folder> <model folder> [--package] [--cache-length N] [--quiet]
#include "Platform/ML/Conversion/ModelConverter.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <exception>
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

}  // namespace

int main(int argc, char** argv) {
    using namespace platform;
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: murmex-convert <checkpoint folder> <model folder> [--package] [--cache-length N] [--quiet]\n");
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
            else {
                std::fprintf(stderr, "murmex-convert: unknown option %s\n", option.c_str());
                return 2;
            }
        }
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
