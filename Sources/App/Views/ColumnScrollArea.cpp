#include "App/Views/ColumnScrollArea.h"

#include <QEvent>
#include <QLayout>
#include <QScrollBar>
#include <QStyle>

#include <algorithm>

namespace norvel {

ColumnScrollArea::ColumnScrollArea(QWidget* parent) : QScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    // The column is sized here, not by the area's own rule, which takes a wrapped text's
    // height at a width it guesses rather than at the width the text gets.
    setWidgetResizable(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setAutoFillBackground(false);
}

void ColumnScrollArea::setColumn(QWidget* column) {
    setWidget(column);
    column->setAutoFillBackground(false);
    column->installEventFilter(this);
    fit();
}

int ColumnScrollArea::neededHeight(int width) const {
    const QWidget* column = widget();
    if (column == nullptr || column->layout() == nullptr) return 0;
    QLayout* layout = column->layout();
    // An item whose height follows its width needs that height, not the one it would need at
    // the width its own size hint guesses.
    if (layout->hasHeightForWidth()) return layout->minimumHeightForWidth(width);
    return layout->minimumSize().height();
}

void ColumnScrollArea::fit() {
    QWidget* column = widget();
    if (column == nullptr || fitting_) return;
    fitting_ = true;
    // The viewport's size without scroll bars (the area has no frame).
    const QSize full = maximumViewportSize();
    int width = full.width();
    int height = neededHeight(width);
    if (height > full.height()) {
        // The scroll bar takes its width from the column.
        width -= style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, verticalScrollBar());
        if (style()->styleHint(QStyle::SH_ScrollView_FrameOnlyAroundContents, nullptr, this)) {
            width -= style()->pixelMetric(QStyle::PM_ScrollView_ScrollBarSpacing, nullptr, this);
        }
        width = std::max(width, 1);
        height = std::max(neededHeight(width), full.height());
    } else {
        height = full.height();
    }
    if (column->size() != QSize(width, height)) column->resize(width, height);
    fitting_ = false;
}

void ColumnScrollArea::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    fit();
}

bool ColumnScrollArea::eventFilter(QObject* watched, QEvent* event) {
    // An item of the column came, went or changed the height it needs.
    if (watched == widget() && event->type() == QEvent::LayoutRequest) fit();
    return QScrollArea::eventFilter(watched, event);
}

}  // namespace norvel
