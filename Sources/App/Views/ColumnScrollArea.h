#pragma once

#include <QScrollArea>

namespace norvel {

// Holds the window's main column. The column fills the area whenever its items fit, each
// with the height its content needs at the column's real width (wrapped texts included), and
// the last item taking the rest; only when they do not fit does the column grow past the area
// and scroll. So the area scrolls only in a window too small for the column, never on top of
// the transcript's own scrolling in a window of usual size.
class ColumnScrollArea : public QScrollArea {
    Q_OBJECT

public:
    explicit ColumnScrollArea(QWidget* parent = nullptr);

    // Places `column`, which must have a layout, in the area.
    void setColumn(QWidget* column);
    // The smallest height the column needs at `width`.
    int neededHeight(int width) const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Gives the column the viewport's width and the larger of the viewport's height and the
    // height it needs.
    void fit();

    bool fitting_ = false;
};

}  // namespace norvel
