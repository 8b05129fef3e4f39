#pragma once

#include <QList>
#include <QUrl>
#include <QWidget>

#include <functional>

class QGraphicsOpacityEffect;

namespace norvel {

// The area that takes an audio or video file: dropped on it, or chosen in the open panel that
// a click on it opens. A dashed rounded frame, in the accent colour and faintly filled while
// a file is dragged over it. While it is not accepting input it is drawn at half strength,
// refuses drops and ignores clicks.
class DropZone : public QWidget {
    Q_OBJECT

public:
    // Takes the dropped files' URLs; answers whether the drop is accepted.
    using DropHandler = std::function<bool(const QList<QUrl>& urls)>;

    explicit DropZone(QWidget* parent = nullptr);

    void setDropHandler(DropHandler handler) { dropHandler_ = std::move(handler); }
    void setAccepting(bool accepting);
    // A drag with a file hovers over the zone.
    bool isTargeted() const { return targeted_; }
    // The zone's opacity: 1, or 0.5 while it does not accept input.
    double opacity() const;

    static constexpr int zoneHeight = 130;

Q_SIGNALS:
    // The zone was clicked while accepting input.
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setTargeted(bool targeted);
    // The accessible description: whether the zone takes a file now.
    void describeState();

    DropHandler dropHandler_;
    QGraphicsOpacityEffect* dimming_ = nullptr;
    bool accepting_ = true;
    bool targeted_ = false;
    bool pressed_ = false;
};

}  // namespace norvel
