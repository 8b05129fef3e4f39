// A variant that the model repository does not hold in this library's format is fetched from
// its hub checkpoint and converted on this machine, against the loopback hub server.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/HubApi.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/ModelCheckpoint.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/CheckpointDownload.h"
#include "Murmex/Pipeline/Murmex.h"
#include "MurmexTests/PipelineTestSupport.h"
#include "Platform/ML/ModelFolder.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedCheckpoint.h"
#include "Support/HubServer.h"

namespace {

namespace fs = std::filesystem;
using halvex::Progress;
using murmex::Murmex;
using murmex::MurmexConfig;
using murmex::WhisperError;
using norvel::test::HubServer;
using norvel::test::pristineCheckpointFolder;
using norvel::test::ScopedEnvironment;
using norvel::test::TemporaryDirectory;
using norvel::test::thrownAs;
using platform::runtime::TensorDType;

const std::string modelRepo = Murmex::defaultModelRepository;
const std::string checkpointRepo = "openai/whisper-tiny";
const std::string variant = "openai_whisper-tiny";

struct Report {
    std::optional<Progress::FileOperationKind> kind;
    std::int64_t completed = 0;
    std::int64_t total = 0;
    double fraction = 0;
};

// The loopback hub holding the checkpoint repository (and, unless told otherwise, nothing of
// the model repository), with a download base of its own.
struct CheckpointHub {
    ScopedEnvironment online{"CI_DISABLE_NETWORK_MONITOR", "1"};
    HubServer server;
    TemporaryDirectory work;

    explicit CheckpointHub(const std::function<void(const fs::path&)>& change = {}) {
        fs::copy(pristineCheckpointFolder(), checkpoint(), fs::copy_options::recursive);
        if (change) change(checkpoint());
        norvel::test::serveCheckpoint(server, checkpointRepo, checkpoint());
    }

    fs::path checkpoint() const { return work.path() / "served"; }
    fs::path base() const { return work.path() / "hub"; }
    fs::path destination() const { return base() / "models" / modelRepo / variant; }
    fs::path rawFolder() const { return base() / "models" / checkpointRepo; }

    fs::path download(std::vector<Report>* reports = nullptr, std::stop_token stop = {},
                      const std::function<void(const Report&)>& onReport = {}) {
        return Murmex::download(
            variant, base(), false, modelRepo, std::nullopt, server.endpoint(),
            [&, reports](const Progress& progress) {
                const Report report{progress.fileOperationKind(), progress.completedUnitCount(),
                                    progress.totalUnitCount(), progress.fractionCompleted()};
                if (reports) reports->push_back(report);
                if (onReport) onReport(report);
            },
            stop);
    }

    // Nothing at the destination passes as a model, and no half-written folder is left beside it.
    void expectNothingInstalled() const {
        EXPECT_FALSE(platform::ModelFolder::isComplete(destination()));
        EXPECT_FALSE(murmex::CheckpointDownload::isInstalled(destination()));
        expectNothingInstalledBeside();
    }
    void expectNothingInstalledBeside() const {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(destination().parent_path(), error)) {
            EXPECT_EQ(entry.path().filename().string().find(".converting"), std::string::npos) << entry.path();
        }
    }
};

