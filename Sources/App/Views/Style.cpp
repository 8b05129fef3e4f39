#include "App/Views/Style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QWidget>

#include <algorithm>

namespace norvel::Style {

namespace {

// The desktop's body font scaled by `factor` of its size, never below a legible minimum.
QFont scaled(double factor, bool bold = false) {
    QFont font = QApplication::font();
    const double base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    font.setPointSizeF(std::max(7.0, base * factor));
    font.setBold(bold);
    return font;
}

QFont fixed(double factor) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const double base = QApplication::font().pointSizeF() > 0 ? QApplication::font().pointSizeF() : 10.0;
    font.setPointSizeF(std::max(7.0, base * factor));
    return font;
}

// The relative sizes of the text styles: body 13, callout 12, caption 10, caption 2 10 (lighter).
constexpr double calloutFactor = 12.0 / 13.0;
constexpr double captionFactor = 10.5 / 13.0;

}  // namespace

QFont headline() { return scaled(1.0, true); }
QFont body() { return scaled(1.0); }
QFont callout() { return scaled(calloutFactor); }
QFont caption() { return scaled(captionFactor); }
QFont caption2() { return scaled(captionFactor * 0.95); }
QFont monospacedBody() { return fixed(1.0); }
QFont monospacedCaption() { return fixed(captionFactor); }

QColor accent(const QPalette& palette) { return palette.color(QPalette::Active, QPalette::Highlight); }

QColor secondary(const QPalette& palette) {
    QColor color = palette.color(QPalette::Active, QPalette::WindowText);
    color.setAlphaF(0.55f);
    return color;
}

QColor textBackground(const QPalette& palette) { return palette.color(QPalette::Active, QPalette::Base); }

QColor green() { return QColor(0x28, 0xa7, 0x45); }
QColor red() { return QColor(0xe5, 0x39, 0x35); }
QColor orange() { return QColor(0xf5, 0x8a, 0x00); }
QColor blue() { return QColor(0x1e, 0x7c, 0xf2); }

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(float(std::clamp(color.alphaF() * opacity, 0.0, 1.0)));
    return color;
}

void setTextColor(QWidget& widget, const QColor& color) {
    QPalette palette = widget.palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
            palette.setColor(group, role, color);
        }
    }
    widget.setPalette(palette);
}

void setSecondary(QWidget& widget) { setTextColor(widget, secondary(widget.palette())); }

}  // namespace norvel::Style
