#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

namespace norvel {

// A text that wraps onto at most `maxLines` lines of its width and is cut off beyond them,
// its last shown line ending in an ellipsis. Its height follows the lines shown.
class ElidedLabel : public QWidget {
    Q_OBJECT

public:
    explicit ElidedLabel(int maxLines = 1, QWidget* parent = nullptr);

    void setText(const QString& text);
    const QString& text() const { return text_; }
    int maxLines() const { return maxLines_; }

    // The first `maxLines` lines that `text` wraps onto at `width` in `font`, the last ending
    // in an ellipsis when text had to be left out.
    static QStringList wrap(const QString& text, const QFont& font, int width, int maxLines);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QStringList linesFor(int width) const;

    int maxLines_;
    QString text_;
};

}  // namespace norvel