TEST(CheckpointTable, MapsVariantsToTheirCheckpoints) {
    struct Case {
        const char* variant;
        const char* folder;  // empty: no checkpoint
        const char* repository;
    };
    const Case cases[] = {
        {"openai_whisper-tiny", "openai_whisper-tiny", "openai/whisper-tiny"},
        {"tiny", "openai_whisper-tiny", "openai/whisper-tiny"},
        {"base.en", "openai_whisper-base.en", "openai/whisper-base.en"},
        {"openai_whisper-small_216MB", "openai_whisper-small_216MB", "openai/whisper-small"},
        {"openai_whisper-large-v3_turbo_954MB", "openai_whisper-large-v3_turbo_954MB", "openai/whisper-large-v3-turbo"},
        {"large-v3", "openai_whisper-large-v3", "openai/whisper-large-v3"},  // the main family settles two
        {"distil-whisper_distil-large-v3", "distil-whisper_distil-large-v3", "distil-whisper/distil-large-v3"},
        {"medium", "", ""},
        {"", "", ""},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.variant);
        const auto found = murmex::ModelCheckpoint::forVariant(row.variant);
        ASSERT_EQ(found.has_value(), row.folder[0] != '\0');
        if (!found) continue;
        EXPECT_EQ(found->variantFolder, row.folder);
        EXPECT_EQ(found->repository, row.repository);
    }
    // Every variant of the built-in support table that has a published checkpoint is listed.
    for (const auto& folder : murmex::Constants::knownModels()) {
        const bool unpublished = folder.find("large-v2_turbo") != std::string::npos ||
                                 folder.find("distil-large-v3_turbo") != std::string::npos;
        EXPECT_EQ(murmex::ModelCheckpoint::forVariant(folder).has_value(), !unpublished) << folder;
    }
}

