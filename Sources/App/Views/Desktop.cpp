#include "App/Views/Desktop.h"

#include "App/Services/Recorder.h"
#include "App/Texts.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace norvel {

Desktop Desktop::system() {
    Desktop desktop;
    desktop.chooseFile = &Desktop::chooseFileWithPanel;
    desktop.chooseSaveFile = &Desktop::chooseSaveFileWithPanel;
    desktop.openUrl = [](const QUrl& url) {
        // A refused request leaves everything as it was.
        if (!url.isEmpty()) QDesktopServices::openUrl(url);
    };
    desktop.microphoneSettings = Recorder::settingsUrl();
    return desktop;
}

QString Desktop::nameFilter(const QStringList& extensions) {
    QStringList patterns;
    for (const QString& extension : extensions) {
        QString pattern = QStringLiteral("*.");
        for (const QChar c : extension) {
            if (c.isLetter() && c.toLower() != c.toUpper()) {
                pattern += QLatin1Char('[') + c.toLower() + c.toUpper() + QLatin1Char(']');
            } else {
                pattern += c;
            }
        }
        patterns.append(pattern);
    }
    return Texts::q(Texts::audioOrVideoFiles) + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
           QLatin1Char(')');
}

std::optional<QString> Desktop::chooseFileWithPanel(QWidget* parent, const QStringList& extensions) {
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilter(nameFilter(extensions));
    // The filter's letter-case patterns are for the panel, not for the eye.
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    // The panel opens where it was last left, at first in the home folder (not wherever the
    // application happened to be started).
    static QString lastFolder = QDir::homePath();
    dialog.setDirectory(lastFolder);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
    lastFolder = QFileInfo(files.front()).absolutePath();
    return files.front();
}

std::optional<QString> Desktop::chooseSaveFileWithPanel(QWidget* parent, const QString& proposedFileName) {
    QFileDialog dialog(parent);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // The panel opens where the user last saved, at first in the home folder.
    static QString lastFolder = QDir::homePath();
    if (!QFileInfo(lastFolder).isDir()) lastFolder = QDir::homePath();
    dialog.setDirectory(lastFolder);
    dialog.selectFile(proposedFileName);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
    lastFolder = QFileInfo(files.front()).absolutePath();
    return files.front();
}

}  // namespace norvel
