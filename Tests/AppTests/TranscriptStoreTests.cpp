// The transcript history: loading a folder with damaged and foreign files, saving (at once and
// by the writer thread), replacing in place, ordering by date, deleting and revealing.
#include "App/Services/TranscriptStore.h"
#include "AppTestSupport.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTimeZone>

#include <filesystem>
#include <fstream>

namespace norvel {
namespace {

struct Reveal {
    QString path;
    bool select = false;
};

class TranscriptStoreTest : public ::testing::Test {
protected:
    QString folder() const { return QString::fromStdString((dir_.path() / "History").string()); }

    std::unique_ptr<TranscriptStore> makeStore() {
        return std::make_unique<TranscriptStore>(folder(), [this](const QString& path, bool select) {
            reveals_.push_back({path, select});
        });
    }

    static TranscriptDocument document(const char* title, int minute, int segments = 1) {
        TranscriptDocument doc;
        doc.id = QUuid::createUuid();
        doc.title = QString::fromUtf8(title);
        doc.date = QDateTime(QDate(2024, 1, 1), QTime(10, minute, 0), QTimeZone::utc());
        doc.modelName = QStringLiteral("Fast (tiny)");
        doc.language = QStringLiteral("en");
        doc.duration = 3;
        for (int i = 0; i < segments; ++i)
            doc.segments.push_back({QUuid::createUuid(), double(i), i + 1.0, QStringLiteral("s")});
        return doc;
    }

