#pragma once

#include <QColor>
#include <QWidget>

class QVariantAnimation;

namespace norvel {

// A small horizontal meter of the microphone's input level: a faint capsule across its whole
// width and, over it, a capsule whose width is the level's share of it, green, or red when the
// level is above 0.85. Changes of the level glide over 80 ms.
class LevelMeter : public QWidget {
    Q_OBJECT

public:
    explicit LevelMeter(QWidget* parent = nullptr);

    // The level from 0 to 1; values outside are drawn as the nearest end.
    void setLevel(double level);
    double level() const { return level_; }
    // The level drawn at this moment (on its way to `level()` while it glides).
    double shownLevel() const { return shown_; }

    // The width of the bar of `level` in a meter `width` wide.
    static double barWidth(double level, double width);
    // The colour of the bar of `level`.
    static QColor barColor(double level);

    static constexpr int glideMilliseconds = 80;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double level_ = 0;
    double shown_ = 0;
    QVariantAnimation* glide_ = nullptr;
};

}  // namespace norvel
