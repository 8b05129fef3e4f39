#pragma once

#include "App/Model/TranscriptDocument.h"

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

namespace norvel {

// The history of finished transcripts: one JSON file per document, named after its
// identifier, in the History folder, and the list of every stored document, newest first.
// Lives on the GUI thread; every operation is synchronous.
class TranscriptStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::vector<norvel::TranscriptDocument> items READ items NOTIFY itemsChanged)

public:
    // Shows a file selected in the file manager (`select` true) or opens a folder.
    using FileBrowser = std::function<void(const QString& path, bool select)>;

    // Creates the History folder (failures ignored) and loads every readable document from it.
    explicit TranscriptStore(QObject* parent = nullptr);
    // The same for another folder, with another file browser (tests use both).
    TranscriptStore(QString historyFolder, FileBrowser browser, QObject* parent = nullptr);

    // Every stored document, newest first; documents with equal dates keep the order in which
    // they were added (for a load, the folder's listing order).
    const std::vector<TranscriptDocument>& items() const { return items_; }
    const QString& folder() const { return folder_; }
    // The file a document is stored in.
    QString fileOf(const TranscriptDocument& document) const;

    // Writes the document's file atomically (a failed write leaves the previous file whole),
    // then replaces the listed document with the same identifier in place, or adds it and
    // sorts the list. Throws DocumentFormatError or std::filesystem::filesystem_error, and
    // then changes nothing.
    void save(const TranscriptDocument& document);
    // Removes the document's file (failures ignored) and every listed item with its identifier.
    void remove(const TranscriptDocument& document);
    // Shows the document's file in the file manager, or opens the History folder when the file
    // is gone.
    void reveal(const TranscriptDocument& document) const;
    // Creates the History folder if needed and opens it in the file manager.
    void revealFolder() const;

    // Shows `path` selected in the desktop's file manager, or opens the folder holding it when
    // that cannot be done; with `select` false opens the folder `path`.
    static void openInFileManager(const QString& path, bool select);

Q_SIGNALS:
    void itemsChanged();

private:
    // Rebuilds the list from the folder. Files that cannot be read or decoded are skipped and
    // left where they are.
    void load();
    void sortNewestFirst(std::vector<TranscriptDocument>& list) const;

    QString folder_;
    FileBrowser browser_;
    std::vector<TranscriptDocument> items_;
};

}  // namespace norvel
