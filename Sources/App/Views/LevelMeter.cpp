#include "App/Views/LevelMeter.h"

#include "App/Texts.h"
#include "App/Views/Style.h"

#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

namespace norvel {

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent), glide_(new QVariantAnimation(this)) {
    setObjectName(QStringLiteral("levelMeter"));
    setAccessibleName(Texts::q(Texts::inputLevel));
    setAccessibleDescription(Texts::inputLevelState(level_));
    glide_->setDuration(glideMilliseconds);
    glide_->setEasingCurve(QEasingCurve::Linear);
    connect(glide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        shown_ = value.toDouble();
        update();
    });
}

double LevelMeter::barWidth(double level, double width) {
    if (!(level > 0)) return 0;  // also a level that is not a number
    return width * std::min(level, 1.0);
}

QColor LevelMeter::barColor(double level) { return level > 0.85 ? Style::red() : Style::green(); }

void LevelMeter::setLevel(double level) {
    if (level == level_) return;
    level_ = level;
    setAccessibleDescription(Texts::inputLevelState(level));
    glide_->stop();
    glide_->setStartValue(shown_);
    glide_->setEndValue(std::isnan(level) ? 0.0 : level);
    glide_->start();
}

void LevelMeter::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame(rect());
    const double radius = frame.height() / 2;
    QPainterPath track;
    track.addRoundedRect(frame, radius, radius);
    painter.fillPath(track, Style::withOpacity(Style::secondary(palette()), 0.25));

    const double width = barWidth(shown_, frame.width());
    if (width <= 0) return;
    QPainterPath bar;
    bar.addRoundedRect(QRectF(frame.left(), frame.top(), width, frame.height()), std::min(radius, width / 2), radius);
    // The colour follows the level itself, not the value on its way there.
    painter.fillPath(bar, barColor(level_));
}

}  // namespace norvel
