#include "App/Views/SegmentRow.h"

#include "App/Model/Fmt.h"
#include "App/Texts.h"
#include "App/Views/Style.h"

#include <QAbstractTextDocumentLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextDocument>

#include <cmath>

namespace norvel {

SegmentEditor::SegmentEditor(QWidget* parent) : QTextEdit(parent) {
    setObjectName(QStringLiteral("segmentEditor"));
    setFrameShape(QFrame::NoFrame);
    setAcceptRichText(false);
    setTabChangesFocus(true);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFont(Style::body());
    document()->setDocumentMargin(1);
    // Borderless: the row's own background shows through.
    QPalette transparent = palette();
    transparent.setColor(QPalette::Base, Qt::transparent);
    setPalette(transparent);
    viewport()->setAutoFillBackground(false);
    connect(document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
            &SegmentEditor::fitHeight);
    fitHeight();
}

void SegmentEditor::setText(const QString& text) {
    if (toPlainText() == text) return;
    setPlainText(text);
}

void SegmentEditor::focusOutEvent(QFocusEvent* event) {
    QTextEdit::focusOutEvent(event);
    Q_EMIT editingFinished();
}

QSize SegmentEditor::sizeHint() const { return {200, height()}; }

QSize SegmentEditor::minimumSizeHint() const { return {40, height()}; }

void SegmentEditor::fitHeight() {
    const int lines = std::max(1, int(std::ceil(document()->size().height())));
    const int height = std::max(lines, fontMetrics().lineSpacing() + 2) + 2 * frameWidth();
    if (height != this->height()) {
        setFixedHeight(height);
        updateGeometry();
    }
}

SegmentRow::SegmentRow(const TranscriptSegment& segment, QWidget* parent)
    : RoundedPanel(6, {}, parent), segment_(segment) {
    setObjectName(QStringLiteral("segmentRow"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(10);

    time_ = new QPushButton(Fmt::clock(segment.start), this);
    time_->setObjectName(QStringLiteral("segmentTime"));
    time_->setFlat(true);
    time_->setFont(Style::monospacedBody());
    time_->setCursor(Qt::PointingHandCursor);
    time_->setFocusPolicy(Qt::TabFocus);
    // A link: the accent colour, no frame.
    time_->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 1px 0px; text-align: left; }"));
    Style::setTextColor(*time_, palette().color(QPalette::Link));
    connect(time_, &QPushButton::clicked, this, [this] { Q_EMIT playRequested(segment_.start); });
    layout->addWidget(time_, 0, Qt::AlignTop);

    editor_ = new SegmentEditor(this);
    editor_->setText(segment.text);
    connect(editor_, &QTextEdit::textChanged, this, [this] {
        const QString text = editor_->text();
        if (text == segment_.text) return;
        segment_.text = text;
        Q_EMIT textEdited(text);
    });
    connect(editor_, &SegmentEditor::editingFinished, this, &SegmentRow::editingFinished);
    layout->addWidget(editor_, 1, Qt::AlignTop);
    applyHasAudio(false);
    nameForScreenReaders();
}

void SegmentRow::nameForScreenReaders() {
    const QString name = Texts::segmentAt(Fmt::clock(segment_.start));
    setAccessibleName(name);
    editor_->setAccessibleName(name);
}

void SegmentRow::setSegment(const TranscriptSegment& segment) {
    if (segment == segment_) return;
    segment_ = segment;
    time_->setText(Fmt::clock(segment.start));
    nameForScreenReaders();
    const QSignalBlocker block(editor_);
    editor_->setText(segment.text);
}

void SegmentRow::setHasAudio(bool hasAudio) {
    if (hasAudio != hasAudio_) applyHasAudio(hasAudio);
}

void SegmentRow::applyHasAudio(bool hasAudio) {
    hasAudio_ = hasAudio;
    time_->setEnabled(hasAudio);
    time_->setToolTip(Texts::q(hasAudio ? Texts::playFromHere : Texts::audioNotKept));
}

void SegmentRow::setActive(bool active) {
    if (active == active_) return;
    active_ = active;
    if (active) {
        setFill([](const QPalette& palette) { return Style::withOpacity(Style::accent(palette), 0.22); });
    } else {
        setFill({});
    }
}

}  // namespace norvel
