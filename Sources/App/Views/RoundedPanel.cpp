#include "App/Views/RoundedPanel.h"

#include <QPainter>
#include <QPainterPath>

namespace norvel {

RoundedPanel::RoundedPanel(double radius, Fill fill, QWidget* parent)
    : QWidget(parent), radius_(radius), fill_(std::move(fill)) {}

void RoundedPanel::setFill(Fill fill) {
    fill_ = std::move(fill);
    update();
}

QColor RoundedPanel::fillColor() const { return fill_ ? fill_(palette()) : QColor(Qt::transparent); }

void RoundedPanel::paintEvent(QPaintEvent*) {
    const QColor color = fillColor();
    if (color.alpha() == 0) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), radius_, radius_);
    painter.fillPath(path, color);
}

}  // namespace norvel
