#include "App/Views/Symbols.h"

#include <QPainter>
#include <QPainterPath>

#include <array>
#include <cmath>

namespace norvel {

namespace {

// Every symbol is drawn in a 24 × 24 box.
constexpr double box = 24.0;

// Cuts `path` out of what was drawn so far.
void cut(QPainter& painter, const QPainterPath& path) {
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.fillPath(path, Qt::black);
    painter.restore();
}

void cutStroke(QPainter& painter, const QPainterPath& path, double width) {
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    cut(painter, stroker.createStroke(path));
}

QPainterPath circle(QPointF center, double radius) {
    QPainterPath path;
    path.addEllipse(center, radius, radius);
    return path;
}

QPainterPath roundedRect(QRectF rect, double radius) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

QPen strokePen(const QColor& color, double width) {
    QPen pen(color, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

void drawMicrophone(QPainter& painter) {
    painter.fillPath(circle({12, 12}, 11), painter.pen().color());
    cut(painter, roundedRect(QRectF(9.5, 4.5, 5, 9), 2.5));
    QPainterPath cradle;
    cradle.moveTo(7, 11);
    cradle.cubicTo(7, 18, 17, 18, 17, 11);
    cradle.moveTo(12, 16.3);
    cradle.lineTo(12, 19);
    cutStroke(painter, cradle, 1.6);
}

void draw(QPainter& painter, Symbol symbol, const QColor& color) {
    painter.setPen(strokePen(color, 2.0));
    painter.setBrush(Qt::NoBrush);
    switch (symbol) {
        case Symbol::waveformBadgePlus: {
            const std::array<double, 5> heights = {6, 14, 19, 11, 7};
            for (std::size_t i = 0; i < heights.size(); ++i) {
                const double x = 2.0 + 3.2 * double(i);
                painter.fillPath(roundedRect(QRectF(x, 11 - heights[i] / 2, 2, heights[i]), 1), color);
            }
            painter.fillPath(circle({18.5, 18}, 5.5), color);
            QPainterPath plus;
            plus.moveTo(18.5, 15);
            plus.lineTo(18.5, 21);
            plus.moveTo(15.5, 18);
            plus.lineTo(21.5, 18);
            cutStroke(painter, plus, 1.7);
            break;
        }
        case Symbol::micCircleFill: drawMicrophone(painter); break;
        case Symbol::stopCircleFill:
            painter.fillPath(circle({12, 12}, 11), color);
            cut(painter, roundedRect(QRectF(8, 8, 8, 8), 1.5));
            break;
        case Symbol::checkmarkCircleFill: {
            painter.fillPath(circle({12, 12}, 11), color);
            QPainterPath check;
            check.moveTo(7, 12.5);
            check.lineTo(10.5, 16);
            check.lineTo(17, 8.5);
            cutStroke(painter, check, 2.4);
            break;
        }
        case Symbol::folder: {
            QPainterPath path;
            path.moveTo(3, 7);
            path.lineTo(3, 18.5);
            path.quadTo(3, 20, 4.5, 20);
            path.lineTo(19.5, 20);
            path.quadTo(21, 20, 21, 18.5);
            path.lineTo(21, 9.5);
            path.quadTo(21, 8, 19.5, 8);
            path.lineTo(11.5, 8);
            path.lineTo(9.5, 5.5);
            path.lineTo(4.5, 5.5);
            path.quadTo(3, 5.5, 3, 7);
            path.closeSubpath();
            painter.setPen(strokePen(color, 1.8));
            painter.drawPath(path);
            painter.drawLine(QPointF(3, 11), QPointF(21, 11));
            break;
        }
        case Symbol::magnifyingGlass:
            painter.setPen(strokePen(color, 2.2));
            painter.drawEllipse(QPointF(10, 10), 6.2, 6.2);
            painter.setPen(strokePen(color, 2.8));
            painter.drawLine(QPointF(14.8, 14.8), QPointF(20.5, 20.5));
            break;
        case Symbol::trash: {
            painter.setPen(strokePen(color, 1.8));
            painter.drawLine(QPointF(4, 6.5), QPointF(20, 6.5));
            QPainterPath handle;
            handle.moveTo(9, 6.5);
            handle.lineTo(9, 4.5);
            handle.quadTo(9, 3.5, 10, 3.5);
            handle.lineTo(14, 3.5);
            handle.quadTo(15, 3.5, 15, 4.5);
            handle.lineTo(15, 6.5);
            painter.drawPath(handle);
            QPainterPath can;
            can.moveTo(6, 6.5);
            can.lineTo(7, 19.5);
            can.quadTo(7.1, 21, 8.6, 21);
            can.lineTo(15.4, 21);
            can.quadTo(16.9, 21, 17, 19.5);
            can.lineTo(18, 6.5);
            painter.drawPath(can);
            painter.drawLine(QPointF(10, 10), QPointF(10.3, 17.5));
            painter.drawLine(QPointF(14, 10), QPointF(13.7, 17.5));
            break;
        }
        case Symbol::playFill: {
            QPainterPath path;
            path.moveTo(7, 4.5);
            path.lineTo(19.5, 12);
            path.lineTo(7, 19.5);
            path.closeSubpath();
            painter.setPen(strokePen(color, 1.5));
            painter.setBrush(color);
            painter.drawPath(path);
            break;
        }
        case Symbol::pauseFill:
            painter.fillPath(roundedRect(QRectF(6, 4.5, 4, 15), 1.2), color);
            painter.fillPath(roundedRect(QRectF(14, 4.5, 4, 15), 1.2), color);
            break;
        case Symbol::infoCircleFill:
            painter.fillPath(circle({12, 12}, 11), color);
            cut(painter, circle({12, 7.2}, 1.6));
            cut(painter, roundedRect(QRectF(10.8, 10.2, 2.4, 8.3), 1.0));
            break;
        case Symbol::warningTriangleFill: {
            QPainterPath triangle;
            triangle.moveTo(12, 3);
            triangle.lineTo(22, 20.5);
            triangle.lineTo(2, 20.5);
            triangle.closeSubpath();
            QPainterPathStroker rounding;
            rounding.setWidth(2.5);
            rounding.setJoinStyle(Qt::RoundJoin);
            painter.fillPath(triangle.united(rounding.createStroke(triangle)), color);
            cut(painter, roundedRect(QRectF(10.9, 8.5, 2.2, 7), 1.0));
            cut(painter, circle({12, 18}, 1.35));
            break;
        }
    }
}

}  // namespace

QPixmap symbolPixmap(Symbol symbol, const QColor& color, int size, double devicePixelRatio) {
    const int pixels = int(std::ceil(size * devicePixelRatio));
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / box, size / box);
    draw(painter, symbol, color);
    return pixmap;
}

QIcon symbolIcon(Symbol symbol, const QColor& color, int size) {
    QIcon icon;
    // A disabled control shows its symbol faded, whatever the symbol's colour.
    QColor faded = color;
    faded.setAlphaF(color.alphaF() * 0.35f);
    for (const double ratio : {1.0, 2.0}) {
        icon.addPixmap(symbolPixmap(symbol, color, size, ratio), QIcon::Normal);
        icon.addPixmap(symbolPixmap(symbol, faded, size, ratio), QIcon::Disabled);
    }
    return icon;
}

}  // namespace norvel
