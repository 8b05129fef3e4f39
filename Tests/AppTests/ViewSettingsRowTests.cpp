// The settings row: model, language and translation bound to the transcriber, the chosen
// model's download state from the model store, and the lock while a run is under way.
#include "App/Model/LanguageOption.h"
#include "App/Views/SettingsRow.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <set>

namespace norvel::test {
namespace {

// Which form the download line shows: the check mark with "Delete model", the hint alone, or the
// hint with "Delete model" for the files a download left.
enum class Line { downloaded, hint, hintAndDelete };

// Clicks the check box on its box, where a user does.
void clickBox(QCheckBox* box) { click(box, QPoint(6, box->height() / 2)); }

Line lineOf(const SettingsRow& row) {
    const bool mark = !row.downloadedMark()->isHidden();
    const bool hint = !row.downloadHint()->isHidden();
    const bool deletable = !row.deleteButton()->isHidden();
    EXPECT_NE(mark, hint) << "the check mark or the hint shows";
    EXPECT_TRUE(!mark || deletable) << "a downloaded model can be deleted";
    if (mark) return Line::downloaded;
    return deletable ? Line::hintAndDelete : Line::hint;
}

TEST(ViewSettingsRow, ListsEveryModelAndLanguageInOrder) {
    ViewWorld world;
    Host host;
    SettingsRow& row = *host.add(std::make_unique<SettingsRow>(*world.transcriber, *world.models));
    QComboBox* models = row.modelPicker();
    ASSERT_EQ(models->count(), 4);
    EXPECT_EQ(models->itemText(0), QStringLiteral("Fast (tiny) · about 75 MB"));
    EXPECT_EQ(models->itemText(1), QStringLiteral("Balanced (base) · about 147 MB"));
    EXPECT_EQ(models->itemText(2), QStringLiteral("Accurate (small) · about 216 MB"));
    EXPECT_EQ(models->itemText(3), QStringLiteral("Best (large-v3 turbo) · about 954 MB"));
    EXPECT_EQ(models->currentIndex(), 1) << "balanced is chosen at start";

    QComboBox* languages = row.languagePicker();
    ASSERT_EQ(languages->count(), 18);
    EXPECT_EQ(languages->itemText(0), QStringLiteral("Detect automatically"));
    EXPECT_EQ(languages->itemText(17), QStringLiteral("Korean"));
    EXPECT_EQ(languages->currentIndex(), 0);
    EXPECT_FALSE(row.translateToggle()->isChecked());
    EXPECT_EQ(row.translateToggle()->text(), QStringLiteral("Translate to English"));
}

TEST(ViewSettingsRow, ControlsWriteTheTranscriberAndFollowItsChanges) {
    ViewWorld world;
    Host host;
    SettingsRow& row = *host.add(std::make_unique<SettingsRow>(*world.transcriber, *world.models));

    // The user's picks reach the transcriber.
    row.modelPicker()->activated(3);
    EXPECT_EQ(world.transcriber->modelChoice(), ModelChoice::best);
    row.languagePicker()->activated(4);
    EXPECT_EQ(world.transcriber->language().code, std::optional<QString>(QStringLiteral("de")));
    clickBox(row.translateToggle());
    EXPECT_TRUE(world.transcriber->translate());

    // Changes made elsewhere show in the controls.
    world.transcriber->setModelChoice(ModelChoice::fast);
    world.transcriber->setLanguage(LanguageOption::all()[16]);
    world.transcriber->setTranslate(false);
    EXPECT_EQ(row.modelPicker()->currentIndex(), 0);
    EXPECT_EQ(row.languagePicker()->currentText(), QStringLiteral("Japanese"));
    EXPECT_FALSE(row.translateToggle()->isChecked());
    // Showing a change writes nothing back.
    EXPECT_EQ(world.transcriber->modelChoice(), ModelChoice::fast);
    EXPECT_FALSE(world.transcriber->translate());

    // A language option is matched by code and name together: one the list does not hold is
    // shown as no entry rather than as a wrong one.
    world.transcriber->setLanguage(LanguageOption{QStringLiteral("de"), QStringLiteral("Deutsch")});
    EXPECT_EQ(row.languagePicker()->currentIndex(), -1);
}

TEST(ViewSettingsRow, DownloadLineFollowsTheChosenModelOnDisk) {
    struct Case {
        std::set<ModelChoice> onDisk;
        ModelChoice chosen;
        Line expected;
        const char* leftover = nullptr;  // a file a cut download left, below the Models folder
    };
    const Case cases[] = {
        {{}, ModelChoice::fast, Line::hint},
        {{}, ModelChoice::best, Line::hint},
        {{ModelChoice::balanced}, ModelChoice::fast, Line::hint},
        {{ModelChoice::balanced}, ModelChoice::balanced, Line::downloaded},
        {{ModelChoice::fast, ModelChoice::accurate}, ModelChoice::accurate, Line::downloaded},
        {{},
         ModelChoice::fast,
         Line::hintAndDelete,
         "models/openai/whisper-tiny/.cache/huggingface/download/model.safetensors.0a1b.incomplete"},
        {{},
         ModelChoice::balanced,
         Line::hint,
         "models/openai/whisper-tiny/.cache/huggingface/download/model.safetensors.0a1b.incomplete"},
    };
    for (const Case& c : cases) {
        ViewWorld world;
        for (const ModelChoice choice : c.onDisk) world.installModel(choice);
        if (c.leftover) {
            const QString file = QDir(world.modelsFolder).filePath(QString::fromUtf8(c.leftover));
            QDir().mkpath(QFileInfo(file).path());
            QFile partial(file);
            ASSERT_TRUE(partial.open(QIODevice::WriteOnly));
            partial.write(QByteArray(1000, 'x'));
            partial.close();
            world.models->refresh();
        }
        Host host;
        SettingsRow& row = *host.add(std::make_unique<SettingsRow>(*world.transcriber, *world.models));
        world.transcriber->setModelChoice(c.chosen);
        EXPECT_EQ(lineOf(row), c.expected) << rawValue(c.chosen).toStdString();
    }
}

// Answers the next message box with the button of that text once it shows, after handing it
// to `inspect`.
void answerNextMessageBox(const QString& button, std::function<void(QMessageBox&)> inspect) {
    auto* poll = new QTimer();
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, button, inspect] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        poll->stop();
        poll->deleteLater();
        inspect(*box);
        for (QAbstractButton* candidate : box->buttons()) {
            if (candidate->text() == button) {
                candidate->click();
                return;
            }
        }
        ADD_FAILURE() << "no button " << button.toStdString();
        box->reject();
    });
    poll->start();
}

