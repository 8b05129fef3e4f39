#pragma once

#include "App/Model/NorvelError.h"
#include "App/Model/TranscriptDocument.h"

#include <QObject>
#include <QString>
#include <QUuid>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace norvel {

// The history of finished transcripts: one JSON file per document, named after its
// identifier, in the History folder, and the list of every stored document, newest first.
// Lives on the GUI thread. Saves are written either at once or, for edits, by a writer thread
// of the store's own, so that typing never waits for the disk.
class TranscriptStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::vector<norvel::TranscriptDocument> items READ items NOTIFY itemsChanged)
    Q_PROPERTY(std::optional<norvel::NorvelError> issue READ issue NOTIFY issueChanged)

public:
    // Shows a file selected in the file manager (`select` true) or opens a folder. Throws a
    // NorvelError when nothing could show it.
    using FileBrowser = std::function<void(const QString& path, bool select)>;

    // Creates the History folder (failures ignored) and loads every readable document from it.
    explicit TranscriptStore(QObject* parent = nullptr);
    // The same for another folder, with another file browser (tests use both).
    TranscriptStore(QString historyFolder, FileBrowser browser, QObject* parent = nullptr);
    // Writes every save still waiting first.
    ~TranscriptStore() override;

    // Every stored document, newest first; documents with equal dates keep the order in which
    // they were added (for a load, the folder's listing order).
    const std::vector<TranscriptDocument>& items() const { return items_; }
    const QString& folder() const { return folder_; }
    // The file a document is stored in.
    QString fileOf(const TranscriptDocument& document) const;
    // A problem of a save made in the background, or of showing a file; the banner shows it.
    const std::optional<NorvelError>& issue() const { return issue_; }
    // The banner's dismissal.
    void clearIssue();

    // Writes the document's file atomically (a failed write leaves the previous file whole),
    // then replaces the listed document with the same identifier in place, or adds it and
    // sorts the list. Throws a NorvelError that names the folder and the reason (or the
    // encoding's DocumentFormatError) and then changes nothing. A background save of the same
    // document still waiting is dropped: this one is newer.
    void save(const TranscriptDocument& document);
    // Lists the document at once, as save() does, and leaves the writing to the writer thread,
    // which writes only the newest of several saves of one document still waiting. A failed
    // write becomes the store's issue. Every save waiting is written before the store goes.
    void saveInBackground(const TranscriptDocument& document);
    // Waits until every background save has been written (or has failed).
    void waitForWrites();
    // Removes the document's file (failures ignored) and every listed item with its identifier;
    // a background save of it still waiting is dropped. Signals documentRemoved(), so that edits
    // of it made until now are not saved later.
    void remove(const TranscriptDocument& document);
    // Shows the document's file in the file manager, or opens the History folder when the file
    // is gone. When no file manager can be opened, that becomes the store's issue.
    void reveal(const TranscriptDocument& document);
    // Creates the History folder if needed and opens it in the file manager (or publishes the
    // issue that it cannot).
    void revealFolder();

    // Shows `path` selected in the desktop's file manager, or opens the folder holding it when
    // that cannot be done; with `select` false opens the folder `path`. Throws a NorvelError
    // when no file manager or folder opener answers.
    static void openInFileManager(const QString& path, bool select);

Q_SIGNALS:
    void itemsChanged();
    void issueChanged();
    // The writer thread finished writing a background save of the document.
    void documentWritten(const QUuid& id);
    // remove() removed the document's file.
    void documentRemoved(const QUuid& id);

private:
    struct Pending {
        TranscriptDocument document;
        QString file;
    };

    // Rebuilds the list from the folder. Files that cannot be read or decoded are skipped and
    // left where they are.
    void load();
    void sortNewestFirst(std::vector<TranscriptDocument>& list) const;
    void list(const TranscriptDocument& document);
    void setIssue(std::optional<NorvelError> value);
    void browse(const QString& path, bool select);
    // Drops a waiting background save of the document and waits for one being written.
    void settle(const QUuid& id);
    void writeLoop(std::stop_token stop);
    // Writes one document's file; throws what save() throws.
    static void write(const TranscriptDocument& document, const QString& file, const QString& folder);

    QString folder_;
    FileBrowser browser_;
    std::vector<TranscriptDocument> items_;
    std::optional<NorvelError> issue_;

    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::map<QUuid, Pending> pending_;  // waiting background saves, one per document
    std::optional<QUuid> writing_;      // the document the writer thread writes now
    std::jthread writer_;
};

}  // namespace norvel