    void writeFile(const QString& name, const QByteArray& bytes) const {
        QDir().mkpath(folder());
        QFile file(QDir(folder()).filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    static QStringList titles(const TranscriptStore& store) {
        QStringList list;
        for (const auto& item : store.items()) list << item.title;
        return list;
    }

    test::TemporaryDirectory dir_;
    std::vector<Reveal> reveals_;
};

TEST_F(TranscriptStoreTest, MissingFolderIsCreatedAndEmpty) {
    auto store = makeStore();
    EXPECT_TRUE(store->items().empty());
    EXPECT_TRUE(QFileInfo(folder()).isDir());
}

TEST_F(TranscriptStoreTest, LoadSkipsDamagedAndForeignFilesAndKeepsThem) {
    const TranscriptDocument good = document("good", 1);
    const TranscriptDocument hidden = document("hidden", 2);
    const TranscriptDocument renamed = document("renamed", 3);
    writeFile(uuidText(good.id) + QStringLiteral(".json"), good.toJson());
    writeFile(QStringLiteral(".hidden.json"), hidden.toJson());
    writeFile(QStringLiteral("my copy.json"), renamed.toJson());
    writeFile(QStringLiteral("notes.txt"), good.toJson());
    writeFile(QStringLiteral("upper.JSON"), document("upper", 4).toJson());
    writeFile(QStringLiteral("broken.json"), QByteArray("{\"id\": "));
    writeFile(QStringLiteral("empty.json"), QByteArray());
    QByteArray noPartial = document("no partial", 5).toJson();
    noPartial.replace("\"partial\"", "\"partiality\"");
    writeFile(QStringLiteral("nopartial.json"), noPartial);
    QDir(folder()).mkpath(QStringLiteral("folder.json"));

    auto store = makeStore();
    EXPECT_EQ(titles(*store),
              (QStringList{QStringLiteral("renamed"), QStringLiteral("hidden"), QStringLiteral("good")}));
    // Nothing that was skipped is touched.
    for (const char* name : {"notes.txt", "upper.JSON", "broken.json", "empty.json", "nopartial.json"}) {
        EXPECT_TRUE(QFileInfo::exists(QDir(folder()).filePath(QString::fromUtf8(name)))) << name;
    }
}

TEST_F(TranscriptStoreTest, SaveOrdersNewestFirstAndKeepsEqualDatesInInsertionOrder) {
    auto store = makeStore();
    int changed = 0;
    QObject::connect(store.get(), &TranscriptStore::itemsChanged, [&] { ++changed; });
    store->save(document("b", 5));
    store->save(document("c", 9));
    store->save(document("d", 5));  // same date as b: after it
    store->save(document("a", 1));  // oldest: last
    EXPECT_EQ(titles(*store),
              (QStringList{QStringLiteral("c"), QStringLiteral("b"), QStringLiteral("d"), QStringLiteral("a")}));
    EXPECT_EQ(changed, 4);

    // A new store reads the same documents back, equal field by field.
    auto reloaded = makeStore();
    ASSERT_EQ(reloaded->items().size(), 4u);
    for (const auto& item : store->items()) {
        EXPECT_NE(std::find(reloaded->items().begin(), reloaded->items().end(), item), reloaded->items().end());
    }
}

TEST_F(TranscriptStoreTest, SavingAListedDocumentReplacesItInPlace) {
    auto store = makeStore();
    store->save(document("old", 1));
    TranscriptDocument edited = document("edited", 5);
    store->save(edited);
    store->save(document("new", 9));
    edited.date = QDateTime(QDate(2030, 1, 1), QTime(0, 0), QTimeZone::utc());  // now the newest
    edited.segments[0].text = QStringLiteral("changed");
    store->save(edited);
    EXPECT_EQ(titles(*store), (QStringList{QStringLiteral("new"), QStringLiteral("edited"), QStringLiteral("old")}));
    EXPECT_EQ(store->items()[1], edited);
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files | QDir::Hidden).size(), 3);
    QFile file(store->fileOf(edited));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(TranscriptDocument::fromJson(file.readAll()), edited);
}

TEST_F(TranscriptStoreTest, AFailedSaveChangesNothing) {
    auto store = makeStore();
    TranscriptDocument doc = document("kept", 1);
    store->save(doc);
    const QByteArray before = doc.toJson();

    TranscriptDocument unwritable = doc;
    unwritable.title = QStringLiteral("changed");
    unwritable.duration = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(store->save(unwritable), DocumentFormatError);

    // A write that cannot happen: the file's place is taken by a folder.
    TranscriptDocument other = document("other", 2);
    QDir(folder()).mkpath(uuidText(other.id) + QStringLiteral(".json/inside"));
    try {
        store->save(other);
        ADD_FAILURE() << "the save did not fail";
    } catch (const NorvelError& error) {
        EXPECT_EQ(error.message(), QStringLiteral("Norvel could not save the transcript in its history folder ") +
                                       QDir::toNativeSeparators(folder()) +
                                       QStringLiteral(". A folder of that name is already there."));
        EXPECT_FALSE(error.details().isEmpty());
    }

    EXPECT_EQ(titles(*store), QStringList{QStringLiteral("kept")});
    QFile file(store->fileOf(doc));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before);
}

TEST_F(TranscriptStoreTest, BackgroundSavesListAtOnceAndWriteTheNewest) {
    auto store = makeStore();
    TranscriptDocument doc = document("draft", 1, 3);
    store->save(doc);
    for (const char* text : {"a", "ab", "abc"}) {
        doc.segments[1].text = QString::fromUtf8(text);
        store->saveInBackground(doc);
        EXPECT_EQ(store->items().at(0), doc) << "listed before it is written";
    }
    store->waitForWrites();
    EXPECT_EQ(TranscriptDocument::fromJson(test::readAll(store->fileOf(doc))), doc);

    // A save that waits is written before the store goes.
    doc.segments[2].text = QStringLiteral("last words");
    store->saveInBackground(doc);
    store.reset();
    EXPECT_EQ(TranscriptDocument::fromJson(
                  test::readAll(QDir(folder()).filePath(uuidText(doc.id) + QStringLiteral(".json")))),
              doc);

    // A document removed while its save waits stays removed.
    store = makeStore();
    store->saveInBackground(doc);
    store->remove(doc);
    store->waitForWrites();
    EXPECT_FALSE(QFileInfo::exists(store->fileOf(doc)));
    EXPECT_TRUE(store->items().empty());
    EXPECT_FALSE(store->issue().has_value());
}

TEST_F(TranscriptStoreTest, ABackgroundWriteThatFailsBecomesTheStoresIssue) {
    auto store = makeStore();
    const TranscriptDocument doc = document("blocked", 1);
    QDir(folder()).mkpath(uuidText(doc.id) + QStringLiteral(".json/inside"));
    store->saveInBackground(doc);
    ASSERT_TRUE(test::waitUntil([&] { return store->issue().has_value(); }));
    EXPECT_EQ(store->issue()->kind(), NorvelError::Kind::general);
    EXPECT_EQ(store->issue()->message(), QStringLiteral("Norvel could not save the transcript in its history folder ") +
                                             QDir::toNativeSeparators(folder()) +
                                             QStringLiteral(". A folder of that name is already there."));
    store->clearIssue();
    EXPECT_FALSE(store->issue().has_value());
}

TEST_F(TranscriptStoreTest, DeleteRemovesEveryItemWithTheIdentifier) {
    const TranscriptDocument doc = document("twice", 1);
    writeFile(uuidText(doc.id) + QStringLiteral(".json"), doc.toJson());
    writeFile(QStringLiteral("copy.json"), doc.toJson());
    const TranscriptDocument other = document("other", 2);
    writeFile(uuidText(other.id) + QStringLiteral(".json"), other.toJson());

    auto store = makeStore();
    ASSERT_EQ(store->items().size(), 3u);
    store->remove(doc);
    EXPECT_EQ(titles(*store), QStringList{QStringLiteral("other")});
    EXPECT_FALSE(QFileInfo::exists(store->fileOf(doc)));
    EXPECT_TRUE(QFileInfo::exists(QDir(folder()).filePath(QStringLiteral("copy.json"))));

    store->remove(other);
    QFile::remove(store->fileOf(other));
    store->remove(other);  // file already gone: nothing happens
    EXPECT_TRUE(store->items().empty());
}

TEST_F(TranscriptStoreTest, RevealSelectsTheFileOrOpensTheFolder) {
    auto store = makeStore();
    const TranscriptDocument doc = document("shown", 1);
    store->save(doc);
    store->reveal(doc);
    QFile::remove(store->fileOf(doc));
    store->reveal(doc);
    store->revealFolder();
    ASSERT_EQ(reveals_.size(), 3u);
    EXPECT_EQ(reveals_[0].path, store->fileOf(doc));
    EXPECT_TRUE(reveals_[0].select);
    EXPECT_EQ(reveals_[1].path, folder());
    EXPECT_FALSE(reveals_[1].select);
    EXPECT_EQ(reveals_[2].path, folder());
    EXPECT_FALSE(store->issue().has_value());

    // Without a file manager the user is told so, not left waiting.
    TranscriptStore bare(folder(), [](const QString& path, bool) {
        throw NorvelError(NorvelError::Kind::general,
                          QStringLiteral("No file manager could be opened to show ") + path);
    });
    bare.revealFolder();
    ASSERT_TRUE(bare.issue().has_value());
    EXPECT_EQ(bare.issue()->message(), QStringLiteral("No file manager could be opened to show ") + folder());
}

}  // namespace
}  // namespace norvel
