#include "App/Services/TranscriptStore.h"

#include "App/Model/AppPaths.h"
#include "HalvexCore/FileContents.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
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
    const QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                            QDir::Unsorted);
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

void TranscriptStore::save(const TranscriptDocument& document) {
    AppPaths::ensure(folder_);
    const QByteArray json = document.toJson();
    halvex::writeFileAtomically(std::filesystem::path(fileOf(document).toStdString()),
                                std::string_view(json.constData(), std::size_t(json.size())));
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

void TranscriptStore::remove(const TranscriptDocument& document) {
    QFile::remove(fileOf(document));
    const auto removed = std::remove_if(items_.begin(), items_.end(),
                                        [&](const TranscriptDocument& item) { return item.id == document.id; });
    if (removed == items_.end()) return;
    items_.erase(removed, items_.end());
    Q_EMIT itemsChanged();
}

void TranscriptStore::reveal(const TranscriptDocument& document) const {
    const QString file = fileOf(document);
    if (QFileInfo(file).isFile()) {
        browser_(file, true);
    } else {
        browser_(folder_, false);
    }
}

void TranscriptStore::revealFolder() const {
    AppPaths::ensure(folder_);
    browser_(folder_, false);
}

void TranscriptStore::openInFileManager(const QString& path, bool select) {
    if (select) {
        // The desktop's file manager interface selects the file in its folder.
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
        if (reply.type() == QDBusMessage::ReplyMessage) return;
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

}  // namespace norvel
