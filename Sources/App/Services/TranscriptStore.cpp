#include "App/Services/TranscriptStore.h"

#include "App/Model/AppPaths.h"
#include "App/Services/FileWriteError.h"
#include "App/Texts.h"
#include "HalvexCore/FileContents.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QUrl>

#include <algorithm>
#include <filesystem>
#include <string>

namespace norvel {

TranscriptStore::TranscriptStore(QObject* parent)
    : TranscriptStore(AppPaths::history(), &TranscriptStore::openInFileManager, parent) {}

TranscriptStore::TranscriptStore(QString historyFolder, FileBrowser browser, QObject* parent)
    : QObject(parent), folder_(std::move(historyFolder)), browser_(std::move(browser)) {
    AppPaths::ensure(folder_);
    load();
    writer_ = std::jthread([this](std::stop_token stop) { writeLoop(stop); });
}

TranscriptStore::~TranscriptStore() {
    // No edit is lost: what waits is written before the store goes.
    waitForWrites();
    writer_.request_stop();
    changed_.notify_all();
}

QString TranscriptStore::fileOf(const TranscriptDocument& document) const {
    return QDir(folder_).filePath(uuidText(document.id) + QStringLiteral(".json"));
}

void TranscriptStore::sortNewestFirst(std::vector<TranscriptDocument>& list) const {
    std::stable_sort(list.begin(), list.end(),
                     [](const TranscriptDocument& a, const TranscriptDocument& b) { return a.date > b.date; });
}

void TranscriptStore::load() {
    std::vector<TranscriptDocument> loaded;
    const QDir dir(folder_);
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& name : names) {
        if (QFileInfo(name).suffix() != QLatin1String("json")) continue;
        try {
            const std::string bytes = halvex::readFileContents(dir.filePath(name).toStdString());
            loaded.push_back(TranscriptDocument::fromJson(QByteArray(bytes.data(), qsizetype(bytes.size()))));
        } catch (const std::exception&) {
            // A damaged or foreign file is left alone and does not keep the others from loading.
        }
    }
    sortNewestFirst(loaded);
    items_ = std::move(loaded);
    Q_EMIT itemsChanged();
}

void TranscriptStore::write(const TranscriptDocument& document, const QString& file, const QString& folder) {
    AppPaths::ensure(folder);
    const QByteArray json = document.toJson();
    try {
        halvex::writeFileAtomically(std::filesystem::path(QFile::encodeName(file).toStdString()),
                                    std::string_view(json.constData(), std::size_t(json.size())));
    } catch (...) {
        throw fileWriteError(std::current_exception(), [&](const QString& reason) {
            return Texts::historyNotWritten(QDir::toNativeSeparators(folder), reason);
        });
    }
}

void TranscriptStore::list(const TranscriptDocument& document) {
    auto it = std::find_if(items_.begin(), items_.end(),
                           [&](const TranscriptDocument& item) { return item.id == document.id; });
    if (it != items_.end()) {
        *it = document;
    } else {
        items_.push_back(document);
        sortNewestFirst(items_);
    }
    Q_EMIT itemsChanged();
}

void TranscriptStore::save(const TranscriptDocument& document) {
    settle(document.id);
    write(document, fileOf(document), folder_);
    list(document);
}

void TranscriptStore::saveInBackground(const TranscriptDocument& document) {
    {
        const std::lock_guard lock(mutex_);
        pending_[document.id] = Pending{document, fileOf(document)};
    }
    changed_.notify_all();
    list(document);
}

void TranscriptStore::waitForWrites() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return pending_.empty() && !writing_; });
}

void TranscriptStore::settle(const QUuid& id) {
    std::unique_lock lock(mutex_);
    pending_.erase(id);
    changed_.wait(lock, [&] { return writing_ != id; });
}

void TranscriptStore::writeLoop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, stop, [this] { return !pending_.empty(); });
        if (pending_.empty()) return;  // stopped with nothing left to write
        auto next = pending_.begin();
        const QUuid id = next->first;
        const Pending job = std::move(next->second);
        pending_.erase(next);
        writing_ = id;
        lock.unlock();
        std::optional<NorvelError> failure;
        try {
            write(job.document, job.file, folder_);
        } catch (...) {
            failure = fileWriteError(std::current_exception(), [&](const QString& reason) {
                return Texts::historyNotWritten(QDir::toNativeSeparators(folder_), reason);
            });
        }
        // Reported on the GUI thread, unless the store is gone by then.
        QMetaObject::invokeMethod(
            this,
            [this, id, failure] {
                if (failure) {
                    setIssue(failure);
                } else {
                    Q_EMIT documentWritten(id);
                }
            },
            Qt::QueuedConnection);
        lock.lock();
        writing_.reset();
        changed_.notify_all();
    }
}

void TranscriptStore::remove(const TranscriptDocument& document) {
    settle(document.id);
    QFile::remove(fileOf(document));
    Q_EMIT documentRemoved(document.id);
    const auto removed = std::remove_if(items_.begin(), items_.end(),
                                        [&](const TranscriptDocument& item) { return item.id == document.id; });
    if (removed == items_.end()) return;
    items_.erase(removed, items_.end());
    Q_EMIT itemsChanged();
}

void TranscriptStore::setIssue(std::optional<NorvelError> value) {
    issue_ = std::move(value);
    Q_EMIT issueChanged();
}

void TranscriptStore::clearIssue() { setIssue(std::nullopt); }

void TranscriptStore::browse(const QString& path, bool select) {
    try {
        browser_(path, select);
    } catch (...) {
        setIssue(NorvelError::from(std::current_exception()));
    }
}

void TranscriptStore::reveal(const TranscriptDocument& document) {
    const QString file = fileOf(document);
    if (QFileInfo(file).isFile()) {
        browse(file, true);
    } else {
        browse(folder_, false);
    }
}

void TranscriptStore::revealFolder() {
    AppPaths::ensure(folder_);
    browse(folder_, false);
}

void TranscriptStore::openInFileManager(const QString& path, bool select) {
    QString details;
    if (select) {
        // The desktop's file manager interface selects the file in its folder.
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
        if (reply.type() == QDBusMessage::ReplyMessage) return;
        details = QStringLiteral("org.freedesktop.FileManager1.ShowItems: ") + reply.errorName() + QStringLiteral(" ") +
                  reply.errorMessage() + QLatin1Char('\n');
    }
    const QString folder = select ? QFileInfo(path).absolutePath() : path;
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) return;
    details += QStringLiteral("QDesktopServices::openUrl(") + QUrl::fromLocalFile(folder).toString() +
               QStringLiteral(") failed\n") + Texts::q(Texts::noFileManagerDetails);
    throw NorvelError(NorvelError::Kind::general, Texts::noFileManager(QDir::toNativeSeparators(folder)), details);
}

}  // namespace norvel
