#pragma once

#include <QString>

namespace norvel {

// The application's data folder, and the folder of its temporary files.
struct AppPaths {
    // "Norvel" inside the user's data folder ($XDG_DATA_HOME, else ~/.local/share), or inside
    // the temporary folder when there is none. Computed on every use; not created here.
    static QString root();
    // The model store's folder: root()/Models.
    static QString models();
    // The history's folder: root()/History.
    static QString history();
    // Creates the folder with any missing parents; every failure is ignored.
    static void ensure(const QString& folder);

    // This process's own folder for temporary files (prepared audio, recordings), created on
    // first use, readable by the user only: "Norvel/Temporary/<host>/<pid>-<start>" in the
    // user's cache folder ($XDG_CACHE_HOME, else ~/.cache), or in the system's temporary
    // folder when there is none. <start> is the process's start time, so a later process that
    // is given the same number is not taken for this one.
    static QString temporaryFolder();
    // Deletes this process's temporary folder with everything in it (at exit).
    static void removeTemporaryFolder();
    // Deletes the temporary folders that processes of this computer left behind when they
    // ended without cleaning up (a crash, a kill). Folders of running processes stay.
    static void removeStaleTemporaryFolders();
    // The folder that holds every process's temporary folder of this computer.
    static QString temporaryFoldersParent();
    // Whether the process that named its temporary folder `name` ("<pid>-<start>") still runs;
    // false for a name of another form.
    static bool isLiveProcessFolder(const QString& name);
    // This process's folder name: "<pid>-<start>".
    static QString processFolderName();
};

}  // namespace norvel
