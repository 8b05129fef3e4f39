#pragma once

#include "App/Views/RoundedPanel.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace norvel {

class ElidedLabel;
class ModelStore;
class Transcriber;

// What the transcriber is doing while it is busy: the phase (or the model being downloaded),
// a progress bar, the elapsed time (or the download's percent and rate), the text being
// recognized, and "Cancel". Hidden, taking no space, while the transcriber is idle.
class ProgressPanel : public RoundedPanel {
    Q_OBJECT

public:
    ProgressPanel(Transcriber& transcriber, ModelStore& models, QWidget* parent = nullptr);

    QLabel* titleLabel() const { return title_; }
    QProgressBar* progressBar() const { return bar_; }
    // The elapsed time, or the download's percent and rate.
    QLabel* infoLabel() const { return info_; }
    QPushButton* cancelButton() const { return cancel_; }
    ElidedLabel* previewLabel() const { return preview_; }

    // The bar's range: its value is the fraction in thousandths.
    static constexpr int barSteps = 1000;

private:
    void sync();

    Transcriber& transcriber_;
    ModelStore& models_;
    QLabel* title_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* info_ = nullptr;
    QPushButton* cancel_ = nullptr;
    ElidedLabel* preview_ = nullptr;
};

}  // namespace norvel
