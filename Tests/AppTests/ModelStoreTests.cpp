// The model store: finding complete model folders, downloading a missing choice through the
// loopback hub with progress and cancellation, and deleting a choice's files.
#include "App/Model/AppPaths.h"
#include "App/Model/NorvelError.h"
#include "App/Services/ModelStore.h"
#include "AppTestSupport.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/HttpClient.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/HubApiWrapper.h"
#include "Murmex/Model/ModelCheckpoint.h"
#include "Murmex/Model/MurmexConfig.h"
#include "Murmex/Pipeline/CheckpointDownload.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Platform/IO/FileLock.h"
#include "Platform/ML/ModelFolder.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedCheckpoint.h"
#include "Support/GeneratedModel.h"
#include "Support/HubServer.h"
#include "Support/ScopedEnvironment.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace norvel {
namespace {

namespace fs = std::filesystem;

void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

// A model folder as our runtime lays it out, with stand-in files (the store looks only at which
// files are there); `leaveOut` names a file not written.
void makeModel(const fs::path& folder, const std::string& leaveOut = {}) {
    for (const char* name : {"AudioEncoder", "MelSpectrogram", "TextDecoder"}) {
        for (const char* file : {"model.json", "weights.safetensors"}) {
            const std::string relative = std::string(name) + ".mlmodelc/" + file;
            if (relative != leaveOut) touch(folder / relative);
        }
    }
}

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

std::vector<QString> relativeTo(const fs::path& root, const std::vector<QString>& paths) {
    std::vector<QString> out;
    for (const auto& path : paths) out.push_back(QDir(q(root)).relativeFilePath(path));
    return out;
}

// The speech library's pipeline with the tokenizer left out: whether a folder's models load is
// the question, and the tokenizer has its own search (which falls back to the hub).
class ModelsOnlyPipeline : public murmex::Murmex {
public:
    void loadTokenizerIfNeeded() override {}
};

// Whether the pipeline loads the folder's three models, the way the app's session loads them.
bool loads(const fs::path& folder) {
    murmex::MurmexConfig config;
    config.setModelFolder(folder.string());
    config.setLoad(false);
    config.setDownload(false);
    try {
        murmex::Murmex::create<ModelsOnlyPipeline>(config)->loadModels();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// One rule decides when a model folder is complete: the runtime's. The same folders go through
// that rule, through the store (is the choice downloaded?) and through the pipeline's loading,
// and all three must answer alike, so that a folder counted as downloaded always loads.
TEST(ModelStoreSearch, CountsAFolderAsDownloadedExactlyWhenItsModelsLoad) {
    using platform::ModelFolder;
    test::TemporaryDirectory dir;
    const fs::path compiled = dir.path() / "compiled";
    const fs::path packaged = dir.path() / "packaged";
    test::GeneratedModelOptions options;
    options.withTokenizer = false;  // not part of the rule
    test::generateModelFolder(compiled, options);
    options.packages = true;
    test::generateModelFolder(packaged, options);

    const auto copyModel = [&](const fs::path& folder, std::string_view name, bool package) {
        const fs::path from =
            package ? ModelFolder::packageFolder(packaged, name) : ModelFolder::compiledModel(compiled, name);
        const fs::path to = folder / from.filename();
        fs::create_directories(to);
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    };
    const auto allCompiled = [&](const fs::path& folder) {
        for (const auto name : ModelFolder::modelNames) copyModel(folder, name, false);
    };
    const auto emptied = [](const fs::path& file) { fs::resize_file(file, 0); };
    const fs::path encoder = ModelFolder::compiledModel({}, ModelFolder::audioEncoder);
    const fs::path decoder = ModelFolder::compiledModel({}, ModelFolder::textDecoder);
    const fs::path mel = ModelFolder::compiledModel({}, ModelFolder::melSpectrogram);

    const struct {
        const char* name;
        std::function<void(const fs::path&)> make;
        bool complete;
    } cases[] = {
        {"all three compiled", allCompiled, true},
        {"all three packages",
         [&](const fs::path& f) {
             for (const auto name : ModelFolder::modelNames) copyModel(f, name, true);
         },
         true},
        {"the encoder as a package, the others compiled",
         [&](const fs::path& f) {
             copyModel(f, ModelFolder::melSpectrogram, false);
             copyModel(f, ModelFolder::audioEncoder, true);
             copyModel(f, ModelFolder::textDecoder, false);
         },
         true},
        {"an empty package folder beside a whole compiled decoder",
         [&](const fs::path& f) {
             allCompiled(f);
             fs::create_directories(ModelFolder::packageFolder(f, ModelFolder::textDecoder));
         },
         true},
        {"no text decoder",
         [&](const fs::path& f) {
             allCompiled(f);
             fs::remove_all(f / decoder);
         },
         false},
        {"the mel weights never arrived",
         [&](const fs::path& f) {
             allCompiled(f);
             fs::remove(f / mel / ModelFolder::weightsFile);
         },
         false},
        {"the encoder's description never arrived",
         [&](const fs::path& f) {
             allCompiled(f);
             fs::remove(f / encoder / ModelFolder::manifestFile);
         },
         false},
        {"an empty weights file",
         [&](const fs::path& f) {
             allCompiled(f);
             emptied(f / decoder / ModelFolder::weightsFile);
         },
         false},
        {"an empty description",
         [&](const fs::path& f) {
             allCompiled(f);
             emptied(f / encoder / ModelFolder::manifestFile);
         },
         false},
        {"an empty package model file",
         [&](const fs::path& f) {
             allCompiled(f);
             fs::remove_all(f / encoder);
             copyModel(f, ModelFolder::audioEncoder, true);
             emptied(ModelFolder::packageModel(f, ModelFolder::audioEncoder));
         },
         false},
        {"a folder where the description belongs",
         [&](const fs::path& f) {
             allCompiled(f);
             fs::remove(f / mel / ModelFolder::manifestFile);
             fs::create_directories(f / mel / ModelFolder::manifestFile / "inner");
         },
         false},
        {"a compiled encoder without weights beside its whole package",
         [&](const fs::path& f) {
             allCompiled(f);
             copyModel(f, ModelFolder::audioEncoder, true);
             fs::remove(f / encoder / ModelFolder::weightsFile);
         },
         false},
        {"empty model folders",
         [&](const fs::path& f) {
             for (const auto name : ModelFolder::modelNames)
                 fs::create_directories(ModelFolder::compiledModel(f, name));
         },
         false},
        {"an empty folder", [](const fs::path& f) { fs::create_directories(f); }, false},
        {"only the hidden folder of a conversion that never finished",
         [&](const fs::path& f) { allCompiled(f.parent_path() / ("." + f.filename().string() + ".converting")); },
         false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path models = dir.path() / std::to_string(index++) / "Models";
        const fs::path folder = models / variantFolder(ModelChoice::fast).toStdString();
        fs::create_directories(models);
        c.make(folder);
        EXPECT_EQ(ModelFolder::isComplete(folder), c.complete);
        const ModelStore store(q(models), ModelStore::Downloader());
        EXPECT_EQ(store.isDownloaded(ModelChoice::fast), c.complete);
        EXPECT_EQ(loads(folder), c.complete);
    }
}

TEST(ModelStoreSearch, FindsNamedEntriesDownToTheSeventhLevel) {
    test::TemporaryDirectory dir;
    const fs::path root = dir.path();
    const std::string name = "openai_whisper-tiny";
    fs::create_directories(root / "a" / name / "inner" / name);  // a match is not looked into
    fs::create_directories(root / "b/c/d/e/f" / name);           // level 6
    fs::create_directories(root / "g/h/i/j/k/l" / name);         // level 7
    fs::create_directories(root / "m/n/o/p/q/r/s" / name);       // level 8: too deep
    fs::create_directories(root / ".hidden" / name);             // inside a hidden folder
    fs::create_directories(root / "t/.cache" / name);
    touch(root / "u" / name);                                // a file matches as well
    fs::create_directories(root / "v" / (name + "_216MB"));  // another name
    const std::vector<QString> found = ModelStore::folders(q(root), QString::fromStdString(name));
    EXPECT_EQ(relativeTo(root, found),
              (std::vector<QString>{
                  QStringLiteral("a/openai_whisper-tiny"), QStringLiteral("b/c/d/e/f/openai_whisper-tiny"),
                  QStringLiteral("g/h/i/j/k/l/openai_whisper-tiny"), QStringLiteral("u/openai_whisper-tiny")}));
    EXPECT_TRUE(ModelStore::folders(q(root / "missing"), QString::fromStdString(name)).empty());
}

TEST(ModelStoreSearch, DownloadedChoicesAndTheirFolders) {
    test::TemporaryDirectory dir;
    const fs::path models = dir.path() / "Models";
    makeModel(models / "x/openai_whisper-base", "TextDecoder.mlmodelc/weights.safetensors");
    makeModel(models / "y/openai_whisper-base");
    makeModel(models / "z/openai_whisper-small_216MB", "AudioEncoder.mlmodelc/model.json");
    makeModel(models / ".trash/openai_whisper-tiny");
    ModelStore store(q(models), ModelStore::Downloader());
    EXPECT_EQ(store.downloaded(), std::set<ModelChoice>{ModelChoice::balanced});
    EXPECT_EQ(store.folderFor(ModelChoice::balanced), q(models / "y/openai_whisper-base"));
    EXPECT_EQ(store.folderFor(ModelChoice::accurate), std::nullopt);
    EXPECT_EQ(store.folderFor(ModelChoice::fast), std::nullopt);

    int changes = 0;
    QObject::connect(&store, &ModelStore::downloadedChanged, [&] { ++changes; });
    store.remove(ModelChoice::balanced);  // every folder of the choice, complete or not
    EXPECT_TRUE(store.downloaded().empty());
    EXPECT_FALSE(fs::exists(models / "x/openai_whisper-base"));
    EXPECT_FALSE(fs::exists(models / "y/openai_whisper-base"));
    EXPECT_TRUE(fs::exists(models / "z/openai_whisper-small_216MB"));
    store.remove(ModelChoice::best);  // nothing there: only refreshes
    EXPECT_EQ(changes, 2);
}

// A conversion killed between moving the earlier model aside and moving the new one in left the
// model only under a hidden name, which no search finds: the start puts it back, except while a
// live conversion holds that destination's lock.
TEST(ModelStoreSearch, AModelThatAKilledConversionMovedAsideIsBackAtStart) {
    test::TemporaryDirectory dir;
    const fs::path models = dir.path() / "Models";
    const fs::path repository = models / "models/zodavaruz/murmex-coreml";
    makeModel(repository / ".openai_whisper-tiny.replaced");
    touch(repository / ".openai_whisper-tiny.converting.Ab12Cd/AudioEncoder.mlmodelc/model.json");
    makeModel(repository / ".openai_whisper-base.replaced");
    const auto live = platform::FileLock::acquire(repository / ".openai_whisper-base.lock");
    ASSERT_TRUE(live.has_value());

    const ModelStore store(q(models), ModelStore::Downloader());
    EXPECT_EQ(store.downloaded(), std::set<ModelChoice>{ModelChoice::fast});
    EXPECT_EQ(store.folderFor(ModelChoice::fast), q(repository / "openai_whisper-tiny"));
    EXPECT_FALSE(fs::exists(repository / ".openai_whisper-tiny.replaced"));
    EXPECT_FALSE(fs::exists(repository / ".openai_whisper-tiny.converting.Ab12Cd"));
    EXPECT_TRUE(fs::exists(repository / ".openai_whisper-base.replaced")) << "a live conversion's";
}

// What a cancelled or failed download leaves takes space, so it counts as the choice's files
// on disk, and deleting the choice removes it with the rest.
TEST(ModelStoreSearch, FilesLeftByADownloadBelongToTheChoice) {
    const fs::path checkpoint = fs::path("models/openai/whisper-tiny");
    const fs::path partial = halvex::HubApi::metadataFolder(checkpoint) / "model.safetensors.0a1b2c.incomplete";
    const struct {
        const char* name;
        std::vector<fs::path> files;  // relative to the Models folder, each of 1000 bytes
        bool onDisk;
    } cases[] = {
        {"nothing", {}, false},
        {"a cancelled transfer's partial file", {partial}, true},
        {"the checkpoint a failed conversion left",
         {checkpoint / "config.json", checkpoint / "model.safetensors"},
         true},
        {"a model folder left incomplete", {"x/openai_whisper-tiny/MelSpectrogram.mlmodelc/model.json"}, true},
        {"another choice's checkpoint", {"models/openai/whisper-base/config.json"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TemporaryDirectory dir;
        const fs::path models = dir.path() / "Models";
        fs::create_directories(models / checkpoint);  // an empty folder holds nothing
        for (const fs::path& file : c.files) {
            fs::create_directories((models / file).parent_path());
            std::ofstream(models / file) << std::string(1000, 'x');
        }
        ModelStore store(q(models), ModelStore::Downloader());
        EXPECT_EQ(store.isOnDisk(ModelChoice::fast), c.onDisk);
        EXPECT_FALSE(store.isDownloaded(ModelChoice::fast));
        EXPECT_EQ(store.bytesOnDisk(ModelChoice::fast), c.onDisk ? std::int64_t(1000 * c.files.size()) : 0);

        store.remove(ModelChoice::fast);
        EXPECT_FALSE(store.isOnDisk(ModelChoice::fast));
        EXPECT_EQ(store.bytesOnDisk(ModelChoice::fast), 0);
        for (const fs::path& file : c.files) EXPECT_EQ(fs::exists(models / file), !c.onDisk) << file;
    }
}

TEST(ModelStoreSearch, SpeedTextUsesDecimalUnits) {
    EXPECT_EQ(ModelStore::speedText(3'200'000), QStringLiteral("3.2 MB/s"));
    EXPECT_EQ(ModelStore::speedText(850'000.7), QStringLiteral("850.0 kB/s"));
    EXPECT_EQ(ModelStore::speedText(999), QStringLiteral("999 bytes/s"));
}

// A download that reports progress, then waits until it is stopped.
struct BlockingDownload {
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;

    ModelStore::Downloader downloader() {
        return [this](const QString&, const QString&, const WhisperSession::DownloadProgress& progress,
                      std::stop_token stop) -> QString {
            progress(0.25, 2'000'000.0);
            progress(0.4, std::nullopt);
            {
                std::lock_guard lock(mutex);
                started = true;
            }
            changed.notify_all();
            std::unique_lock lock(mutex);
            std::condition_variable_any().wait(lock, stop, [] { return false; });
            throw halvex::CancellationError();
        };
    }
};

TEST(ModelStoreDownload, CancelledDownloadKeepsItsLastProgress) {
    test::TemporaryDirectory dir;
    BlockingDownload blocking;
    ModelStore store(q(dir.path() / "Models"), blocking.downloader());
    std::optional<Outcome<QString>> result;
    store.ensureDownloaded(ModelChoice::fast, [&](Outcome<QString> outcome) { result = std::move(outcome); });
    EXPECT_EQ(store.downloading(), ModelChoice::fast);
    EXPECT_TRUE(store.hasDownloadTask());
    ASSERT_TRUE(test::waitUntil([&] { return store.progress() == 0.4; }));
    EXPECT_EQ(store.speedText(), QStringLiteral("2.0 MB/s"));  // a report without a rate keeps it

    // A second request fails at once and leaves the first alone.
    std::optional<Outcome<QString>> second;
    store.ensureDownloaded(ModelChoice::best, [&](Outcome<QString> outcome) { second = std::move(outcome); });
    ASSERT_TRUE(second && second->index() == 1);
    try {
        std::rethrow_exception(std::get<1>(*second));
    } catch (const NorvelError& error) {
        EXPECT_EQ(error.message(), QStringLiteral("Another model is already downloading."));
        EXPECT_EQ(error.kind(), NorvelError::Kind::general);
    }
    EXPECT_EQ(store.downloading(), ModelChoice::fast);

    store.cancelDownload();
    ASSERT_TRUE(test::waitUntil([&] { return result.has_value(); }));
    ASSERT_EQ(result->index(), 1u);
    try {
        std::rethrow_exception(std::get<1>(*result));
    } catch (const NorvelError& error) {
        EXPECT_EQ(error.kind(), NorvelError::Kind::cancelled);
        EXPECT_EQ(error.message(), QStringLiteral("The model download was cancelled."));
    }
    EXPECT_EQ(store.downloading(), std::nullopt);
    EXPECT_TRUE(store.speedText().isEmpty());
    EXPECT_EQ(store.progress(), 0.4);
    EXPECT_FALSE(store.hasDownloadTask());
}

TEST(ModelStoreDownload, FailuresOtherThanCancellingPassThrough) {
    test::TemporaryDirectory dir;
    ModelStore store(q(dir.path() / "Models"),
                     [](const QString&, const QString&, const WhisperSession::DownloadProgress&,
                        std::stop_token) -> QString { throw std::runtime_error("listing failed"); });
    std::optional<Outcome<QString>> result;
    store.ensureDownloaded(ModelChoice::fast, [&](Outcome<QString> outcome) { result = std::move(outcome); });
    ASSERT_TRUE(test::waitUntil([&] { return result.has_value(); }));
    ASSERT_EQ(result->index(), 1u);
    EXPECT_THROW(std::rethrow_exception(std::get<1>(*result)), std::runtime_error);
    EXPECT_EQ(store.downloading(), std::nullopt);
    EXPECT_TRUE(store.downloaded().empty());
}

// The model repository on the loopback hub, serving a generated tiny model as the fast choice.
TEST(ModelStoreDownload, DownloadsFromTheHubAndAgainAfterDeletion) {
    test::ScopedEnvironment online("CI_DISABLE_NETWORK_MONITOR", "1");
    test::HubServer server;
    test::TemporaryDirectory dir;
    // The repository holds the variant's folder, as the real one does.
    test::generateModelFolder(dir.path() / "repo/openai_whisper-tiny",
                              {.width = 32, .heads = 2, .layers = 1, .withTokenizer = false});
    server.addDirectory(murmex::Murmex::defaultModelRepository, dir.path() / "repo");

    const QString endpoint = QString::fromStdString(server.endpoint());
    ModelStore store(q(dir.path() / "Models"),
                     [endpoint](const QString& variant, const QString& base,
                                const WhisperSession::DownloadProgress& progress, std::stop_token stop) {
                         return WhisperSession::download(variant, base, progress, std::move(stop), endpoint);
                     });
    EXPECT_TRUE(store.downloaded().empty());

    const auto download = [&] {
        std::optional<Outcome<QString>> result;
        store.ensureDownloaded(ModelChoice::fast, [&](Outcome<QString> outcome) { result = std::move(outcome); });
        EXPECT_TRUE(test::waitUntil([&] { return result.has_value(); }));
        if (!result || result->index() != 0) {
            ADD_FAILURE() << "the download failed";
            return QString();
        }
        return std::get<0>(*result);
    };

    const QString folder = download();
    EXPECT_TRUE(folder.endsWith(QStringLiteral("/models/zodavaruz/murmex-coreml/openai_whisper-tiny")))
        << folder.toStdString();
    EXPECT_TRUE(platform::ModelFolder::isComplete(folder.toStdString()));
    EXPECT_EQ(store.downloaded(), std::set<ModelChoice>{ModelChoice::fast});
    EXPECT_EQ(store.progress(), 1.0);
    EXPECT_EQ(store.downloading(), std::nullopt);
    EXPECT_TRUE(store.speedText().isEmpty());

    // Found on disk now: no second download.
    const auto gets = server.countRequests("GET", "/resolve/");
    EXPECT_EQ(download(), folder);
    EXPECT_EQ(server.countRequests("GET", "/resolve/"), gets);

    // Deleted, it is fetched again despite the hub's records of the first download.
    store.remove(ModelChoice::fast);
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_EQ(download(), folder);
    EXPECT_TRUE(platform::ModelFolder::isComplete(folder.toStdString()));
    EXPECT_GT(server.countRequests("GET", "/resolve/"), gets);
}

// The fast choice as a user gets it: the model repository does not hold it, so its hub
// checkpoint is downloaded (progress in bytes, with the bytes received of the total and a
// rate), converted (progress of its own) and installed. A cancel during the conversion ends
// with the cancellation and leaves no folder that counts as downloaded.
TEST(ModelStoreDownload, AChoiceComesFromItsCheckpointThroughTheDownloadingPhase) {
    test::ScopedEnvironment online("CI_DISABLE_NETWORK_MONITOR", "1");
    test::HubServer server;
    test::TemporaryDirectory dir;
    test::generateCheckpointFolder(dir.path() / "checkpoint");
    test::serveCheckpoint(server, "openai/whisper-tiny", dir.path() / "checkpoint");
    const QString endpoint = QString::fromStdString(server.endpoint());

    std::atomic<bool> slowConversion{false};
    ModelStore store(q(dir.path() / "Models"), [endpoint, &slowConversion](const QString& variant, const QString& base,
                                                                           const ModelStore::DownloadReporters& report,
                                                                           std::stop_token stop) {
        // Reports half a second apart, so that the transfer rate can be measured even on loopback.
        const WhisperSession::DownloadProgress download = [&report](double fraction, std::optional<double> rate) {
            report.download(fraction, rate);
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
        };
        const std::function<void(double)> conversion = [&report, &slowConversion](double fraction) {
            report.conversion(fraction);
            if (slowConversion) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        };
        return WhisperSession::download(variant, base, download, std::move(stop), endpoint, {}, conversion,
                                        report.bytes);
    });

    struct Seen {
        double progress;
        QString speed;
        bool converting;
        std::optional<std::pair<std::int64_t, std::int64_t>> bytes;
    };
    std::vector<Seen> seen;
    const auto record = [&] {
        seen.push_back({store.progress(), store.speedText(), store.converting(), store.transferredBytes()});
    };
    QObject::connect(&store, &ModelStore::progressChanged, record);
    QObject::connect(&store, &ModelStore::speedTextChanged, record);
    QObject::connect(&store, &ModelStore::convertingChanged, record);
    QObject::connect(&store, &ModelStore::transferredBytesChanged, record);

    const auto download = [&](bool cancelWhileConverting) {
        std::optional<Outcome<QString>> result;
        store.ensureDownloaded(ModelChoice::fast, [&](Outcome<QString> outcome) { result = std::move(outcome); });
        if (cancelWhileConverting) {
            EXPECT_TRUE(test::waitUntil([&] { return store.converting() || result.has_value(); }));
            store.cancelDownload();
        }
        EXPECT_TRUE(test::waitUntil([&] { return result.has_value(); }, 60000));
        return result;
    };

    // The whole road.
    auto finished = download(false);
    ASSERT_TRUE(finished && finished->index() == 0);
    const QString folder = std::get<0>(*finished);
    EXPECT_TRUE(platform::ModelFolder::isComplete(folder.toStdString()));
    EXPECT_EQ(store.folderFor(ModelChoice::fast), folder);
    EXPECT_EQ(store.downloaded(), std::set<ModelChoice>{ModelChoice::fast});
    EXPECT_FALSE(store.converting());
    EXPECT_TRUE(store.speedText().isEmpty());
    const auto firstConverting = std::find_if(seen.begin(), seen.end(), [](const Seen& s) { return s.converting; });
    ASSERT_NE(firstConverting, seen.end()) << "the conversion shows within the downloading phase";
    EXPECT_TRUE(std::any_of(seen.begin(), firstConverting, [](const Seen& s) { return s.speed.endsWith("B/s"); }))
        << "the transfer shows its rate";
    EXPECT_TRUE(std::all_of(firstConverting, seen.end(), [](const Seen& s) { return s.speed.isEmpty(); }));
    EXPECT_EQ(store.progress(), 1.0);
    // The transfer counts the checkpoint's real bytes, growing towards their total.
    std::int64_t served = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path() / "checkpoint")) {
        if (entry.is_regular_file()) served += std::int64_t(entry.file_size());
    }
    std::optional<std::pair<std::int64_t, std::int64_t>> lastBytes;
    for (auto s = seen.begin(); s != firstConverting; ++s) {
        if (!s->bytes) continue;
        EXPECT_EQ(s->bytes->second, served) << "the total is the bytes of the checkpoint's files";
        EXPECT_GE(s->bytes->first, lastBytes ? lastBytes->first : 0);
        lastBytes = s->bytes;
    }
    ASSERT_TRUE(lastBytes) << "the transfer shows its bytes";
    EXPECT_GT(lastBytes->first, served / 2);
    EXPECT_TRUE(std::all_of(firstConverting, seen.end(), [](const Seen& s) { return !s.bytes; }));

    // Deleted, then cancelled while converting again: the cancellation, and nothing installed.
    store.remove(ModelChoice::fast);
    slowConversion = true;
    auto cancelled = download(true);
    ASSERT_TRUE(cancelled && cancelled->index() == 1);
    try {
        std::rethrow_exception(std::get<1>(*cancelled));
    } catch (const NorvelError& error) {
        EXPECT_EQ(error.kind(), NorvelError::Kind::cancelled);
    }
    EXPECT_TRUE(store.downloaded().empty());
    EXPECT_EQ(store.folderFor(ModelChoice::fast), std::nullopt);
    EXPECT_FALSE(store.converting());
}

// The store the app builds downloads from the hub that HF_ENDPOINT names (a mirror), as the hub
// client would ask it.
TEST(ModelStoreDownload, TheAppsDownloadGoesToTheHubThatHfEndpointNames) {
    test::ScopedEnvironment online("CI_DISABLE_NETWORK_MONITOR", "1");
    test::HubServer mirror;
    test::TemporaryDirectory dir;
    test::generateCheckpointFolder(dir.path() / "checkpoint");
    test::serveCheckpoint(mirror, "openai/whisper-tiny", dir.path() / "checkpoint");
    test::ScopedEnvironment endpoint("HF_ENDPOINT", mirror.endpoint());
    QDir(AppPaths::models()).removeRecursively();

    ModelStore store;
    std::optional<Outcome<QString>> result;
    store.ensureDownloaded(ModelChoice::fast, [&](Outcome<QString> outcome) { result = std::move(outcome); });
    ASSERT_TRUE(test::waitUntil([&] { return result.has_value(); }, 60000));
    ASSERT_EQ(result->index(), 0u) << NorvelError::from(std::get<1>(*result)).details().toStdString();
    EXPECT_TRUE(store.isDownloaded(ModelChoice::fast));
    EXPECT_GT(mirror.countRequests("GET", "/openai/whisper-tiny/resolve/"), 0u);
    QDir(AppPaths::models()).removeRecursively();
}

// Without a network the model download fails in the transport layer, and the issue must say
// so: a name that cannot be resolved through the whole download, and a request that times out
// (with a short idle limit, so that the test does not wait a minute) wrapped into the hub's
// error the way the hub wraps a request's transport failure. A server that refuses the
// connection (a mirror that is down) was reached, so that is no lack of a network.
TEST(ModelStoreDownload, WithoutANetworkTheIssueSaysSo) {
    test::ScopedEnvironment online("CI_DISABLE_NETWORK_MONITOR", "1");
    const QString noNetwork = QStringLiteral(
        "There is no network connection, so the model could not be downloaded. Connect to the internet once to "
        "download it; after that Norvel works offline.");

    // A loopback port that nothing listens on, and one that accepts but never answers.
    const auto listener = [](bool keepOpen) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd, 4), 0);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        const int port = ntohs(address.sin_port);
        if (!keepOpen) {
            ::close(fd);
            return std::make_pair(-1, port);
        }
        return std::make_pair(fd, port);
    };

    test::TemporaryDirectory dir;
    [[maybe_unused]] const auto [closed, refusedPort] = listener(false);
    const struct {
        QString endpoint;
        NorvelError::Kind kind;
    } endpoints[] = {
        {QStringLiteral("http://127.0.0.1:%1").arg(refusedPort), NorvelError::Kind::general},
        {QStringLiteral("http://models.nowhere.invalid"), NorvelError::Kind::noNetwork},
    };
    for (const auto& [endpoint, kind] : endpoints) {
        SCOPED_TRACE(endpoint.toStdString());
        std::exception_ptr failure;
        try {
            WhisperSession::download(QStringLiteral("openai_whisper-tiny"), q(dir.path() / "Models"), {}, {}, endpoint);
        } catch (...) {
            failure = std::current_exception();
        }
        ASSERT_TRUE(failure);
        const NorvelError error = NorvelError::from(failure);
        EXPECT_EQ(error.kind(), kind) << error.details().toStdString();
        EXPECT_EQ(error.message() == noNetwork, kind == NorvelError::Kind::noNetwork);
    }

    const auto [silent, silentPort] = listener(true);
    halvex::HttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(silentPort) + "/api/models/x/y/revision/main";
    request.idleTimeout = std::chrono::milliseconds(300);
    std::exception_ptr timedOut;
    try {
        try {
            std::string body;
            halvex::HttpClient::fetch(request, body);
        } catch (const std::exception& transport) {
            throw halvex::Hub::HubClientError::downloadError(transport.what());
        }
    } catch (...) {
        timedOut = std::current_exception();
    }
    ::close(silent);
    ASSERT_TRUE(timedOut);
    EXPECT_THROW(std::rethrow_exception(timedOut), halvex::Hub::HubClientError);
    const NorvelError error = NorvelError::from(timedOut);
    EXPECT_EQ(error.kind(), NorvelError::Kind::noNetwork) << error.details().toStdString();
    EXPECT_EQ(error.message(), noNetwork);
}

}  // namespace
}  // namespace norvel
