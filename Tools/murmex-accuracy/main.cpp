// murmex-accuracy: how far compressed model folders' outputs lie from the half-precision folder
// converted from the same checkpoint, on one 30 s window of speech: the encoder output's
// relative RMS error, the decoder logits' relative RMS error over a teacher-forced sequence of
// tokens (the reference's own greedy choices), and how often the largest logit agrees.
//
//   murmex-accuracy <reference folder> <folder>… --audio FILE [--steps N]
#include "Murmex/Audio/AudioProcessor.h"
#include "Platform/ML/Conversion/CompressionAccuracy.h"
#include "Platform/ML/ModelFolder.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr, "usage: murmex-accuracy <reference folder> <folder>... --audio FILE [--steps N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> folders;
    std::string audio;
    int steps = 64;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--audio" && i + 1 < argc)
            audio = argv[++i];
        else if (argument == "--steps" && i + 1 < argc)
            steps = std::atoi(argv[++i]);
        else if (argument.starts_with("--"))
            return usage();
        else
            folders.emplace_back(argument);
    }
    if (folders.size() < 2 || audio.empty() || steps < 1) return usage();
    try {
        const auto samples = murmex::AudioProcessor::loadAudioAsFloatArray(audio);
        std::printf("%-60s %12s %9s %9s %7s\n", "folder", "bytes", "encoder", "logits", "top-1");
        for (std::size_t i = 1; i < folders.size(); ++i) {
            const auto accuracy =
                platform::conversion::CompressionAccuracy::measure(folders[0], folders[i], samples, steps);
            std::printf("%-60s %12ju %8.2f%% %8.2f%% %6.1f%%\n", folders[i].filename().c_str(),
                        platform::ModelFolder::bytesOnDisk(folders[i]), 100 * accuracy.encoderError,
                        100 * accuracy.logitsError, 100 * accuracy.topOneAgreement);
            std::fflush(stdout);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "murmex-accuracy: %s\n", error.what());
        return 1;
    }
    return 0;
}
