#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

class QWidget;

namespace norvel {

// What the views ask of the desktop beyond the services: the open and save panels, opening a
// link, and the link to the system's microphone settings. The standard ones talk to the desktop; tests
// give their own.
struct Desktop {
    // Shows the open panel for one file of the given extensions (any letter case); the chosen
    // file's path, or nothing when the user cancels.
    using ChooseFile = std::function<std::optional<QString>(QWidget* parent, const QStringList& extensions)>;
    using OpenUrl = std::function<void(const QUrl& url)>;
    // Shows the save panel over `parent`, proposing `proposedFileName`; the chosen path, or
    // nothing when the user cancels.
    using ChooseSaveFile = std::function<std::optional<QString>(QWidget* parent, const QString& proposedFileName)>;

    ChooseFile chooseFile;
    ChooseSaveFile chooseSaveFile;
    OpenUrl openUrl;
    // The system's microphone settings; empty where the desktop has no such page, and then no
    // button offers it.
    QUrl microphoneSettings;

    // The desktop's own open panel, link handling and settings link.
    static Desktop system();
    // The standard open panel: files only, one of them, of the given extensions in any case.
    static std::optional<QString> chooseFileWithPanel(QWidget* parent, const QStringList& extensions);
    // The standard save panel, a window of `parent`: it opens where the user last saved (at
    // first in the home folder) with the proposed name, allows new folders, and asks before
    // replacing a file.
    static std::optional<QString> chooseSaveFileWithPanel(QWidget* parent, const QString& proposedFileName);
    // The name filter of the open panel for the extensions: every extension in any letter case,
    // as in "*.[mM][pP]3".
    static QString nameFilter(const QStringList& extensions);
};

}  // namespace norvel
