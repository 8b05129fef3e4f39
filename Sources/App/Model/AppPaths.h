#pragma once

#include <QString>

namespace norvel {

// The application's data folder.
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
};

}  // namespace norvel
