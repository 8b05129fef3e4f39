#include "App/Views/ElidedLabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>

#include <algorithm>

namespace norvel {

ElidedLabel::ElidedLabel(int maxLines, QWidget* parent) : QWidget(parent), maxLines_(std::max(1, maxLines)) {
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void ElidedLabel::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
}

QStringList ElidedLabel::wrap(const QString& text, const QFont& font, int width, int maxLines) {
    if (text.isEmpty() || width <= 0) return {};
    const QFontMetrics metrics(font);
    const QChar ellipsis(0x2026);
    if (maxLines <= 1) {
        QString flat = text;
        flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
        return {metrics.elidedText(flat, Qt::ElideRight, width)};
    }
    // Every line the text wraps onto; line breaks in the text are kept.
    QStringList all;
    for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
        if (paragraph.isEmpty()) {
            all.append(QString());
            continue;
        }
        QTextLayout layout(paragraph, font);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            all.append(paragraph.mid(line.textStart(), line.textLength()));
        }
        layout.endLayout();
    }
    if (all.size() <= maxLines) {
        for (QString& line : all) line = line.trimmed();
        return all;
    }
    // Text is left out: the last line shown ends in an ellipsis.
    QStringList shown = all.mid(0, maxLines);
    for (QString& line : shown) line = line.trimmed();
    shown.back() = metrics.elidedText(shown.back() + ellipsis, Qt::ElideRight, width);
    if (!shown.back().endsWith(ellipsis)) shown.back().append(ellipsis);
    return shown;
}

QStringList ElidedLabel::linesFor(int width) const { return wrap(text_, font(), width, maxLines_); }

int ElidedLabel::heightForWidth(int width) const {
    const QFontMetrics metrics(font());
    const int count = std::max<int>(1, int(linesFor(width).size()));
    return count * metrics.lineSpacing();
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetrics metrics(font());
    const int width = std::min(metrics.horizontalAdvance(text_.section(QLatin1Char('\n'), 0, 0)) + 2, 600);
    return {width, heightForWidth(width)};
}

QSize ElidedLabel::minimumSizeHint() const { return {0, QFontMetrics(font()).lineSpacing()}; }

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    const QFontMetrics metrics(font());
    int y = 0;
    for (const QString& line : linesFor(width())) {
        painter.drawText(QRect(0, y, width(), metrics.lineSpacing()), Qt::AlignLeft | Qt::AlignVCenter, line);
        y += metrics.lineSpacing();
    }
}

void ElidedLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) updateGeometry();
    QWidget::changeEvent(event);
}

}  // namespace norvel
