#include "App/Views/InputRow.h"

#include "App/Model/Fmt.h"
#include "App/Services/Recorder.h"
#include "App/Services/Transcriber.h"
#include "App/Texts.h"
#include "App/Views/DropZone.h"
#include "App/Views/LevelMeter.h"
#include "App/Views/Style.h"
#include "App/Views/Symbols.h"

#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace norvel {

InputRow::InputRow(Transcriber& transcriber, Recorder& recorder, Desktop desktop, QWidget* parent)
    : QWidget(parent), transcriber_(transcriber), recorder_(recorder), desktop_(std::move(desktop)) {
    setObjectName(QStringLiteral("inputRow"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(14);

    dropZone_ = new DropZone(this);
    dropZone_->setDropHandler([this](const QList<QUrl>& urls) { return handleDrop(urls); });
    connect(dropZone_, &DropZone::clicked, this, &InputRow::chooseFile);
    row->addWidget(dropZone_, 1);

    auto* microphone = new QWidget(this);
    microphone->setFixedWidth(130);
    auto* column = new QVBoxLayout(microphone);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    column->setAlignment(Qt::AlignCenter);

    record_ = new QPushButton(microphone);
    record_->setObjectName(QStringLiteral("recordButton"));
    // A large control: the 110-point label inside a taller button.
    record_->setFixedWidth(126);
    record_->setMinimumHeight(34);
    record_->setIconSize(QSize(18, 18));
    connect(record_, &QPushButton::clicked, this, &InputRow::toggleRecording);
    column->addWidget(record_, 0, Qt::AlignHCenter);

    meter_ = new LevelMeter(microphone);
    meter_->setFixedSize(110, 8);
    column->addWidget(meter_, 0, Qt::AlignHCenter);

    clock_ = new QLabel(microphone);
    clock_->setObjectName(QStringLiteral("recordingClock"));
    clock_->setFont(Style::caption());
    clock_->setAlignment(Qt::AlignCenter);
    Style::setSecondary(*clock_);
    column->addWidget(clock_, 0, Qt::AlignHCenter);
    row->addWidget(microphone);

    connect(&transcriber_, &Transcriber::phaseChanged, this, &InputRow::sync);
    connect(&recorder_, &Recorder::isRecordingChanged, this, &InputRow::sync);
    connect(&recorder_, &Recorder::secondsChanged, this, &InputRow::sync);
    connect(&recorder_, &Recorder::levelChanged, this, [this] { meter_->setLevel(recorder_.level()); });
    sync();
}

QStringList InputRow::pickerExtensions() {
    QStringList extensions = Transcriber::supportedExtensions;
    std::sort(extensions.begin(), extensions.end());
    return extensions;
}

bool InputRow::takesInput() const {
    return transcriber_.phase() == Transcriber::Phase::idle && !recorder_.isRecording();
}

void InputRow::chooseFile() {
    if (!takesInput() || !desktop_.chooseFile) return;
    const std::optional<QString> path = desktop_.chooseFile(window(), pickerExtensions());
    // The panel is modal: the state may have changed while it was open.
    if (!path || path->isEmpty() || !takesInput()) return;
    transcriber_.start(*path, false);
}

bool InputRow::handleDrop(const QList<QUrl>& urls) {
    if (!takesInput() || urls.isEmpty()) return false;
    // Only the first file counts; further dropped files are ignored.
    const QUrl& first = urls.front();
    if (first.isLocalFile() && !first.toLocalFile().isEmpty()) transcriber_.start(first.toLocalFile(), false);
    return true;
}

void InputRow::toggleRecording() {
    if (!recorder_.isRecording()) {
        recorder_.start();
        return;
    }
    const std::optional<QString> recording = recorder_.stop();
    if (!recording) return;
    if (transcriber_.phase() == Transcriber::Phase::idle) {
        transcriber_.start(*recording, true);
    } else {
        // The transcriber cannot take the recording; it must not stay behind in the
        // temporary folder.
        QFile::remove(*recording);
    }
}

void InputRow::sync() {
    const bool recording = recorder_.isRecording();
    const bool idle = transcriber_.phase() == Transcriber::Phase::idle;
    dropZone_->setAccepting(idle && !recording);

    const QString label = Texts::q(recording ? Texts::stop : Texts::record);
    // The clock ticks five times a second; the button changes only with the recording.
    if (record_->text() != label) {
        record_->setText(label);
        record_->setIcon(symbolIcon(recording ? Symbol::stopCircleFill : Symbol::micCircleFill,
                                    palette().color(QPalette::ButtonText), 18));
    }
    record_->setEnabled(idle || recording);

    meter_->setLevel(recorder_.level());
    clock_->setText(recording ? Fmt::clock(recorder_.seconds()) : Texts::q(Texts::microphone));
}

}  // namespace norvel
