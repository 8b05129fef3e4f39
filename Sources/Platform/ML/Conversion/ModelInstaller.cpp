#include "Platform/ML/Conversion/ModelInstaller.h"

#include "Platform/IO/FileLock.h"
#include "Platform/IO/RegularFile.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/ModelFolderManifests.h"
#include "Platform/Text/MessageText.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <system_error>
#include <vector>

namespace platform::conversion {

namespace {

namespace fs = std::filesystem;
using messagetext::shortened;

constexpr const char* lockSuffix = ".lock";
constexpr const char* replacedSuffix = ".replaced";
constexpr const char* stagingSuffix = ".converting";
// mkdtemp's six characters after the staging suffix and a dot.
constexpr std::size_t stagingUniqueLength = 6;
constexpr std::size_t longestSuffix = 11 + 1 + stagingUniqueLength;  // ".converting.XXXXXX"

// The longest file name the file system holding `folder` (or its nearest existing ancestor) takes.
std::size_t nameLimit(const fs::path& folder) {
    fs::path existing = folder;
    std::error_code error;
    while (!existing.empty() && !fs::exists(existing, error)) existing = existing.parent_path();
    const long limit = existing.empty() ? -1 : ::pathconf(existing.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

// The hidden names beside a destination NAME: ".NAME" and a suffix, or, when that would pass
// the file system's name limit, a shortened NAME with a hash of the whole of it, so the names of
// two long destinations still differ and the same destination always gets the same names.
struct HiddenNames {
    std::string base;

    HiddenNames(const std::string& name, std::size_t limit) {
        if (1 + name.size() + longestSuffix <= limit) {
            base.assign(1, '.').append(name);
            return;
        }
        std::uint64_t hash = 14695981039346656037ull;
        for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
        const std::size_t room = limit > longestSuffix + 18 + 16 ? limit - longestSuffix - 18 : 16;
        std::size_t keep = std::min(room, name.size());
        while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
        base.assign(1, '.').append(name, 0, keep).append(1, '~').append(hex);
    }

    std::string lock() const { return base + lockSuffix; }
    std::string replaced() const { return base + replacedSuffix; }
    std::string stagingTemplate() const { return base + stagingSuffix + "." + std::string(stagingUniqueLength, 'X'); }
    bool isStaging(const std::string& file) const { return isStagingOf(base, file); }

    // Whether `file` is a staging folder of the destination whose hidden names start with
    // `base` (or the one fixed name that earlier versions used).
    static bool isStagingOf(const std::string& base, const std::string& file) {
        const std::string prefix = base + stagingSuffix;
        if (file == prefix) return true;
        if (file.size() != prefix.size() + 1 + stagingUniqueLength || !file.starts_with(prefix + ".")) return false;
        for (std::size_t i = prefix.size() + 1; i < file.size(); ++i)
            if (!std::isalnum(static_cast<unsigned char>(file[i]))) return false;
        return true;
    }
};

// The base of a hidden helper's name (".NAME" or its shortened form), when `file` is one of
// the leftovers a run can leave: a folder moved aside or a staging folder.
std::optional<std::string> leftoverBase(const std::string& file) {
    if (!file.starts_with(".")) return std::nullopt;
    if (file.ends_with(replacedSuffix)) return file.substr(0, file.size() - std::string_view(replacedSuffix).size());
    if (file.ends_with(stagingSuffix)) return file.substr(0, file.size() - std::string_view(stagingSuffix).size());
    if (file.size() > longestSuffix) {
        std::string base = file.substr(0, file.size() - longestSuffix);
        if (HiddenNames::isStagingOf(base, file)) return base;
    }
    return std::nullopt;
}

bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool present(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// Under the destination's lock: puts back a folder that a run killed between its two renames
// moved aside, and removes dead runs' staging folders.
void repair(const fs::path& parent, const std::string& name, const HiddenNames& names) {
    std::error_code error;
    const fs::path replaced = parent / names.replaced();
    if (present(replaced)) {
        if (!present(parent / name)) {
            fs::rename(replaced, parent / name, error);
        } else {
            fs::remove_all(replaced, error);
        }
    }
    std::vector<fs::path> staging;
    for (fs::directory_iterator entry(parent, error), end; !error && entry != end; entry.increment(error)) {
        if (names.isStaging(entry->path().filename().string())) staging.push_back(entry->path());
    }
    for (const auto& folder : staging) fs::remove_all(folder, error);
}

// The lock file records its destination's name, so the start-up repair can find the
// destination of a shortened name.
void recordName(const FileLock& lock, const std::string& name) {
    if (::ftruncate(lock.descriptor(), 0) == 0) {
        [[maybe_unused]] const auto written = ::pwrite(lock.descriptor(), name.data(), name.size(), 0);
    }
}

[[noreturn]] void refuse(const fs::path& destination, const std::string& why) {
    throw MLError(MLError::Code::invalidArgument, "Cannot convert into " + destination.string() + ": " + why);
}

// Whether `inner` lies strictly inside `outer` (both absolute and normal).
bool isWithin(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty()) continue;  // a trailing separator
        if (i == inner.end() || *i != *o) return false;
    }
    for (; i != inner.end(); ++i)
        if (!i->empty()) return true;
    return false;
}

// A destination is replaced only when it holds nothing of the user's: missing, an empty
// folder, or a complete model folder.
void requireReplaceable(const fs::path& destination) {
    std::error_code error;
    const auto status = fs::symlink_status(destination, error);
    if (!fs::exists(status)) return;
    if (!fs::is_directory(fs::status(destination, error)))
        refuse(destination,
               "it is a file, not a folder; a conversion replaces only a new or empty folder or a "
               "complete model folder");
    if (fs::is_empty(destination, error) && !error) return;
    if (ModelFolder::isComplete(destination)) return;
    std::string example;
    for (fs::directory_iterator entry(destination, error), end; !error && entry != end; entry.increment(error)) {
        example = entry->path().filename().string();
        if (!example.starts_with(".")) break;
    }
    refuse(destination, "the folder holds other files (such as \"" + shortened(example) +
                            "\") and is not a complete model folder; a conversion replaces only a new or empty "
                            "folder or a complete model folder");
}

// The staging folder goes whatever ends the installation early.
class StagingFolder {
public:
    StagingFolder(const fs::path& parent, const HiddenNames& names) {
        std::string pattern = (parent / names.stagingTemplate()).string();
        if (!::mkdtemp(pattern.data()))
            throw fs::filesystem_error("Cannot create a folder for the conversion", parent / names.stagingTemplate(),
                                       std::error_code(errno, std::generic_category()));
        path_ = pattern;
    }
    ~StagingFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// What the runtime will do with the folder: find each model whole, read the three descriptions,
// see that they fit together, and load each model.
void verify(const fs::path& staging) {
    if (!ModelFolder::isComplete(staging))
        throw MLError(MLError::Code::invalidModel, "Cannot convert: the converted models are incomplete");
    try {
        const auto manifests = ModelFolderManifests::read(staging);
        const auto disagreements = manifests.disagreements(staging);
        if (!disagreements.empty())
            throw MLError(MLError::Code::invalidModel, "the three models do not belong together: " + disagreements[0]);
        for (const std::string_view name : ModelFolder::modelNames)
            Model::load(ModelFolder::modelLocation(staging, name), ComputeUnits::cpuOnly);
    } catch (const MLError& error) {
        throw MLError(MLError::Code::invalidModel,
                      std::string("Cannot convert: the converted models would not load: ") + error.what());
    }
}

// Puts `staging` in place of `destination` in one step where the file system can, so that at
// every moment either the earlier folder or the new one stands at the destination.
void swap(const fs::path& staging, const fs::path& destination, const fs::path& replaced) {
    const auto fail = [&](const char* what, int error) {
        throw fs::filesystem_error(what, destination, std::error_code(error, std::generic_category()));
    };
    const bool hadDestination = present(destination);
    const unsigned flags = hadDestination ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, destination.c_str(), flags) == 0) return;
    if (errno != EINVAL && errno != ENOSYS) fail("Cannot move the converted model into place", errno);
    // A file system without these flags: two renames, which the next run repairs if cut between.
    std::error_code error;
    if (hadDestination) {
        fs::rename(destination, replaced, error);
        if (error) fail("Cannot move the earlier model folder aside", error.value());
    }
    fs::rename(staging, destination, error);
    if (error) {
        std::error_code ignored;
        if (hadDestination) fs::rename(replaced, destination, ignored);
        fail("Cannot move the converted model into place", error.value());
    }
    if (hadDestination) {
        // The earlier folder is removed with the staging folder.
        fs::rename(replaced, staging, error);
        if (error) fs::remove_all(replaced, error);
    }
}

}  // namespace

ModelInstaller::ModelInstaller(const fs::path& destination, const fs::path& checkpointFolder) {
    if (destination.empty()) refuse(destination, "no folder is named");
    fs::path absolute = fs::absolute(destination).lexically_normal();
    while (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
    if (!absolute.has_filename() || absolute == absolute.root_path())
        refuse(destination, "it names no folder to put the model in");
    destination_ = absolute;
    parent_ = absolute.parent_path();
    name_ = absolute.filename().string();

    const std::size_t limit = nameLimit(parent_);
    if (name_.size() > limit)
        refuse(destination_, "the folder name is " + std::to_string(name_.size()) +
                                 " bytes long; its file system takes names of at most " + std::to_string(limit));

    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(destination_, error);
    const fs::path checkpoint = fs::weakly_canonical(fs::absolute(checkpointFolder), error);
    if (!error) {
        if (resolved == checkpoint) refuse(destination_, "it is the checkpoint folder");
        if (isWithin(resolved, checkpoint)) refuse(destination_, "it lies inside the checkpoint folder");
        if (isWithin(checkpoint, resolved)) refuse(destination_, "it contains the checkpoint folder");
    }
    requireReplaceable(destination_);
}

InstallOutcome ModelInstaller::install(const std::function<void(const fs::path& staging)>& write,
                                       std::stop_token stop) {
    std::error_code error;
    fs::create_directories(parent_, error);
    if (error) throw fs::filesystem_error("Cannot create the folder for the converted model", parent_, error);
    const HiddenNames names(name_, nameLimit(parent_));

    bool waited = false;
    const auto lock = FileLock::acquire(parent_ / names.lock(), stop, &waited);
    if (!lock) throw ConversionCancelled();
    recordName(*lock, name_);
    repair(parent_, name_, names);
    if (waited && ModelFolder::isComplete(destination_)) return InstallOutcome::installedByAnother;
    requireReplaceable(destination_);

    const StagingFolder staging(parent_, names);
    write(staging.path());
    verify(staging.path());
    // Nothing of the user's may have appeared at the destination meanwhile, and a stop
    // requested up to this point still leaves it as it was.
    requireReplaceable(destination_);
    if (stop.stop_requested()) throw ConversionCancelled();
    swap(staging.path(), destination_, parent_ / names.replaced());
    return InstallOutcome::installed;
}

void ModelInstaller::recoverLeftovers(const fs::path& root) {
    const auto visit = [](const fs::path& folder) {
        std::error_code error;
        std::map<std::string, bool> bases;
        for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
            if (const auto base = leftoverBase(entry->path().filename().string())) bases[*base] = true;
        }
        const std::size_t limit = nameLimit(folder);
        for (const auto& [base, unused] : bases) {
            // The destination's name: recorded in its lock file, or, for a name that was not
            // shortened, the helper's own name without its dot.
            std::string recorded;
            try {
                recorded = readRegularFile(folder / (base + lockSuffix), 4096);
            } catch (const RegularFileError&) {}
            std::string name;
            for (const std::string& candidate : {recorded, base.substr(1)}) {
                if (isPlainName(candidate) && HiddenNames(candidate, limit).base == base) {
                    name = candidate;
                    break;
                }
            }
            if (name.empty()) continue;
            const HiddenNames names(name, limit);
            const auto lock = FileLock::tryAcquire(folder / names.lock());
            if (!lock) continue;  // a live run's
            repair(folder, name, names);
        }
    };
    const std::function<void(const fs::path&, int)> walk = [&](const fs::path& folder, int depth) {
        visit(folder);
        if (depth == 0) return;
        std::error_code error;
        std::vector<fs::path> folders;
        for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
            const std::string file = entry->path().filename().string();
            if (file.starts_with(".") || file.ends_with(ModelFolder::compiledExtension) ||
                file.ends_with(ModelFolder::packageExtension))
                continue;
            std::error_code status;
            if (entry->is_directory(status) && !entry->is_symlink(status)) folders.push_back(entry->path());
        }
        for (const auto& child : folders) walk(child, depth - 1);
    };
    try {
        walk(root, 8);
    } catch (...) {
        // Repairs are a courtesy of the start; nothing here may stop it.
    }
}

}  // namespace platform::conversion