TEST(ViewSettingsRow, DeleteModelAsksFirstNamingTheModelAndItsSize) {
    ViewWorld world;
    world.installModel(ModelChoice::balanced);
    world.installModel(ModelChoice::fast);
    // The chosen model's files take 2 MB, give or take the few bytes of its descriptions.
    const std::vector<QString> folders = ModelStore::folders(world.modelsFolder, variantFolder(ModelChoice::balanced));
    ASSERT_EQ(folders.size(), 1u);
    QFile weights(QDir(folders.front()).filePath(QStringLiteral("TextDecoder.mlmodelc/weights.safetensors")));
    ASSERT_TRUE(weights.resize(2'000'000));
    EXPECT_EQ(world.models->bytesOnDisk(ModelChoice::balanced), 2'000'000 + 2 * 1 + 3 * 2);
    Host host;
    SettingsRow& row = *host.add(std::make_unique<SettingsRow>(*world.transcriber, *world.models));
    ASSERT_EQ(lineOf(row), Line::downloaded);
    // Sizes are written in the user's locale; this one writes "2 MB".
    const QLocale userLocale;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));

    QWidget* parent = nullptr;
    QString question;
    QString information;
    answerNextMessageBox(QStringLiteral("Cancel"), [&](QMessageBox& box) {
        parent = box.parentWidget();
        question = box.text();
        information = box.informativeText();
        EXPECT_EQ(box.defaultButton()->text(), QStringLiteral("Cancel")) << "Return keeps the model";
    });
    click(row.deleteButton());
    EXPECT_EQ(parent, row.window());
    EXPECT_EQ(question, QStringLiteral("Delete the Balanced (base) model?"));
    EXPECT_EQ(information,
              QStringLiteral("It takes 2 MB on disk. Norvel downloads it again the next time you use it."));
    EXPECT_EQ(lineOf(row), Line::downloaded) << "cancelled: the model stays";
    EXPECT_TRUE(world.models->isDownloaded(ModelChoice::balanced));

    answerNextMessageBox(QStringLiteral("Delete"), [](QMessageBox&) {});
    click(row.deleteButton());
    EXPECT_EQ(lineOf(row), Line::hint);
    EXPECT_TRUE(ModelStore::folders(world.modelsFolder, variantFolder(ModelChoice::balanced)).empty());
    EXPECT_TRUE(world.models->isDownloaded(ModelChoice::fast)) << "only the chosen model goes";
    EXPECT_EQ(row.downloadHint()->text(), QStringLiteral("Downloads the first time you use it"));
    QLocale::setDefault(userLocale);
}

TEST(ViewSettingsRow, IsLockedWhileARunIsUnderWay) {
    ViewWorld world;
    world.installModel(ModelChoice::balanced);
    Host host;
    SettingsRow& row = *host.add(std::make_unique<SettingsRow>(*world.transcriber, *world.models));
    EXPECT_TRUE(row.isEnabled());

    world.prepareGate.close();
    world.transcriber->start(world.inputFile(QStringLiteral("talk.wav")), false);
    ASSERT_EQ(world.transcriber->phase(), Transcriber::Phase::preparing);
    EXPECT_FALSE(row.isEnabled());
    for (QWidget* control : std::initializer_list<QWidget*>{row.modelPicker(), row.languagePicker(),
                                                            row.translateToggle(), row.deleteButton()}) {
        EXPECT_FALSE(control->isEnabled());
    }
    // A click on a locked control does nothing.
    clickBox(row.translateToggle());
    click(row.deleteButton());
    EXPECT_FALSE(world.transcriber->translate());
    EXPECT_TRUE(world.models->isDownloaded(ModelChoice::balanced));

    world.prepareGate.open();
    ASSERT_TRUE(world.waitIdle());
    EXPECT_TRUE(row.isEnabled());
    clickBox(row.translateToggle());
    EXPECT_TRUE(world.transcriber->translate());
}

}  // namespace
}  // namespace norvel::test
