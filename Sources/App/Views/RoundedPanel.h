#pragma once

#include <QColor>
#include <QWidget>

#include <functional>

namespace norvel {

// A widget drawn on a rounded rectangle filled with a colour, behind its children. The fill
// is a function of the palette, so that it follows the desktop's colours, and may be changed
// at any time (a transparent fill draws nothing).
class RoundedPanel : public QWidget {
    Q_OBJECT

public:
    using Fill = std::function<QColor(const QPalette&)>;

    explicit RoundedPanel(double radius, Fill fill = {}, QWidget* parent = nullptr);

    void setFill(Fill fill);
    // The colour the panel is filled with now.
    QColor fillColor() const;
    double radius() const { return radius_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double radius_;
    Fill fill_;
};

}  // namespace norvel
