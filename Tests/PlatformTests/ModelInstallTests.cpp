// Installing a converted model folder: what a destination may hold, destinations as users type
// them, two conversions into one destination at once, a stop at any point, and what runs that
// were killed part-way leave behind.
#include "Platform/IO/FileLock.h"
#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/Conversion/ModelInstaller.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/ModelFolder.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <latch>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace platform;
using namespace platform::conversion;
using norvel::test::leftoversBeside;
using norvel::test::readText;
using norvel::test::snapshot;
using norvel::test::TemporaryDirectory;
using norvel::test::writeText;
namespace fs = std::filesystem;
using Snapshot = std::map<std::string, std::string>;

// Two small checkpoints of different widths, made once, and the model folder each converts into.
struct Checkpoints {
    TemporaryDirectory dir;
    fs::path wide = dir / "wide", narrow = dir / "narrow";
    fs::path wideModel = dir / "wide-model", narrowModel = dir / "narrow-model";

    Checkpoints() {
        make(wide, 64, 5);
        make(narrow, 32, 6);
        convertCheckpoint(wide, wideModel);
        convertCheckpoint(narrow, narrowModel);
    }
    static void make(const fs::path& folder, int width, std::uint64_t seed) {
        CheckpointConfig config = *checkpointPreset("tiny");
        config.width = width;
        config.encoderHeads = config.decoderHeads = 2;
        config.encoderLayers = config.decoderLayers = 1;
        config.alignmentHeads = {{0, 1}};
        GeneratorOptions options;
        options.seed = seed;
        options.tokenizerFolder = norvel::test::fixture("tokenizers/multilingual");
        generateCheckpoint(folder, config, options);
    }
};

const Checkpoints& checkpoints() {
    static const Checkpoints made;
    return made;
}

// Runs with another current folder.
class CurrentFolder {
public:
    explicit CurrentFolder(const fs::path& folder) : saved_(fs::current_path()) { fs::current_path(folder); }
    ~CurrentFolder() { fs::current_path(saved_); }

private:
    fs::path saved_;
};