TEST(CheckpointDownload, DownloadsConvertsAndTranscribes) {
    // The model repository may be missing, refuse an anonymous client, or lack the variant.
    struct Case {
        const char* name;
        std::optional<int> listingStatus;
        bool repositoryExists;
    };
    const Case cases[] = {
        {"no model repository", std::nullopt, false},
        {"the model repository refuses", 401, true},
        {"the model repository lacks the variant", std::nullopt, true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        CheckpointHub hub;
        if (row.repositoryExists)
            hub.server.addFile(modelRepo, "openai_whisper-base/MelSpectrogram.mlmodelc/model.json", "{}");
        if (row.listingStatus) hub.server.setListingStatus(modelRepo, row.listingStatus);

        std::vector<Report> reports;
        const fs::path folder = hub.download(&reports);
        EXPECT_EQ(folder, hub.destination());
        EXPECT_TRUE(murmex::CheckpointDownload::isInstalled(folder));
        for (const char* name : {"tokenizer.json", "tokenizer_config.json"})
            EXPECT_TRUE(fs::exists(folder / name)) << name;
        // Only the files the conversion needs were fetched; the raw weights are gone afterwards.
        for (const auto& other : norvel::test::otherWeightFormats()) {
            EXPECT_EQ(hub.server.countRequests("GET", other), 0u) << other;
            EXPECT_EQ(hub.server.countRequests("HEAD", other), 0u) << other;
        }
        EXPECT_FALSE(fs::exists(hub.rawFolder() / "model.safetensors"));
        EXPECT_FALSE(fs::exists(hub.rawFolder() / "config.json"));

        // The download counts bytes, the conversion its own units, each up to its end.
        const auto downloadEnd = std::find_if(reports.begin(), reports.end(), [](const Report& r) {
            return r.kind == Progress::FileOperationKind::converting;
        });
        ASSERT_NE(downloadEnd, reports.begin());
        ASSERT_NE(downloadEnd, reports.end());
        const std::int64_t weightBytes =
            static_cast<std::int64_t>(fs::file_size(hub.checkpoint() / "model.safetensors"));
        for (auto report = reports.begin(); report != downloadEnd; ++report) {
            EXPECT_EQ(report->kind, Progress::FileOperationKind::downloading);
            EXPECT_GT(report->total, weightBytes) << "the progress counts bytes";
            if (report != reports.begin()) {
                EXPECT_GE(report->completed, std::prev(report)->completed);
            }
        }
        EXPECT_EQ(std::prev(downloadEnd)->completed, std::prev(downloadEnd)->total);
        for (auto report = downloadEnd; report != reports.end(); ++report) {
            EXPECT_EQ(report->kind, Progress::FileOperationKind::converting);
            if (report != downloadEnd) {
                EXPECT_GE(report->fraction, std::prev(report)->fraction);
            }
        }
        EXPECT_DOUBLE_EQ(reports.back().fraction, 1.0);
        EXPECT_GT(reports.end() - downloadEnd, 3) << "the conversion reports as it goes";

        // A second download finds the converted folder without asking the hub.
        hub.server.clearRequests();
        EXPECT_EQ(hub.download(), folder);
        EXPECT_TRUE(hub.server.requests().empty());
    }
}

TEST(CheckpointDownload, TheConvertedFolderLoadsAndTranscribesSpeech) {
    CheckpointHub hub;
    const fs::path folder = hub.download();
    MurmexConfig::Arguments arguments;
    arguments.modelFolder = folder.string();
    arguments.tokenizerFolder = hub.base();
    arguments.download = false;
    auto pipeline = Murmex::create(MurmexConfig(arguments));
    ASSERT_NE(pipeline->tokenizer(), nullptr);
    const auto results =
        pipeline->transcribe(norvel::test::fixture("audio/jfk.flac").string(), std::nullopt, std::nullopt, nullptr);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_NEAR(results[0]->timings().inputAudioSeconds, 11.0, 0.01);
    EXPECT_GT(results[0]->timings().totalDecodingLoops, 0.0);
    EXPECT_EQ(hub.server.countRequests("GET", "/openai/whisper-tiny/resolve/main/tokenizer"), 2u)
        << "the tokenizer comes with the checkpoint, not fetched again";
}

// Single- and half-precision weights and the sharded form give the same models.
TEST(CheckpointDownload, HalfPrecisionAndShardedCheckpointsConvertAlike) {
    CheckpointHub reference;
    const fs::path expected = reference.download();
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
        const char* model;
    };
    const Case cases[] = {
        {"sharded", [](const fs::path& folder) { norvel::test::shardWeights(folder); }, "AudioEncoder.mlmodelc"},
        {"half precision",
         [](const fs::path& folder) {
             fs::remove_all(folder);
             norvel::test::generateCheckpointFolder(folder, TensorDType::F16);
         },
         "MelSpectrogram.mlmodelc"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        CheckpointHub hub(row.change);
        const fs::path folder = hub.download();
        EXPECT_TRUE(murmex::CheckpointDownload::isInstalled(folder));
        EXPECT_EQ(norvel::test::readText(folder / row.model / "weights.safetensors"),
                  norvel::test::readText(expected / row.model / "weights.safetensors"));
        EXPECT_EQ(norvel::test::readText(folder / "TextDecoder.mlmodelc" / "model.json"),
                  norvel::test::readText(expected / "TextDecoder.mlmodelc" / "model.json"));
    }
}

TEST(CheckpointDownload, ABadCheckpointFailsClearlyAndInstallsNothing) {
    using Edit = std::function<void(const fs::path&)>;
    auto weights = [](norvel::test::TensorEdit edit) {
        return Edit(
            [edit](const fs::path& folder) { norvel::test::rewriteWeights(folder / "model.safetensors", edit); });
    };
    struct Case {
        const char* name;
        Edit change;
        std::string expected;
    };
    const Case cases[] = {
        {"truncated weights",
         [](const fs::path& folder) {
             fs::resize_file(folder / "model.safetensors", fs::file_size(folder / "model.safetensors") / 2);
         },
         "model.safetensors is truncated or damaged"},
        {"a missing tensor",
         weights([](const std::string& name, TensorDType&, std::vector<std::int64_t>&, std::vector<std::byte>&) {
             return name != "model.encoder.layer_norm.weight";
         }),
         "the checkpoint has no tensor encoder.layer_norm.weight"},
        {"a misshapen tensor",
         weights([](const std::string& name, TensorDType&, std::vector<std::int64_t>& shape, std::vector<std::byte>&) {
             if (name == "model.encoder.conv1.bias") shape = {16, 4};
             return true;
         }),
         "tensor model.encoder.conv1.bias has shape [16, 4], expected [64]"},
        {"an unknown element type",
         weights([](const std::string& name, TensorDType& dtype, std::vector<std::int64_t>&, std::vector<std::byte>&) {
             if (name == "model.encoder.conv1.bias") dtype = TensorDType::I32;
             return true;
         }),
         "tensor model.encoder.conv1.bias has element type I32, expected F32, F16 or BF16"},
        {"a configuration without d_model",
         [](const fs::path& folder) {
             std::string config = norvel::test::readText(folder / "config.json");
             const auto key = config.find("\"d_model\"");
             config.replace(key, std::strlen("\"d_model\""), "\"width\"");
             std::ofstream(folder / "config.json") << config;
         },
         "config.json has no whole number \"d_model\""},
        {"weights only in other formats", [](const fs::path& folder) { fs::remove(folder / "model.safetensors"); },
         "has no weights in the safetensors format"},
        {"a shard the index does not hold",
         [](const fs::path& folder) {
             norvel::test::shardWeights(folder);
             fs::remove(folder / "model-00002-of-00002.safetensors");
         },
         "that the repository does not hold"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        CheckpointHub hub(row.change);
        auto error = thrownAs<WhisperError>([&] { hub.download(); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind(), WhisperError::Kind::modelsUnavailable);
        EXPECT_NE(std::string(error->what()).find(row.expected), std::string::npos) << error->what();
        EXPECT_NE(std::string(error->what()).find(checkpointRepo), std::string::npos) << error->what();
        hub.expectNothingInstalled();
    }
}

TEST(CheckpointDownload, AWeightsFileThatFailsItsHashIsNeverConverted) {
    CheckpointHub hub;
    hub.server.addFile(checkpointRepo, "model.safetensors",
                       norvel::test::readText(hub.checkpoint() / "model.safetensors"),
                       HubServer::FileOptions::lfsFile().withEtag(std::string(64, 'a')));
    EXPECT_ANY_THROW(hub.download());
    hub.expectNothingInstalled();
    EXPECT_FALSE(fs::exists(hub.rawFolder() / "model.safetensors"));
}

// Cancelling while the weights arrive leaves their partial file; the next download resumes
// from it and converts.
TEST(CheckpointDownload, ACutDownloadResumesAndThenConverts) {
    CheckpointHub hub;
    const auto weightBytes = static_cast<std::int64_t>(fs::file_size(hub.checkpoint() / "model.safetensors"));
    ASSERT_GT(weightBytes, 11 << 20) << "the weights span more than one written batch";
    std::stop_source cancel;
    EXPECT_THROW(
        hub.download(nullptr, cancel.get_token(),
                     [&](const Report& report) {
                         if (report.kind == Progress::FileOperationKind::downloading && report.completed >= (10 << 20))
                             cancel.request_stop();
                     }),
        std::exception);
    hub.expectNothingInstalled();

    hub.server.clearRequests();
    const fs::path folder = hub.download();
    EXPECT_TRUE(murmex::CheckpointDownload::isInstalled(folder));
    std::optional<long long> resumedFrom;
    for (const auto& request : hub.server.requests()) {
        const std::string range = request.header("range").value_or("");
        if (request.method == "GET" && request.path.ends_with("/model.safetensors") && range.starts_with("bytes="))
            resumedFrom = std::stoll(range.substr(6));
    }
    ASSERT_TRUE(resumedFrom.has_value()) << "the weights are fetched from where the first download stopped";
    EXPECT_GE(*resumedFrom, 10 << 20);
    EXPECT_LT(*resumedFrom, weightBytes);
}

// Cancelling during the conversion leaves no folder and keeps the raw checkpoint, so the next
// download converts again without fetching the weights.
TEST(CheckpointDownload, ACancelledConversionKeepsTheCheckpointForTheNextTry) {
    CheckpointHub hub;
    std::stop_source cancel;
    auto error = thrownAs<halvex::CancellationError>([&] {
        hub.download(nullptr, cancel.get_token(), [&](const Report& report) {
            if (report.kind == Progress::FileOperationKind::converting && report.completed > 0) cancel.request_stop();
        });
    });
    EXPECT_TRUE(error.has_value());
    hub.expectNothingInstalled();
    EXPECT_TRUE(fs::exists(hub.rawFolder() / "model.safetensors"));

    hub.server.clearRequests();
    EXPECT_TRUE(murmex::CheckpointDownload::isInstalled(hub.download()));
    EXPECT_EQ(hub.server.countRequests("GET", "/model.safetensors"), 0u);
}

// Two instances of the application choosing the same model at once: the conversions take turns,
// and the one that waited finds the other's model installed.
TEST(CheckpointDownload, TwoDownloadsOfOneModelAtOnceBothSucceed) {
    CheckpointHub hub;
    std::latch start(2);
    std::string errors[2];
    fs::path folders[2];
    std::vector<std::thread> runs;
    for (int i = 0; i < 2; ++i) {
        runs.emplace_back([&, i] {
            start.arrive_and_wait();
            try {
                folders[i] = hub.download();
            } catch (const std::exception& error) {
                errors[i] = error.what();
            }
        });
    }
    for (auto& run : runs) run.join();
    EXPECT_EQ(errors[0], "");
    EXPECT_EQ(errors[1], "");
    EXPECT_EQ(folders[0], hub.destination());
    EXPECT_EQ(folders[1], hub.destination());
    EXPECT_TRUE(murmex::CheckpointDownload::isInstalled(hub.destination()));
    hub.expectNothingInstalledBeside();
}

// Two downloads of one model at once (two app instances): the second waits for the files the
// first is fetching, and when the first has installed the model by the time the second has its
// files, the second takes that model instead of converting again from files the first removes.
TEST(CheckpointDownload, AModelInstalledWhileADownloadWaitedIsTakenAsItIs) {
    CheckpointHub hub;
    std::mutex mutex;
    std::condition_variable changed;
    bool firstConverting = false;
    bool secondFetched = false;
    bool firstDone = false;
    const auto waitFor = [&](const bool& flag) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60), [&] { return flag; });
    };
    const auto set = [&](bool& flag) {
        {
            std::lock_guard lock(mutex);
            flag = true;
        }
        changed.notify_all();
    };

    const auto failure = [](const std::exception_ptr& error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string();
    };

    fs::path firstFolder;
    std::exception_ptr firstError;
    std::thread first([&] {
        try {
            firstFolder = hub.download(nullptr, {}, [&](const Report& report) {
                if (report.kind != Progress::FileOperationKind::converting || firstConverting) return;
                set(firstConverting);
                // The conversion goes on once the second download has all its files.
                EXPECT_TRUE(waitFor(secondFetched));
            });
        } catch (...) {
            firstError = std::current_exception();
        }
        set(firstDone);
    });
    EXPECT_TRUE(waitFor(firstConverting));
    std::vector<Report> reports;
    fs::path secondFolder;
    std::exception_ptr secondError;
    try {
        secondFolder = hub.download(&reports, {}, [&](const Report& report) {
            if (report.kind != Progress::FileOperationKind::downloading || report.completed < report.total) return;
            if (secondFetched) return;
            set(secondFetched);
            EXPECT_TRUE(waitFor(firstDone));
        });
    } catch (...) {
        secondError = std::current_exception();
    }
    set(secondFetched);  // lets the first go on whatever happened to the second
    first.join();

    ASSERT_FALSE(firstError) << failure(firstError);
    ASSERT_FALSE(secondError) << failure(secondError);
    EXPECT_EQ(firstFolder, hub.destination());
    EXPECT_EQ(secondFolder, hub.destination());
    EXPECT_TRUE(murmex::CheckpointDownload::isInstalled(secondFolder));
    EXPECT_TRUE(std::none_of(reports.begin(), reports.end(), [](const Report& report) {
        return report.kind == Progress::FileOperationKind::converting;
    })) << "the second download converts nothing";
    EXPECT_FALSE(fs::exists(hub.rawFolder() / "model.safetensors"));
}

}  // namespace
