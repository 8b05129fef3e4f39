#pragma once

#include "App/Model/ModelChoice.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace norvel {

class ModelStore;
class Transcriber;

// The settings of the next transcription: the model size with its download state and a way
// to delete the model's files (those of a finished download, or what a cancelled or failed
// one left), the spoken language, and translation into English. The
// settings live in the transcriber; the download state comes from the model store. Deleting a
// model asks first, naming the model and the space it takes. The whole row is locked while a
// transcription runs.
class SettingsRow : public QWidget {
    Q_OBJECT

public:
    SettingsRow(Transcriber& transcriber, ModelStore& models, QWidget* parent = nullptr);

    QComboBox* modelPicker() const { return modelPicker_; }
    QComboBox* languagePicker() const { return languagePicker_; }
    QCheckBox* translateToggle() const { return translate_; }
    // "Delete model", shown while the chosen model has any file on disk.
    QPushButton* deleteButton() const { return delete_; }
    // "Downloaded" with its check mark, shown while the chosen model is on disk.
    QWidget* downloadedMark() const { return downloadedMark_; }
    // "Downloads the first time you use it", shown otherwise.
    QLabel* downloadHint() const { return downloadHint_; }

private:
    void sync();
    // Asks whether to delete the chosen model, and deletes it when the user agrees.
    void confirmDeletion();

    Transcriber& transcriber_;
    ModelStore& models_;
    QComboBox* modelPicker_ = nullptr;
    QComboBox* languagePicker_ = nullptr;
    QCheckBox* translate_ = nullptr;
    QWidget* downloadedMark_ = nullptr;
    QPushButton* delete_ = nullptr;
    QLabel* downloadHint_ = nullptr;
};

}  // namespace norvel