TEST(ModelInstall, RefusesDestinationsThatHoldAnythingButAModelAndKeepsThem) {
    const auto& made = checkpoints();
    struct Case {
        const char* name;
        // Prepares the folder; answers the destination and the checkpoint to convert.
        std::function<std::pair<fs::path, fs::path>(const fs::path&)> prepare;
        const char* expected;
    };
    const auto checkpointCopy = [&](const fs::path& folder) {
        fs::create_directories(folder);
        fs::copy(made.wide, folder, fs::copy_options::recursive);
        return folder;
    };
    const Case cases[] = {
        {"a user's file",
         [&](const fs::path& dir) {
             writeText(dir / "notes.txt", "my notes");
             return std::pair{dir / "notes.txt", made.wide};
         },
         "it is a file, not a folder"},
        {"a folder of other files",
         [&](const fs::path& dir) {
             writeText(dir / "documents" / "letter.txt", "dear");
             return std::pair{dir / "documents", made.wide};
         },
         "the folder holds other files (such as \"letter.txt\")"},
        {"an incomplete model folder",
         [&](const fs::path& dir) {
             fs::copy(made.narrowModel, dir / "model", fs::copy_options::recursive);
             fs::remove(dir / "model" / "TextDecoder.mlmodelc" / "weights.safetensors");
             return std::pair{dir / "model", made.wide};
         },
         "is not a complete model folder"},
        {"the checkpoint folder itself",
         [&](const fs::path& dir) {
             const auto checkpoint = checkpointCopy(dir / "checkpoint");
             return std::pair{checkpoint, checkpoint};
         },
         "it is the checkpoint folder"},
        {"a link to the checkpoint folder",
         [&](const fs::path& dir) {
             const auto checkpoint = checkpointCopy(dir / "checkpoint");
             fs::create_directory_symlink(checkpoint, dir / "link");
             return std::pair{dir / "link", checkpoint};
         },
         "it is the checkpoint folder"},
        {"a folder inside the checkpoint",
         [&](const fs::path& dir) {
             const auto checkpoint = checkpointCopy(dir / "checkpoint");
             return std::pair{checkpoint / "model", checkpoint};
         },
         "it lies inside the checkpoint folder"},
        {"the folder of the checkpoint and other models",
         [&](const fs::path& dir) {
             const auto checkpoint = checkpointCopy(dir / "Models" / "checkpoint");
             fs::copy(made.narrowModel, dir / "Models" / "openai_whisper-base", fs::copy_options::recursive);
             return std::pair{dir / "Models", checkpoint};
         },
         "it contains the checkpoint folder"},
        {"a name longer than the file system takes",
         [&](const fs::path& dir) {
             return std::pair{dir / std::string(300, 'n'), made.wide};
         },
         "takes names of at most 255"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        TemporaryDirectory dir;
        const auto [destination, checkpoint] = row.prepare(dir.path());
        const Snapshot before = snapshot(dir.path());
        try {
            installConvertedModel(checkpoint, destination);
            ADD_FAILURE() << "the destination was accepted";
        } catch (const MLError& error) {
            EXPECT_EQ(error.code(), MLError::Code::invalidArgument);
            EXPECT_NE(std::string(error.what()).find(row.expected), std::string::npos) << error.what();
        }
        EXPECT_EQ(snapshot(dir.path()), before) << "nothing may change";
    }
}

TEST(ModelInstall, InstallsIntoNewEmptyOrModelFoldersHoweverTheyAreTyped) {
    const auto& made = checkpoints();
    const Snapshot expected = snapshot(made.wideModel);
    struct Case {
        const char* name;
        // Prepares the folder; answers the destination as typed and where the model must end up.
        std::function<std::pair<std::string, fs::path>(const fs::path&)> prepare;
    };
    const Case cases[] = {
        {"a new folder below new folders",
         [](const fs::path& dir) {
             return std::pair{(dir / "a" / "b" / "model").string(), dir / "a" / "b" / "model"};
         }},
        {"an empty folder",
         [](const fs::path& dir) {
             fs::create_directory(dir / "empty");
             return std::pair{(dir / "empty").string(), dir / "empty"};
         }},
        {"a model folder to replace",
         [&](const fs::path& dir) {
             fs::copy(made.narrowModel, dir / "model", fs::copy_options::recursive);
             return std::pair{(dir / "model").string(), dir / "model"};
         }},
        {"a bare relative name",
         [](const fs::path& dir) {
             return std::pair{std::string("model"), dir / "model"};
         }},
        {"a trailing slash",
         [](const fs::path& dir) {
             return std::pair{(dir / "model").string() + "/", dir / "model"};
         }},
        {"a relative path with dots",
         [](const fs::path& dir) {
             return std::pair{std::string("./sub/../model/."), dir / "model"};
         }},
        {"a long name whose hidden names would pass the limit",
         [](const fs::path& dir) {
             return std::pair{(dir / std::string(250, 'l')).string(), dir / std::string(250, 'l')};
         }},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        TemporaryDirectory dir;
        const CurrentFolder inside(dir.path());
        const auto [typed, installed] = row.prepare(dir.path());
        EXPECT_EQ(installConvertedModel(made.wide, typed), InstallOutcome::installed);
        EXPECT_EQ(snapshot(installed), expected);
        EXPECT_EQ(leftoversBeside(installed), std::vector<std::string>{});
    }
}

TEST(ModelInstall, TwoConversionsIntoOneDestinationLeaveOneWholeModel) {
    const auto& made = checkpoints();
    const Snapshot wide = snapshot(made.wideModel), narrow = snapshot(made.narrowModel);
    for (const bool earlierModel : {false, true, false, true}) {
        SCOPED_TRACE(earlierModel ? "over an earlier model" : "into a new folder");
        TemporaryDirectory dir;
        const fs::path destination = dir / "model";
        if (earlierModel) fs::copy(made.narrowModel, destination, fs::copy_options::recursive);
        std::latch start(2);
        std::optional<InstallOutcome> outcomes[2];
        std::string errors[2];
        const fs::path sources[2] = {made.wide, made.narrow};
        std::vector<std::thread> runs;
        for (int i = 0; i < 2; ++i) {
            runs.emplace_back([&, i] {
                start.arrive_and_wait();
                try {
                    outcomes[i] = installConvertedModel(sources[i], destination);
                } catch (const std::exception& error) {
                    errors[i] = error.what();
                }
            });
        }
        for (auto& run : runs) run.join();
        EXPECT_EQ(errors[0], "");
        EXPECT_EQ(errors[1], "");
        EXPECT_TRUE(outcomes[0] == InstallOutcome::installed || outcomes[1] == InstallOutcome::installed);
        const Snapshot result = snapshot(destination);
        EXPECT_TRUE(result == wide || result == narrow) << "the models of one checkpoint, whole";
        EXPECT_EQ(leftoversBeside(destination), std::vector<std::string>{});
    }
}

TEST(ModelInstall, AStopAtAnyPointLeavesTheDestinationAsItWas) {
    const auto& made = checkpoints();
    // The reports a whole conversion makes.
    int reports = 0;
    {
        TemporaryDirectory dir;
        ConversionOptions options;
        options.progress = [&](double) { ++reports; };
        installConvertedModel(made.wide, dir / "model", options);
    }
    ASSERT_GT(reports, 20);
    // A stop requested before anything starts, during the reading, the writing of each model
    // (the decoder last), and at the last report, after the tokenizer files are copied.
    std::set<int> stops = {0, 1, reports / 4, reports / 2, 3 * reports / 4, reports - 2, reports - 1, reports};
    TemporaryDirectory dir;
    const fs::path destination = dir / "model";
    fs::copy(made.narrowModel, destination, fs::copy_options::recursive);
    const Snapshot before = snapshot(destination);
    for (const int stop : stops) {
        SCOPED_TRACE("a stop at report " + std::to_string(stop) + " of " + std::to_string(reports));
        std::stop_source source;
        if (stop == 0) source.request_stop();
        int count = 0;
        ConversionOptions options;
        options.stop = source.get_token();
        options.progress = [&](double) {
            if (++count == stop) source.request_stop();
        };
        EXPECT_THROW(installConvertedModel(made.wide, destination, options), ConversionCancelled);
        EXPECT_EQ(snapshot(destination), before);
        EXPECT_EQ(leftoversBeside(destination), std::vector<std::string>{});
    }

    // A stop while waiting for another conversion into the same destination ends the wait.
    const auto held = FileLock::acquire(dir / ".model.lock");
    ASSERT_TRUE(held.has_value());
    std::stop_source source;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        source.request_stop();
    });
    ConversionOptions options;
    options.stop = source.get_token();
    const auto began = std::chrono::steady_clock::now();
    EXPECT_THROW(installConvertedModel(made.wide, destination, options), ConversionCancelled);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    EXPECT_EQ(snapshot(destination), before);
}

