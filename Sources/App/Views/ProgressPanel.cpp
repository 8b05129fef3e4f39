#include "App/Views/ProgressPanel.h"

#include "App/Model/Fmt.h"
#include "App/Model/ModelChoice.h"
#include "App/Services/ModelStore.h"
#include "App/Services/Transcriber.h"
#include "App/Texts.h"
#include "App/Views/ElidedLabel.h"
#include "App/Views/Style.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace norvel {

namespace {

int barValue(double fraction) {
    if (!(fraction > 0)) return 0;
    return int(std::lround(std::min(fraction, 1.0) * ProgressPanel::barSteps));
}

}  // namespace

ProgressPanel::ProgressPanel(Transcriber& transcriber, ModelStore& models, QWidget* parent)
    : RoundedPanel(
          10, [](const QPalette& palette) { return Style::withOpacity(Style::secondary(palette), 0.10); }, parent),
      transcriber_(transcriber),
      models_(models) {
    setObjectName(QStringLiteral("progressPanel"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(6);

    title_ = new QLabel(this);
    title_->setObjectName(QStringLiteral("progressTitle"));
    title_->setFont(Style::headline());
    layout->addWidget(title_);

    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("progressBar"));
    bar_->setTextVisible(false);
    bar_->setRange(0, barSteps);
    bar_->setFixedHeight(8);
    layout->addWidget(bar_);

    auto* row = new QHBoxLayout();
    row->setSpacing(8);
    info_ = new QLabel(this);
    info_->setObjectName(QStringLiteral("progressInfo"));
    info_->setFont(Style::caption());
    Style::setSecondary(*info_);
    row->addWidget(info_);
    row->addStretch(1);
    cancel_ = new QPushButton(Texts::q(Texts::cancel), this);
    cancel_->setObjectName(QStringLiteral("cancelButton"));
    connect(cancel_, &QPushButton::clicked, this, [this] { transcriber_.cancel(); });
    row->addWidget(cancel_);
    layout->addLayout(row);

    preview_ = new ElidedLabel(3, this);
    preview_->setObjectName(QStringLiteral("progressPreview"));
    preview_->setFont(Style::callout());
    Style::setSecondary(*preview_);
    layout->addWidget(preview_);

    connect(&transcriber_, &Transcriber::phaseChanged, this, &ProgressPanel::sync);
    connect(&transcriber_, &Transcriber::progressChanged, this, &ProgressPanel::sync);
    connect(&transcriber_, &Transcriber::elapsedChanged, this, &ProgressPanel::sync);
    connect(&transcriber_, &Transcriber::previewChanged, this, &ProgressPanel::sync);
    connect(&models_, &ModelStore::downloadingChanged, this, &ProgressPanel::sync);
    connect(&models_, &ModelStore::progressChanged, this, &ProgressPanel::sync);
    connect(&models_, &ModelStore::speedTextChanged, this, &ProgressPanel::sync);
    connect(&models_, &ModelStore::convertingChanged, this, &ProgressPanel::sync);
    connect(&models_, &ModelStore::transferredBytesChanged, this, &ProgressPanel::sync);
    sync();
}

void ProgressPanel::sync() {
    using Phase = Transcriber::Phase;
    const Phase phase = transcriber_.phase();
    if (phase == Phase::idle) {
        setVisible(false);
        return;
    }

    const std::optional<ModelChoice> downloading = models_.downloading();
    if (phase == Phase::downloading && downloading) {
        title_->setText(models_.converting()
                            ? Texts::convertingNamedModel(displayName(*downloading))
                            : Texts::downloadingNamedModel(displayName(*downloading), sizeLabel(*downloading)));
        bar_->setRange(0, barSteps);
        bar_->setValue(barValue(models_.progress()));
        // The bytes of the transfer itself, which may differ from the installed model's size.
        const auto& bytes = models_.transferredBytes();
        info_->setText(Texts::downloadPercent(
            models_.progress(), models_.speedText(),
            bytes ? Texts::bytesOfTotal(Fmt::dataSize(bytes->first), Fmt::dataSize(bytes->second)) : QString()));
        preview_->setVisible(false);
    } else {
        const char* title = Texts::preparingAudio;
        if (phase == Phase::downloading) title = Texts::downloadingModel;
        if (phase == Phase::loading) title = Texts::loadingModel;
        if (phase == Phase::transcribing) title = Texts::transcribing;
        title_->setText(Texts::q(title));
        if (phase == Phase::loading) {
            // Loading has no measure: the bar moves without a value.
            bar_->setRange(0, 0);
        } else {
            bar_->setRange(0, barSteps);
            bar_->setValue(barValue(transcriber_.progress()));
        }
        info_->setText(Texts::elapsed(Fmt::clock(transcriber_.elapsed())));
        const bool showPreview = phase == Phase::transcribing && !transcriber_.preview().isEmpty();
        preview_->setText(showPreview ? transcriber_.preview() : QString());
        preview_->setVisible(showPreview);
    }
    setVisible(true);
}

}  // namespace norvel
