#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

class QWidget;

// The window's text styles and colours. Sizes follow the application's base font, so that
// the window scales with the desktop's font settings; colours come from the widget's palette
// where the desktop defines them (accent, text background, secondary text) and are fixed
// where it does not (the green, red, orange and blue of states and notices).
namespace norvel::Style {

// Text styles, from largest to smallest: headline (bold body), body, callout, caption and
// caption 2.
QFont headline();
QFont body();
QFont callout();
QFont caption();
QFont caption2();
// The body size in the desktop's fixed-width font.
QFont monospacedBody();
// The caption size in the desktop's fixed-width font.
QFont monospacedCaption();

// The accent colour: selections, links, highlights.
QColor accent(const QPalette& palette);
// Text of lesser weight (hints, captions): the text colour at half strength.
QColor secondary(const QPalette& palette);
// The background of editable text.
QColor textBackground(const QPalette& palette);
QColor green();
QColor red();
QColor orange();
QColor blue();

// `color` with its opacity multiplied by `opacity` (0 to 1).
QColor withOpacity(QColor color, double opacity);

// Sets the colour of `widget`'s text while it is enabled; disabled, it keeps the palette's
// disabled look.
void setTextColor(QWidget& widget, const QColor& color);
// Draws `widget`'s text in the secondary colour.
void setSecondary(QWidget& widget);

}  // namespace norvel::Style