// Whatever writes the staging folder, a folder that the runtime would refuse never replaces the
// destination.
TEST(ModelInstall, AFolderTheRuntimeWouldRefuseIsNeverInstalled) {
    const auto& made = checkpoints();
    struct Case {
        const char* name;
        std::function<void(const fs::path& staging)> damage;
        const char* expected;
    };
    const Case cases[] = {
        {"models of two checkpoints",
         [&](const fs::path& staging) {
             fs::remove_all(staging / "AudioEncoder.mlmodelc");
             fs::copy(made.narrowModel / "AudioEncoder.mlmodelc", staging / "AudioEncoder.mlmodelc");
         },
         "do not belong together: the audio encoder is 32 wide, the text decoder 64"},
        {"a decoder description the runtime refuses",
         [](const fs::path& staging) {
             const fs::path manifest = staging / "TextDecoder.mlmodelc" / "model.json";
             std::string text = readText(manifest);
             text.replace(text.find("\"vocabulary\": 51865"), 19, "\"vocabulary\": 51866");
             writeText(manifest, text);
         },
         "would not load: Invalid model description"},
        {"decoder weights cut short",
         [](const fs::path& staging) {
             const fs::path weights = staging / "TextDecoder.mlmodelc" / "weights.safetensors";
             fs::resize_file(weights, fs::file_size(weights) - 1000);
         },
         "would not load: Invalid weights file"},
        {"a folder without its decoder",
         [](const fs::path& staging) { fs::remove_all(staging / "TextDecoder.mlmodelc"); },
         "the converted models are incomplete"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        TemporaryDirectory dir;
        const fs::path destination = dir / "model";
        fs::copy(made.narrowModel, destination, fs::copy_options::recursive);
        const Snapshot before = snapshot(destination);
        ModelInstaller installer(destination, made.wide);
        try {
            installer.install([&](const fs::path& staging) {
                fs::copy(made.wideModel, staging, fs::copy_options::recursive);
                row.damage(staging);
            });
            ADD_FAILURE() << "the folder was installed";
        } catch (const MLError& error) {
            EXPECT_EQ(error.code(), MLError::Code::invalidModel);
            EXPECT_NE(std::string(error.what()).find(row.expected), std::string::npos) << error.what();
        }
        EXPECT_EQ(snapshot(destination), before);
        EXPECT_EQ(leftoversBeside(destination), std::vector<std::string>{});
    }
}

TEST(ModelInstall, WhatKilledRunsLeftIsRepairedWithoutTouchingALiveRun) {
    const auto& made = checkpoints();
    struct Case {
        const char* name;
        // Leaves in `folder` what a run killed at some point leaves for the destination "model".
        std::function<void(const fs::path& folder)> leave;
        // What the destination holds once repaired (empty: nothing).
        fs::path repaired;
    };
    const auto copy = [](const fs::path& from, const fs::path& to) { fs::copy(from, to, fs::copy_options::recursive); };
    const Case cases[] = {
        {"killed while converting",
         [&](const fs::path& folder) {
             copy(made.narrowModel, folder / "model");
             writeText(folder / ".model.converting.Ab12Cd" / ".TextDecoder.partial" / "weights.safetensors.partial",
                       "x");
         },
         made.narrowModel},
        {"killed between the two renames of a swap",
         [&](const fs::path& folder) {
             copy(made.narrowModel, folder / ".model.replaced");
             copy(made.wideModel, folder / ".model.converting.Zz9Yy8");
         },
         made.narrowModel},
        {"killed after the two renames of a swap",
         [&](const fs::path& folder) {
             copy(made.wideModel, folder / "model");
             copy(made.narrowModel, folder / ".model.replaced");
         },
         made.wideModel},
        {"left by an earlier version, without a lock file",
         [&](const fs::path& folder) {
             copy(made.narrowModel, folder / ".model.replaced");
             copy(made.wideModel, folder / ".model.converting");
         },
         made.narrowModel},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        TemporaryDirectory root;
        const fs::path folder = root / "models" / "org" / "repository";
        fs::create_directories(folder);
        // A sibling destination's helpers must be left alone.
        writeText(folder / ".model-2.converting.Qq1Ww2" / "x", "another destination's");
        const auto other = FileLock::acquire(folder / ".model-2.lock");
        row.leave(folder);
        const Snapshot before = snapshot(root.path());
        {
            // A live run holds the lock: nothing of its destination is touched.
            const auto live = FileLock::acquire(folder / ".model.lock");
            ModelInstaller::recoverLeftovers(root.path());
            fs::remove(folder / ".model.lock");
            Snapshot now = snapshot(root.path());
            EXPECT_EQ(now, before);
        }
        ModelInstaller::recoverLeftovers(root.path());
        EXPECT_EQ(snapshot(folder / "model"), snapshot(row.repaired));
        EXPECT_EQ(leftoversBeside(folder / "model"), std::vector<std::string>{".model-2.converting.Qq1Ww2"});

        // The next conversion into the destination repairs the same leftovers first.
        TemporaryDirectory again;
        row.leave(again.path());
        EXPECT_EQ(installConvertedModel(made.wide, again / "model"), InstallOutcome::installed);
        EXPECT_EQ(snapshot(again / "model"), snapshot(made.wideModel));
        EXPECT_EQ(leftoversBeside(again / "model"), std::vector<std::string>{});
    }
}

}  // namespace
