// The cache's ".metadata" records: the reader that recovers from damaged records.

#include "HalvexCore/External/Hub/HubApi.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct Cache {
    std::filesystem::path folder;
    halvex::HubApi api;

    Cache() : folder(makeFolder()), api(folder, std::string(), std::string("http://127.0.0.1:9"), false, true) {
        halvex::HubApi::logger().setSink([](const std::string&) {});
    }
    ~Cache() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    static std::filesystem::path makeFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "norvel-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        return pattern;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Cache cache;
    const auto record = cache.folder / "models/owner/name/.cache/huggingface/download/sub/file.json.metadata";
    std::filesystem::create_directories(record.parent_path());
    {
        std::ofstream stream(record, std::ios::binary | std::ios::trunc);
        stream.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    try {
        auto read = cache.api.readDownloadMetadata(record);
        if (read) {
            // A record read back is written again as it would be after a successful check.
            cache.api.writeDownloadMetadata(read->commitHash, read->etag, record);
            if (!cache.api.readDownloadMetadata(record)) {
                __builtin_trap();  // a record the client wrote must read back
            }
        }
    } catch (const halvex::HubEnvironmentError&) {
        // fileWriteError for a commit or tag that cannot be written is an answer, not a crash.
    }
    return 0;
}
