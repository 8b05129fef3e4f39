#pragma once

#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>

namespace platform::conversion {

// How an installation ended.
enum class InstallOutcome {
    installed,           // this run's model folder is now at the destination
    installedByAnother,  // another run, waited for, installed a complete model folder there meanwhile
};

// Puts a newly written model folder in place at a destination without ever losing what was
// there, mixing two runs, or leaving a half-written folder where a model is looked for.
//
// Beside the destination NAME live its hidden helpers (their names shortened with a hash when
// the file system's name limit needs it): NAME's lock file, the staging folders of runs, each a
// fresh one, and, only where the file system cannot exchange two names at once, the earlier
// folder moved aside during the swap. A run holds the lock from the start of its staging to the
// end of its swap, so every staging folder found while holding the lock is a dead run's.
class ModelInstaller {
public:
    // Takes the destination as typed: made absolute, with any trailing slash dropped. Refuses
    // (MLError invalidArgument, "Cannot convert into …: why") a destination that names no
    // folder, whose name is longer than its file system takes, that is the checkpoint folder,
    // lies inside it or contains it, or that holds anything but nothing, an empty folder or a
    // complete model folder (ModelFolder's rule).
    ModelInstaller(const std::filesystem::path& destination, const std::filesystem::path& checkpointFolder);

    const std::filesystem::path& destination() const { return destination_; }

    // Takes the destination's lock (waiting for another run as long as it holds it), clears what
    // dead runs left, and then, unless the lock had to be waited for and the destination has
    // meanwhile become a complete model folder (installedByAnother), has `write` fill a fresh
    // staging folder. That folder must then be complete, its models must agree with each other
    // and load as the runtime loads them; the destination is checked once more, `stop` a last
    // time, and the two are swapped in one step (RENAME_EXCHANGE; on file systems without it,
    // two renames whose interruption the next run or start repairs). The staging folder, with
    // the earlier model once swapped out, is then removed. On any failure, cancellation
    // (ConversionCancelled) included, the destination is as it was and no staging folder is
    // left. Throws what `write` throws, MLError for a refused destination or a folder that would
    // not load, std::filesystem::filesystem_error for a file-system failure.
    InstallOutcome install(const std::function<void(const std::filesystem::path& staging)>& write,
                           std::stop_token stop = {});

    // Repairs what conversions killed part-way left below `root` (searched a few levels deep,
    // never through links): an earlier folder moved aside goes back to its destination when
    // that is missing and is removed otherwise, and staging folders are removed, all only for
    // destinations whose lock nobody holds, so a live run is never disturbed. For the start of
    // an application that installs models below `root`. Never throws.
    static void recoverLeftovers(const std::filesystem::path& root);

private:
    std::filesystem::path destination_;
    std::filesystem::path parent_;
    std::string name_;
};

}  // namespace platform::conversion
