#include "App/Views/DropZone.h"

#include "App/Texts.h"
#include "App/Views/Style.h"
#include "App/Views/Symbols.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace norvel {

namespace {

// Whether a drag carries a file: its first URL names a local file.
bool carriesFile(const QMimeData* data) {
    return data != nullptr && data->hasUrls() && !data->urls().isEmpty() && data->urls().front().isLocalFile();
}

}  // namespace

DropZone::DropZone(QWidget* parent) : QWidget(parent), dimming_(new QGraphicsOpacityEffect(this)) {
    setObjectName(QStringLiteral("dropZone"));
    setAcceptDrops(true);
    setFixedHeight(zoneHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setAccessibleName(Texts::q(Texts::dropPrompt));
    setAccessibleDescription(Texts::q(Texts::dropZoneReady));
    dimming_->setOpacity(1.0);
    dimming_->setEnabled(false);
    setGraphicsEffect(dimming_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(6);
    layout->addStretch(1);

    auto* symbol = new QLabel(this);
    const int symbolSize = QFontMetrics(Style::body()).height() * 30 / 13 + 4;
    symbol->setPixmap(
        symbolPixmap(Symbol::waveformBadgePlus, Style::secondary(palette()), symbolSize, devicePixelRatioF()));
    symbol->setAlignment(Qt::AlignCenter);
    layout->addWidget(symbol);

    auto* prompt = new QLabel(Texts::q(Texts::dropPrompt), this);
    prompt->setFont(Style::headline());
    prompt->setAlignment(Qt::AlignCenter);
    layout->addWidget(prompt);

    auto* types = new QLabel(Texts::q(Texts::supportedTypesCaption), this);
    types->setFont(Style::caption());
    types->setAlignment(Qt::AlignCenter);
    Style::setSecondary(*types);
    layout->addWidget(types);
    layout->addStretch(1);

    // The labels let every click through to the zone.
    for (QLabel* label : {symbol, prompt, types}) label->setAttribute(Qt::WA_TransparentForMouseEvents);
}

void DropZone::setAccepting(bool accepting) {
    if (accepting == accepting_) return;
    accepting_ = accepting;
    dimming_->setOpacity(accepting ? 1.0 : 0.5);
    dimming_->setEnabled(!accepting);
    if (!accepting) setTargeted(false);
    describeState();
}

void DropZone::describeState() {
    const char* state = Texts::dropZoneReady;
    if (!accepting_) state = Texts::dropZoneBusy;
    if (targeted_) state = Texts::dropZoneTargeted;
    setAccessibleDescription(Texts::q(state));
}

double DropZone::opacity() const { return dimming_->isEnabled() ? dimming_->opacity() : 1.0; }

void DropZone::setTargeted(bool targeted) {
    if (targeted == targeted_) return;
    targeted_ = targeted;
    describeState();
    update();
}

void DropZone::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double lineWidth = 2.0;
    // The line lies inside the shape.
    const QRectF frame = QRectF(rect()).adjusted(lineWidth / 2, lineWidth / 2, -lineWidth / 2, -lineWidth / 2);
    QPainterPath shape;
    shape.addRoundedRect(frame, 14, 14);
    const QColor accent = Style::accent(palette());
    if (targeted_) painter.fillPath(shape, Style::withOpacity(accent, 0.10));
    QPen pen(targeted_ ? accent : Style::secondary(palette()), lineWidth);
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::MiterJoin);
    pen.setMiterLimit(10);
    // Dashes of 8 and gaps of 6, in units of the line's width.
    pen.setDashPattern({8 / lineWidth, 6 / lineWidth});
    pen.setDashOffset(0);
    painter.setPen(pen);
    painter.drawPath(shape);
    if (hasFocus()) {
        QPen focus(Style::withOpacity(accent, 0.6), 1);
        painter.setPen(focus);
        painter.drawRoundedRect(frame.adjusted(3, 3, -3, -3), 11, 11);
    }
}

void DropZone::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    event->accept();
}

void DropZone::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    pressed_ = false;
    event->accept();
    if (click && accepting_) Q_EMIT clicked();
}

void DropZone::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && accepting_) {
        Q_EMIT clicked();
        return;
    }
    QWidget::keyPressEvent(event);
}

void DropZone::dragEnterEvent(QDragEnterEvent* event) {
    // A busy zone refuses the drag, so the desktop shows it as not accepted.
    if (!accepting_ || !carriesFile(event->mimeData())) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    setTargeted(true);
}

void DropZone::dragMoveEvent(QDragMoveEvent* event) {
    if (!accepting_ || !carriesFile(event->mimeData())) {
        event->ignore();
        setTargeted(false);
        return;
    }
    event->acceptProposedAction();
}

void DropZone::dragLeaveEvent(QDragLeaveEvent* event) {
    setTargeted(false);
    QWidget::dragLeaveEvent(event);
}

void DropZone::dropEvent(QDropEvent* event) {
    setTargeted(false);
    const QList<QUrl> urls = event->mimeData() != nullptr ? event->mimeData()->urls() : QList<QUrl>();
    if (accepting_ && dropHandler_ && dropHandler_(urls)) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

}  // namespace norvel
