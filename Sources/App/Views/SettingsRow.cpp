#include "App/Views/SettingsRow.h"

#include "App/Model/LanguageOption.h"
#include "App/Model/ModelChoice.h"
#include "App/Services/ModelStore.h"
#include "App/Services/Transcriber.h"
#include "App/Texts.h"
#include "App/Views/Style.h"
#include "App/Views/Symbols.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

namespace norvel {

namespace {

// A picker with its label before it, `width` wide in all.
QWidget* labelledPicker(const QString& label, QComboBox* picker, int width, QWidget* parent) {
    auto* box = new QWidget(parent);
    box->setFixedWidth(width);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* text = new QLabel(label, box);
    text->setBuddy(picker);
    layout->addWidget(text);
    picker->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    picker->setMinimumContentsLength(8);
    layout->addWidget(picker, 1);
    return box;
}

QVBoxLayout* column(QHBoxLayout* row) {
    auto* layout = new QVBoxLayout();
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    row->addLayout(layout);
    return layout;
}

}  // namespace

SettingsRow::SettingsRow(Transcriber& transcriber, ModelStore& models, QWidget* parent)
    : QWidget(parent), transcriber_(transcriber), models_(models) {
    setObjectName(QStringLiteral("settingsRow"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(18);
    row->setAlignment(Qt::AlignTop);

    // The model column: the picker, then the download state of the chosen model.
    QVBoxLayout* modelColumn = column(row);
    modelPicker_ = new QComboBox(this);
    modelPicker_->setObjectName(QStringLiteral("modelPicker"));
    for (const ModelChoice choice : allModelChoices) {
        modelPicker_->addItem(Texts::modelPickerEntry(displayName(choice), sizeLabel(choice)), rawValue(choice));
    }
    modelColumn->addWidget(labelledPicker(Texts::q(Texts::modelLabel), modelPicker_, 330, this));

    auto* state = new QWidget(this);
    auto* stateLayout = new QHBoxLayout(state);
    stateLayout->setContentsMargins(0, 0, 0, 0);
    stateLayout->setSpacing(8);
    state->setFont(Style::caption());

    downloadedMark_ = new QWidget(state);
    downloadedMark_->setObjectName(QStringLiteral("downloadedMark"));
    auto* markLayout = new QHBoxLayout(downloadedMark_);
    markLayout->setContentsMargins(0, 0, 0, 0);
    markLayout->setSpacing(4);
    auto* check = new QLabel(downloadedMark_);
    const int symbolSize = QFontMetrics(Style::caption()).height();
    check->setPixmap(symbolPixmap(Symbol::checkmarkCircleFill, Style::green(), symbolSize, devicePixelRatioF()));
    markLayout->addWidget(check);
    auto* downloadedText = new QLabel(Texts::q(Texts::downloaded), downloadedMark_);
    Style::setTextColor(*downloadedText, Style::green());
    markLayout->addWidget(downloadedText);
    stateLayout->addWidget(downloadedMark_);

    delete_ = new QPushButton(Texts::q(Texts::deleteModel), state);
    delete_->setObjectName(QStringLiteral("deleteModel"));
    delete_->setFont(Style::caption());
    stateLayout->addWidget(delete_);

    downloadHint_ = new QLabel(Texts::q(Texts::downloadsFirstTime), state);
    downloadHint_->setObjectName(QStringLiteral("downloadHint"));
    Style::setSecondary(*downloadHint_);
    stateLayout->addWidget(downloadHint_);
    stateLayout->addStretch(1);
    // The line keeps its height whichever of its forms shows.
    state->setMinimumHeight(std::max(delete_->sizeHint().height(), symbolSize));
    modelColumn->addWidget(state);

    // The language column: the picker, then the translation toggle.
    QVBoxLayout* languageColumn = column(row);
    languagePicker_ = new QComboBox(this);
    languagePicker_->setObjectName(QStringLiteral("languagePicker"));
    for (const LanguageOption& option : LanguageOption::all()) languagePicker_->addItem(option.name, option.id());
    languageColumn->addWidget(labelledPicker(Texts::q(Texts::languageLabel), languagePicker_, 270, this));
    translate_ = new QCheckBox(Texts::q(Texts::translateToEnglish), this);
    translate_->setObjectName(QStringLiteral("translateToggle"));
    translate_->setFont(Style::caption());
    languageColumn->addWidget(translate_);

    row->addStretch(1);

    // The controls write the transcriber's settings; the services' changes come back in sync().
    connect(modelPicker_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < int(allModelChoices.size())) transcriber_.setModelChoice(allModelChoices[index]);
    });
    connect(languagePicker_, &QComboBox::activated, this, [this](int index) {
        const auto& all = LanguageOption::all();
        if (index >= 0 && index < int(all.size())) transcriber_.setLanguage(all[std::size_t(index)]);
    });
    connect(translate_, &QCheckBox::toggled, this, [this](bool on) { transcriber_.setTranslate(on); });
    connect(delete_, &QPushButton::clicked, this, &SettingsRow::confirmDeletion);

    connect(&transcriber_, &Transcriber::modelChoiceChanged, this, &SettingsRow::sync);
    connect(&transcriber_, &Transcriber::languageChanged, this, &SettingsRow::sync);
    connect(&transcriber_, &Transcriber::translateChanged, this, &SettingsRow::sync);
    connect(&transcriber_, &Transcriber::phaseChanged, this, &SettingsRow::sync);
    connect(&models_, &ModelStore::downloadedChanged, this, &SettingsRow::sync);
    sync();
}

void SettingsRow::sync() {
    const QSignalBlocker blockModel(modelPicker_);
    const QSignalBlocker blockLanguage(languagePicker_);
    const QSignalBlocker blockTranslate(translate_);

    const ModelChoice choice = transcriber_.modelChoice();
    const auto modelIndex = std::find(allModelChoices.begin(), allModelChoices.end(), choice) - allModelChoices.begin();
    modelPicker_->setCurrentIndex(int(modelIndex));

    // Options are matched by code and name together.
    const auto& languages = LanguageOption::all();
    const auto languageIndex = std::find(languages.begin(), languages.end(), transcriber_.language());
    languagePicker_->setCurrentIndex(languageIndex == languages.end() ? -1 : int(languageIndex - languages.begin()));

    translate_->setChecked(transcriber_.translate());

    const bool downloaded = models_.isDownloaded(choice);
    downloadedMark_->setVisible(downloaded);
    // Also the files of a download that was cancelled or failed can be deleted.
    delete_->setVisible(downloaded || models_.isOnDisk(choice));
    downloadHint_->setVisible(!downloaded);

    setEnabled(transcriber_.phase() == Transcriber::Phase::idle);
}

void SettingsRow::confirmDeletion() {
    const ModelChoice choice = transcriber_.modelChoice();
    const QString size = QLocale().formattedDataSize(models_.bytesOnDisk(choice), 0, QLocale::DataSizeSIFormat);
    QMessageBox box(QMessageBox::Warning, Texts::q(Texts::deleteModel), Texts::deleteModelQuestion(displayName(choice)),
                    QMessageBox::NoButton, window());
    box.setObjectName(QStringLiteral("confirmModelDeletion"));
    box.setInformativeText(Texts::deleteModelInformation(size));
    QPushButton* remove = box.addButton(Texts::q(Texts::deleteModelConfirm), QMessageBox::DestructiveRole);
    QPushButton* keep = box.addButton(Texts::q(Texts::cancel), QMessageBox::RejectRole);
    // A slip of the Return key keeps the model.
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    // The run that may have started meanwhile is not the row's to disturb.
    if (box.clickedButton() != remove || transcriber_.phase() != Transcriber::Phase::idle) return;
    models_.remove(choice);
}

}  // namespace norvel
